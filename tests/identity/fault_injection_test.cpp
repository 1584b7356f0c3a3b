// Every store change, run again and again with the Nth call through the platform
// seam failing (once, or for good from there on), must leave each store exactly as
// it was or exactly as a fault-free run leaves it, report success only for the
// latter, leave no temporary file and no lock behind. The clock and the random
// source are fixed through the seam, so a fault-free run is reproducible byte for
// byte.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fault.h"
#include "id_keys.h"
#include "identity_common.h"
#include "keys_internal.h"
#include "temp_dir.h"
#include "zeb_cgi.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kClock = 1700000000;
int64_t fixed_time() { return kClock; }

// A reproducible byte stream standing in for the kernel's random source: byte i
// is the same whatever the sizes of the reads that reach it.
uint64_t g_random_pos = 0;
uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}
long fixed_random(void* buf, size_t len) {
  unsigned char* p = static_cast<unsigned char*>(buf);
  for (size_t i = 0; i < len; ++i, ++g_random_pos)
    p[i] = static_cast<unsigned char>(mix(g_random_pos / 8) >> (8 * (g_random_pos % 8)));
  return static_cast<long>(len);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The identifiers of the prepared state, made once per test.
struct Prepared {
  char owner[64] = "", bob[64] = "", client[64] = "", secret[128] = "";
  char session[128] = "", bob_session[128] = "", refresh[128] = "", code[128] = "";
};

constexpr const char* kUri = "https://app.example/cb";
constexpr const char* kVerifier = "verifier-0123456789-0123456789-0123456789";

// The body of one operation: its result, mapped to 0 for success, 1 when the
// operation reports nothing, and negative for a reported failure.
using Run = std::function<int(const Prepared&)>;
constexpr int kNoResult = 1;

struct Op {
  const char* name;
  Run run;
  // The stores that must hold the new version when the operation reports success.
  std::vector<const char*> saved_on_success;
  bool single_use_grant = false;
  // Key generation draws on a generator seeded once per process: a new key's
  // identifier and material differ from run to run and are compared as "a new key".
  bool new_keys = false;
};

void PrintTo(const Op& op, std::ostream* os) { *os << op.name; }

int rc0(int rc) { return rc == 0 ? 0 : (rc < 0 ? rc : -100); }

// Outs of grants must stay untouched unless the grant was honoured.
char g_out[256];
bool g_out_written() { return std::strcmp(g_out, "untouched") != 0; }

const std::vector<Op>& ops() {
  static const std::vector<Op> table = {
      {"auth code consume",
       [](const Prepared& p) {
         id_auth_code_record rec;
         std::memset(&rec, 'X', sizeof rec);
         int rc = id_auth_code_consume(p.code, p.client, kUri, kVerifier, &rec);
         if (rc == 0 && std::strcmp(rec.user_id, p.owner) != 0) return -99;
         if (rc != 0 && rec.user_id[0] != 'X') zeb_strlcpy(g_out, "written", sizeof g_out);
         return rc;
       },
       {"tokens.json"},
       true},
      {"refresh rotate",
       [](const Prepared& p) {
         return id_refresh_token_rotate(p.refresh, p.client, g_out, sizeof g_out, nullptr);
       },
       {"tokens.json"},
       true},
      {"refresh revoke", [](const Prepared& p) { return id_refresh_token_revoke(p.refresh); },
       {"tokens.json"}},
      {"refresh revoke family",
       [](const Prepared& p) {
         return id_refresh_token_revoke_family(p.refresh, p.client) == 1 ? 0 : -1;
       },
       {"tokens.json"}},
      {"refresh create",
       [](const Prepared& p) {
         return id_refresh_token_create(p.owner, "alice", p.client, "openid", nullptr, 0);
       },
       {"tokens.json"}},
      {"auth code create",
       [](const Prepared& p) {
         return id_auth_code_create(p.owner, "alice", p.client, kUri, "openid", "chal", "plain",
                                    nullptr, 0);
       },
       {"tokens.json"}},
      {"session create",
       [](const Prepared& p) { return id_session_create(p.owner, "alice", nullptr, 0); },
       {"tokens.json"}},
      {"session delete", [](const Prepared& p) { return id_session_delete(p.session); },
       {"tokens.json"}},
      {"refresh revoke by user",
       [](const Prepared& p) { return id_refresh_token_revoke_by_user(p.owner); },
       {"tokens.json"}},
      {"user create",
       [](const Prepared&) {
         return id_user_create("carol", "carol-password-1", "carol@example.org", nullptr, 0);
       },
       {"users.json"}},
      {"user set password",
       [](const Prepared& p) {
         return id_user_set_password(p.bob, "another-password-2", nullptr, 0);
       },
       {"users.json"}},
      {"user delete", [](const Prepared& p) { return id_user_delete(p.bob); },
       {"users.json", "tokens.json"}},
      {"client create",
       [](const Prepared&) {
         return rc0(id_client_create("Other", "https://other.example/cb", "openid", nullptr, 0,
                                     nullptr, 0, false, nullptr, 0));
       },
       {"clients.json"}},
      {"client delete", [](const Prepared& p) { return id_client_delete(p.client); },
       {"clients.json"}},
      {"consent set",
       [](const Prepared& p) { return id_consent_set(p.owner, p.client, "email offline"); },
       {"consents.json"}},
      {"consent revoke", [](const Prepared& p) { return id_consent_revoke(p.owner, p.client); },
       {"consents.json"}},
      {"revoke add",
       [](const Prepared&) { return id_revoke_add_jti("jti-2", kClock + 600, "sub", "cl"); },
       {"revoked.json"}},
      {"login failed",
       [](const Prepared&) {
         id_login_failed("alice", "192.0.2.7");
         return kNoResult;
       },
       {}},
      {"login success",
       [](const Prepared&) {
         id_login_success("alice");
         return kNoResult;
       },
       {}},
      {"audit record",
       [](const Prepared& p) { return id_audit_record("login", p.owner, "alice", "192.0.2.7", "ok"); },
       {"audit_log.json"}},
      {"keys rotate", [](const Prepared&) { return id_keys_rotate(); }, {"keys.json"}, false, true},
      {"audit prune", [](const Prepared&) { return id_audit_prune(1) == 2 ? 0 : -1; },
       {"audit_log.json"}},
  };
  return table;
}

using Files = std::map<std::string, std::string>;

std::optional<std::string> get(const Files& f, const std::string& name) {
  auto it = f.find(name);
  if (it == f.end()) return std::nullopt;
  return it->second;
}

long g_fault_points = 0;

// keys.json with every identifier that old does not hold, and the material of
// those keys, replaced by "*"; any other text as it is.
std::string mask_new_keys(const std::string& text, const std::string& old) {
  yyjson_doc* o = yyjson_read(old.data(), old.size(), 0);
  yyjson_doc* d = yyjson_read(text.data(), text.size(), 0);
  std::vector<std::string> known;
  yyjson_val* okeys = yyjson_obj_get(yyjson_doc_get_root(o), "keys");
  for (size_t i = 0; i < yyjson_arr_size(okeys); ++i) {
    const char* kid = yyjson_get_str(yyjson_obj_get(yyjson_arr_get(okeys, i), "kid"));
    if (kid) known.push_back(kid);
  }
  auto is_known = [&](const char* kid) {
    for (const std::string& k : known)
      if (kid && k == kid) return true;
    return false;
  };
  std::string out;
  yyjson_val* root = yyjson_doc_get_root(d);
  if (!yyjson_is_obj(root)) {
    out = text;
  } else {
    const char* active = yyjson_get_str(yyjson_obj_get(root, "active"));
    out = std::string("active=") + (is_known(active) ? active : "*");
    yyjson_val* keys = yyjson_obj_get(root, "keys");
    for (size_t i = 0; i < yyjson_arr_size(keys); ++i) {
      yyjson_val* k = yyjson_arr_get(keys, i);
      const char* kid = yyjson_get_str(yyjson_obj_get(k, "kid"));
      const char* der = yyjson_get_str(yyjson_obj_get(k, "priv_der_b64"));
      bool old_key = is_known(kid);
      const char* alg = yyjson_get_str(yyjson_obj_get(k, "alg"));
      const char* status = yyjson_get_str(yyjson_obj_get(k, "status"));
      out += std::string(" {") + (old_key ? kid : "*") + " " +
             std::to_string(yyjson_get_sint(yyjson_obj_get(k, "created"))) + " " +
             (alg ? alg : "?") + " " +
             (old_key ? (der ? der : "?") : (der && std::strlen(der) > 1000 ? "*" : "short")) +
             " " + (status ? status : "?") + "}";
    }
  }
  yyjson_doc_free(o);
  yyjson_doc_free(d);
  return out;
}

class FaultInjection : public TempDataDirTest, public ::testing::WithParamInterface<Op> {
 protected:
  FaultInjection() {
    seam_.ops().time = fixed_time;
    seam_.ops().getrandom = fixed_random;
    seam_.ops().sleep_ms = no_sleep;
  }

  // One of everything, made through the operations themselves.
  void prepare() {
    g_random_pos = 0;
    ASSERT_EQ(id_user_create("alice", "alice-password-1", "alice@example.org", p_.owner,
                             sizeof p_.owner),
              0);
    ASSERT_EQ(id_user_create("bob", "bob-password-1", nullptr, p_.bob, sizeof p_.bob), 0);
    ASSERT_EQ(id_client_create("App", kUri, "openid profile email", p_.client, sizeof p_.client,
                               p_.secret, sizeof p_.secret, false, nullptr, 0),
              0);
    ASSERT_EQ(id_session_create(p_.owner, "alice", p_.session, sizeof p_.session), 0);
    ASSERT_EQ(id_session_create(p_.bob, "bob", p_.bob_session, sizeof p_.bob_session), 0);
    ASSERT_EQ(id_refresh_token_create(p_.owner, "alice", p_.client, "openid", p_.refresh,
                                      sizeof p_.refresh),
              0);
    ASSERT_EQ(id_refresh_token_create(p_.bob, "bob", p_.client, "openid", nullptr, 0), 0);
    ASSERT_EQ(id_auth_code_create(p_.owner, "alice", p_.client, kUri, "openid", kVerifier, "plain",
                                  p_.code, sizeof p_.code),
              0);
    ASSERT_EQ(id_consent_set(p_.owner, p_.client, "openid profile"), 0);
    ASSERT_EQ(id_revoke_add_jti("jti-1", kClock + 100, "sub", "cl"), 0);
    for (const char* ev : {"a", "b", "c"})
      ASSERT_EQ(id_audit_record(ev, p_.owner, "alice", "192.0.2.7", ""), 0);
    id_login_failed("alice", "192.0.2.7");
    ASSERT_EQ(id_keys_load_or_create(), 0);
    old_ = snapshot();
  }

  // Every file of the data directory but the lock files and the server log.
  Files snapshot() const {
    Files f;
    for (const auto& e : fs::directory_iterator(dir.data_dir())) {
      std::string name = e.path().filename().string();
      if (name == "server.log" || name.ends_with(".lock")) continue;
      f[name] = TempDataDir::read_file(e.path().string());
    }
    return f;
  }

  void restore() const {
    for (const auto& e : fs::directory_iterator(dir.data_dir())) fs::remove(e.path());
    for (const auto& [name, text] : old_) TempDataDir::write_file(dir.path(name), text);
    g_random_pos = 1u << 20;
    zeb::keys_forget();
    zeb_strlcpy(g_out, "untouched", sizeof g_out);
  }

  bool same_as_new(const Op& op, const std::string& name,
                   const std::optional<std::string>& current) const {
    std::optional<std::string> n = get(new_, name);
    if (!op.new_keys || name != "keys.json" || !current || !n) return current == n;
    std::string old = get(old_, name).value_or("");
    return mask_new_keys(*current, old) == mask_new_keys(*n, old);
  }

  bool same_as_new(const Op& op, const Files& now) const {
    if (now.size() != new_.size()) return false;
    for (const auto& [name, text] : now)
      if (!same_as_new(op, name, text)) return false;
    return true;
  }

  // Checks one faulted run against the old and the new state.
  void check_run(const Op& op, int rc, const std::string& what) {
    SCOPED_TRACE(what);
    Files now = snapshot();
    std::vector<std::string> names;
    for (const auto& [name, _] : old_) names.push_back(name);
    for (const auto& [name, _] : new_) names.push_back(name);
    for (const auto& [name, _] : now) names.push_back(name);
    for (const std::string& name : names) {
      EXPECT_FALSE(name.ends_with(".tmp")) << name << " left behind";
      EXPECT_EQ(name.find(".corrupt-"), std::string::npos) << name;
      std::optional<std::string> current = get(now, name);
      EXPECT_TRUE(current == get(old_, name) || same_as_new(op, name, current))
          << name << " is neither the old nor the new version";
      if (current && name.ends_with(".json")) {
        yyjson_doc* doc = id_load_json_file(name.c_str());
        EXPECT_NE(doc, nullptr) << name << " does not parse";
        yyjson_doc_free(doc);
        id_lock l;
        EXPECT_EQ(id_lock_acquire_wait(&l, name.c_str(), 0), 0) << name << " is still locked";
        id_lock_release(&l);
      }
    }
    if (op.new_keys) {
      // The table this process signs with must be the one keys.json publishes.
      char kid[64] = "";
      ASSERT_EQ(id_keys_get_active(nullptr, nullptr, kid, sizeof kid), 0);
      yyjson_doc* doc = id_load_json_file("keys.json");
      EXPECT_STREQ(kid, yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), "active")));
      yyjson_doc_free(doc);
    }
    if (rc == 0) {
      for (const char* name : op.saved_on_success)
        EXPECT_TRUE(same_as_new(op, name, get(now, name))) << name << ": success reported for a change not saved";
    }
    if (op.single_use_grant) {
      bool removal_saved = get(now, "tokens.json") == get(new_, "tokens.json");
      if (!removal_saved) {
        EXPECT_NE(rc, 0) << "a grant was honoured though its removal was lost";
      }
      if (rc != 0) {
        EXPECT_FALSE(g_out_written()) << "a refused grant handed something out";
      }
    }
  }

  Prepared p_;
  Files old_, new_;

 private:
  PlatformFault seam_;
};

TEST_P(FaultInjection, EveryFailingCallLeavesOldOrNewVersion) {
  const Op& op = GetParam();
  ASSERT_NO_FATAL_FAILURE(prepare());

  restore();
  int rc = op.run(p_);
  ASSERT_TRUE(rc == 0 || rc == kNoResult) << "the fault-free run failed: " << rc;
  new_ = snapshot();
  ASSERT_NE(new_, old_) << "the operation changed nothing";
  // Reproducible: a second fault-free run gives the same bytes.
  restore();
  op.run(p_);
  ASSERT_TRUE(same_as_new(op, snapshot()));

  struct Mode {
    bool persistent;
    FailNth::Flavor flavor;
    const char* what;
  };
  std::vector<Mode> modes = {{false, FailNth::Flavor::Hard, "transient hard"},
                             {true, FailNth::Flavor::Hard, "persistent hard"},
                             {false, FailNth::Flavor::Soft, "transient soft"},
                             {true, FailNth::Flavor::Soft, "persistent soft"}};
  // Password hashing and key generation make every run slow (under the sanitizers
  // much slower): the soft faults take the same paths as far as the store goes.
  if (kSanitized || op.new_keys) modes.resize(2);
  if (kSanitized && op.new_keys) modes.resize(1);

  long points = 0;
  for (const Mode& m : modes) {
    for (long n = 1;; ++n) {
      ASSERT_LT(n, 1000) << "the operation never ran out of calls";
      restore();
      long hits = 0;
      {
        FailNth fault(n, m.persistent, m.flavor);
        rc = op.run(p_);
        hits = fault.hits();
      }
      if (hits == 0) {
        // Past the last call: this is a fault-free run again.
        EXPECT_TRUE(rc == 0 || rc == kNoResult) << m.what << " n=" << n;
        EXPECT_TRUE(same_as_new(op, snapshot()));
        break;
      }
      ++points;
      check_run(op, rc, std::string(m.what) + " n=" + std::to_string(n));
      if (::testing::Test::HasFailure()) return;
    }
  }
  g_fault_points += points;
  std::printf("[ fault points ] %-24s %ld\n", op.name, points);
}

INSTANTIATE_TEST_SUITE_P(Stores, FaultInjection, ::testing::ValuesIn(ops()),
                         [](const ::testing::TestParamInfo<Op>& info) {
                           std::string s = info.param.name;
                           for (char& c : s)
                             if (c == ' ') c = '_';
                           return s;
                         });

class FaultTotal : public ::testing::Environment {
 public:
  void TearDown() override { std::printf("[ fault points ] total %ld\n", g_fault_points); }
};
const auto* const g_total = ::testing::AddGlobalTestEnvironment(new FaultTotal);

}  // namespace
