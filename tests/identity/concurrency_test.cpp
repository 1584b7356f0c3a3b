// Many processes changing one store at once. For every store, 16 processes make 50
// changes each while two lock-free readers read it in a loop: afterwards every
// change must be in the store, and no reader may ever have seen a store that does
// not parse (or a seeded record missing). keys.json, whose table holds at most 8
// keys, instead takes 16 rotations at once under the same readers: 7 fill the table
// and the rest are refused. Then many processes race for one single-use record,
// and exactly one may win.
//
// Covered elsewhere and not repeated here: 16 redemptions of one authorization code
// (auth_code_test ConcurrentRedemptionsOfOneCodeLetOneWin), two rotations of one
// refresh token and the family revocation that follows (refresh_test
// ConcurrentRotationsOfOneTokenLetOneWin), creations of one user name (user_test
// SimultaneousCreationsOfOneNameLetOneThrough), the first creation of keys.json by
// processes starting together (keys_test ProcessesStartingTogetherShareTheFirstKey).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "id_keys.h"
#include "identity_common.h"
#include "keys_internal.h"
#include "token_store_fixture.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define ZEB_LOAD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEB_LOAD_SANITIZED 1
#endif
#endif

constexpr int kProcs = 16;
#ifdef ZEB_LOAD_SANITIZED
constexpr int kEach = 12;
#else
constexpr int kEach = 50;
#endif
constexpr int kReaders = 2;
// Seeded so that the new events push exactly the 300 oldest out of the log.
constexpr int kAuditCap = 2000;
constexpr int kAuditSeed = kAuditCap + 300 - kProcs * kEach;

using std::to_string;

using store_file::load;
using store_file::Loaded;
using store_file::path_of;
using store_file::put;

// The `field` of every record in an object's values or an array's elements.
std::multiset<std::string> fields(yyjson_val* records, const char* field) {
  std::multiset<std::string> out;
  size_t i, n;
  yyjson_val *k, *v;
  if (yyjson_is_obj(records)) {
    yyjson_obj_foreach(records, i, n, k, v) out.insert(zeb::json_str(v, field));
  } else {
    yyjson_arr_foreach(records, i, n, v) out.insert(zeb::json_str(v, field));
  }
  return out;
}

std::string tag(int p, int j) { return to_string(p) + "_" + to_string(j); }

// Every tag p_j of the run exactly once, besides the seeded `extra` ones.
::testing::AssertionResult all_tags(const std::multiset<std::string>& seen,
                                    const std::set<std::string>& extra = {}) {
  std::multiset<std::string> want(extra.begin(), extra.end());
  for (int p = 0; p < kProcs; ++p) {
    for (int j = 0; j < kEach; ++j) want.insert(tag(p, j));
  }
  if (seen == want) return ::testing::AssertionSuccess();
  auto r = ::testing::AssertionFailure();
  r << "kept " << seen.size() << " of " << want.size();
  for (const std::string& t : want) {
    if (seen.count(t) != want.count(t)) return r << "; first lost or doubled: " << t;
  }
  return r;
}

// One store under load: its seed, the change made by process p as its j-th, the
// check of the result and what a lock-free reader must always find.
struct LoadCase {
  const char* name;
  std::vector<const char*> stores;
  void (*seed)();
  int (*change)(int p, int j);
  ::testing::AssertionResult (*verify)();
  bool (*probe)();
};
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

std::string session_rec(const char* user, const char* name) {
  return std::string(R"({"user_id":")") + user + R"(","username":")" + name +
         R"(","created_at":1,"expires_at":)" + to_string(kNow + 86400) + "}";
}

const LoadCase kLoadCases[] = {
    {"sessions",
     {"tokens.json"},
     [] {
       put("tokens.json", R"({"sessions":{"sess_seed":)" + session_rec("seed", "n") +
                              R"(},"auth_codes":{},"refresh":[]})");
     },
     [](int p, int j) { return id_session_create(tag(p, j).c_str(), "n", nullptr, 0); },
     [] {
       Loaded l = load("tokens.json");
       return all_tags(fields(zeb::json_obj(l.root, "sessions"), "user_id"), {"seed"});
     },
     [] { return id_session_verify("sess_seed", nullptr, 0, nullptr, 0); }},

    {"auth_codes",
     {"tokens.json"},
     [] {
       put("tokens.json", R"({"sessions":{},"auth_codes":{"code_seed":{"client_id":"c",)"
                          R"("expires_at":)" +
                              to_string(kNow + 600) + R"(}},"refresh":[]})");
     },
     [](int p, int j) {
       return id_auth_code_create(nullptr, tag(p, j).c_str(), "c", nullptr, nullptr, nullptr,
                                  nullptr, nullptr, 0);
     },
     [] {
       Loaded l = load("tokens.json");
       return all_tags(fields(zeb::json_obj(l.root, "auth_codes"), "username"), {""});
     },
     [] {
       Loaded l = load("tokens.json");
       return zeb::json_obj(zeb::json_obj(l.root, "auth_codes"), "code_seed") != nullptr;
     }},

    {"refresh_tokens",
     {"tokens.json"},
     [] {
       put("tokens.json", R"({"sessions":{},"auth_codes":{},"refresh":[{"token":"rt_seed",)"
                          R"("client_id":"c","expires_at":)" +
                              to_string(kNow + 60) + "}]}");
     },
     [](int p, int j) {
       return id_refresh_token_create("u", tag(p, j).c_str(), "c", nullptr, nullptr, 0);
     },
     [] {
       Loaded l = load("tokens.json");
       return all_tags(fields(zeb::json_arr(l.root, "refresh"), "username"), {""});
     },
     [] { return id_refresh_token_find("rt_seed", nullptr); }},

    // Each process rotates a chain of its own: every rotation replaces one live
    // token by its successor in a single save, so a reader always sees 16.
    {"refresh_rotations",
     {"tokens.json"},
     [] {
       std::string recs;
       for (int p = 0; p < kProcs; ++p) {
         recs += std::string(p ? "," : "") + R"({"token":"rt_seed)" + to_string(p) +
                 R"(","client_id":"c","expires_at":)" + to_string(kNow + 60) + "}";
       }
       put("tokens.json", R"({"sessions":{},"auth_codes":{},"refresh":[)" + recs + "]}");
     },
     [](int p, int j) {
       static std::string current;
       if (j == 0) current = "rt_seed" + to_string(p);
       char next[64];
       int rc = id_refresh_token_rotate(current.c_str(), "c", next, sizeof next, nullptr);
       current = next;
       return rc;
     },
     [] {
       Loaded l = load("tokens.json");
       std::multiset<std::string> live = fields(zeb::json_arr(l.root, "refresh"), "family");
       std::multiset<std::string> retired = fields(zeb::json_arr(l.root, "rotated"), "family");
       for (int p = 0; p < kProcs; ++p) {
         std::string family = "rt_seed" + to_string(p);
         if (live.count(family) != 1 || retired.count(family) != static_cast<size_t>(kEach))
           return ::testing::AssertionFailure() << family << ": " << live.count(family) << " live, "
                                                << retired.count(family) << " retired";
       }
       return live.size() == kProcs ? ::testing::AssertionSuccess()
                                    : ::testing::AssertionFailure() << live.size() << " live";
     },
     [] {
       Loaded l = load("tokens.json");
       return yyjson_arr_size(zeb::json_arr(l.root, "refresh")) == kProcs;
     }},

    {"clients",
     {"clients.json"},
     [] {
       put("clients.json", R"([{"client_id":"client_seed","name":"seed","public":true,)"
                           R"("redirect_uris":["https://rp.example/cb"]}])");
     },
     [](int p, int j) {
       return id_client_create(tag(p, j).c_str(), "https://rp.example/cb", nullptr, nullptr, 0,
                               nullptr, 0, j % 2 == 0, nullptr, 0);
     },
     [] {
       Loaded l = load("clients.json");
       return all_tags(fields(l.root, "name"), {"seed"});
     },
     [] { return id_client_find_by_id("client_seed", nullptr); }},

    // Creating costs a password hash, so each process creates one user and deletes
    // 49 seeded ones (each deletion also saves tokens.json twice).
    {"users",
     {"users.json", "tokens.json"},
     [] {
       put("tokens.json", "{}");
       std::string users = R"([{"id":"usr_keep","username":"keep","role":"owner"})";
       for (int p = 0; p < kProcs; ++p) {
         for (int j = 1; j < kEach; ++j) {
           users += R"(,{"id":"usr_)" + tag(p, j) + R"(","username":"s)" + tag(p, j) + R"("})";
         }
       }
       put("users.json", users + "]");
     },
     [](int p, int j) {
       if (j == 0) return id_user_create(tag(p, 0).c_str(), "long enough pw", nullptr, nullptr, 0);
       return id_user_delete(("usr_" + tag(p, j)).c_str());
     },
     [] {
       Loaded l = load("users.json");
       std::multiset<std::string> seen = fields(l.root, "username");
       std::multiset<std::string> want{"keep"};
       for (int p = 0; p < kProcs; ++p) want.insert(tag(p, 0));
       if (seen == want) return ::testing::AssertionSuccess();
       return ::testing::AssertionFailure() << seen.size() << " users, expected " << want.size();
     },
     [] { return id_user_find_by_id("usr_keep", nullptr); }},

    // One consent record per process, widened by one scope at a time.
    {"consents",
     {"consents.json"},
     [] { put("consents.json", R"({"seed":{"c":{"scopes":"openid","granted":1}}})"); },
     [](int p, int j) {
       return id_consent_set("u", ("c" + to_string(p)).c_str(), ("s" + to_string(j)).c_str());
     },
     [] {
       std::string all;
       for (int j = 0; j < kEach; ++j) all += (j ? " s" : "s") + to_string(j);
       Loaded l = load("consents.json");
       yyjson_val* user = zeb::json_obj(l.root, "u");
       if (yyjson_obj_size(user) != kProcs)
         return ::testing::AssertionFailure() << yyjson_obj_size(user) << " records";
       for (int p = 0; p < kProcs; ++p) {
         std::string have =
             zeb::json_str(zeb::json_obj(user, ("c" + to_string(p)).c_str()), "scopes");
         if (have != all) return ::testing::AssertionFailure() << "c" << p << ": " << have;
       }
       return ::testing::AssertionSuccess();
     },
     [] { return id_consent_covers("seed", "c", "openid"); }},

    {"revoked",
     {"revoked.json"},
     [] { put("revoked.json", R"({"jti_seed":{"exp":)" + to_string(kNow + 3600) + "}}"); },
     [](int p, int j) {
       return id_revoke_add_jti(tag(p, j).c_str(), kNow + 3600, nullptr, nullptr);
     },
     [] {
       Loaded l = load("revoked.json");
       std::multiset<std::string> seen;
       size_t i, n;
       yyjson_val *k, *v;
       yyjson_obj_foreach(l.root, i, n, k, v) seen.insert(yyjson_get_str(k));
       return all_tags(seen, {"jti_seed"});
     },
     [] { return id_revoke_is_jti("jti_seed"); }},

    // Four processes share each account; each process signs in from its own address.
    {"login_attempts",
     {"login_attempts.json", "login_attempts_ip.json"},
     [] {
       put("login_attempts.json", R"({"acc_seed":{"count":1}})");
       std::string events;
       for (int i = 0; i < 20; ++i) {
         events +=
             std::string(i ? "," : "") + R"({"ts":)" + to_string(kNow) + R"(,"ip":"10.9.9.9"})";
       }
       put("login_attempts_ip.json", "[" + events + "]");
     },
     [](int p, int) {
       id_login_failed(("acct" + to_string(p % 4)).c_str(),
                       ("10.0." + to_string(p) + ".1").c_str());
       return 0;
     },
     [] {
       Loaded acc = load("login_attempts.json");
       for (int a = 0; a < 4; ++a) {
         int64_t count =
             zeb::json_int(zeb::json_obj(acc.root, ("acc_acct" + to_string(a)).c_str()), "count");
         if (count != kEach * kProcs / 4)
           return ::testing::AssertionFailure() << "acct" << a << " counted " << count;
       }
       Loaded ip = load("login_attempts_ip.json");
       std::map<std::string, int> per_ip;
       size_t i, n;
       yyjson_val* v;
       yyjson_arr_foreach(ip.root, i, n, v)++ per_ip[zeb::json_str(v, "ip")];
       for (int p = 0; p < kProcs; ++p) {
         if (per_ip["10.0." + to_string(p) + ".1"] != kEach)
           return ::testing::AssertionFailure()
                  << "10.0." << p << ".1 counted " << per_ip["10.0." + to_string(p) + ".1"];
       }
       return per_ip.size() == kProcs + 1 && per_ip["10.9.9.9"] == 20
                  ? ::testing::AssertionSuccess()
                  : ::testing::AssertionFailure() << per_ip.size() << " addresses";
     },
     [] {
       char msg[128];
       return id_login_ip_over_budget("10.9.9.9") &&
              id_login_allowed("seed", nullptr, msg, sizeof msg) == 1;
     }},

    // The log keeps the newest 2000.
    {"audit_log",
     {"audit_log.json"},
     [] {
       std::string events;
       for (int i = 0; i < kAuditSeed; ++i) {
         events += std::string(i ? "," : "") + R"({"ts":1,"event":"seed","detail":")" +
                   to_string(i) + "\"}";
       }
       put("audit_log.json", "[" + events + "]");
     },
     [](int p, int j) {
       return id_audit_record("ev", nullptr, nullptr, nullptr, tag(p, j).c_str());
     },
     [] {
       Loaded l = load("audit_log.json");
       if (yyjson_arr_size(l.root) != kAuditCap)
         return ::testing::AssertionFailure() << yyjson_arr_size(l.root) << " events";
       std::multiset<std::string> seen;
       std::map<std::string, int> last_j;
       size_t i, n;
       yyjson_val* v;
       yyjson_arr_foreach(l.root, i, n, v) {
         std::string detail = zeb::json_str(v, "detail");
         if (i < static_cast<size_t>(kAuditCap - kProcs * kEach)) {
           // The oldest 300 seeded events went, the rest stayed in order.
           if (detail != to_string(300 + i))
             return ::testing::AssertionFailure() << "event " << i << " is " << detail;
           continue;
         }
         seen.insert(detail);
         // Each process's events in the order it made them.
         std::string p = detail.substr(0, detail.find('_'));
         int j = std::stoi(detail.substr(detail.find('_') + 1));
         if (last_j.count(p) && last_j[p] >= j)
           return ::testing::AssertionFailure() << detail << " out of order";
         last_j[p] = j;
       }
       return all_tags(seen);
     },
     [] {
       int n = id_audit_count();
       return n >= std::min(kAuditSeed, kAuditCap) && n <= std::max(kAuditSeed, kAuditCap);
     }},
};

// Lock-free readers that run until stopped, each counting its reads and the reads
// that failed; a reader's exit status says whether it saw a failure. A read fails
// when the probe fails or one of the stores does not parse.
class Readers {
 public:
  Readers(const std::vector<const char*>& stores, bool (*probe)()) {
    if (::pipe(stop_) != 0 || ::pipe(report_) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    for (int r = 0; r < kReaders; ++r) {
      pid_t pid = ::fork();
      if (pid == 0) run(stores, probe);
      pids_.push_back(pid);
    }
    ::close(report_[1]);
  }

  // Stops the readers; returns the reads made and adds the failures to *failed.
  long stop(long* failed) {
    ::close(stop_[1]);
    long reads = 0;
    for (pid_t pid : pids_) {
      int status = 0;
      EXPECT_TRUE(pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                  WEXITSTATUS(status) == 0)
          << "a reader saw a store it could not read";
      long counts[2] = {0, 0};
      if (::read(report_[0], counts, sizeof counts) == sizeof counts) {
        EXPECT_GT(counts[0], 0) << "a reader never read";
        reads += counts[0];
        *failed += counts[1];
      }
    }
    ::close(stop_[0]);
    ::close(report_[0]);
    return reads;
  }

 private:
  [[noreturn]] void run(const std::vector<const char*>& stores, bool (*probe)()) {
    ::close(stop_[1]);
    // Readers take only what the writers leave of the two cores.
    (void)!::nice(10);
    long counts[2] = {0, 0};
    pollfd pfd{stop_[0], POLLIN, 0};
    do {
      ++counts[0];
      bool ok = probe();
      for (const char* s : stores) {
        zeb::DocPtr doc(id_load_json_file(s));
        ok &= doc != nullptr;
      }
      counts[1] += !ok;
    } while (::poll(&pfd, 1, 0) == 0);
    (void)!::write(report_[1], counts, sizeof counts);
    ::_exit(counts[1] ? 1 : 0);
  }

  int stop_[2] = {-1, -1};
  int report_[2] = {-1, -1};
  std::vector<pid_t> pids_;
};

class ConcurrencyTest : public TokenStoreTest {
 protected:
  ConcurrencyTest() {
    // The lock, not the disk, is what is under test; fsync would cost ~10 ms per
    // save on a disk and serialise every store for seconds.
    platform().fsync = [](int) { return 0; };
  }
};

struct Totals {
  long changes = 0, reads = 0;
};
Totals g_totals;

class LoadTest : public ConcurrencyTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadTest, SixteenWritersLoseNoChangeAndReadersAlwaysParse) {
  const LoadCase& c = GetParam();
  c.seed();
  ASSERT_TRUE(c.probe());
  Readers readers(c.stores, c.probe);
  std::vector<int> rcs = run_at_once(kProcs, [&](int p) {
    for (int j = 0; j < kEach; ++j) {
      if (c.change(p, j) != 0) return -1 - j % 50;
    }
    return 0;
  });
  long failed = 0;
  long reads = readers.stop(&failed);
  EXPECT_EQ(rcs, std::vector<int>(kProcs, 0));
  EXPECT_EQ(failed, 0);
  ::testing::AssertionResult kept = c.verify();
  EXPECT_TRUE(kept);
  for (const char* s : c.stores) EXPECT_FALSE(TempDataDir::exists(path_of(s) + ".tmp")) << s;
  if (kept && rcs == std::vector<int>(kProcs, 0)) g_totals.changes += kProcs * kEach;
  if (failed == 0) g_totals.reads += reads;
}

INSTANTIATE_TEST_SUITE_P(Stores, LoadTest, ::testing::ValuesIn(kLoadCases),
                         [](const ::testing::TestParamInfo<LoadCase>& info) {
                           return std::string(info.param.name);
                         });

// keys.json holds at most 8 keys, so it takes one rotation per process instead of
// 50 changes: from one seeded key, 7 rotations fill the table and the rest are
// refused. Each rotation generates its key under the lock (~150 ms).
constexpr int kKeyTable = 8;

// What a lock-free reader must always find in keys.json: exactly one active key,
// the one the store names.
bool one_active_key_named() {
  Loaded l = load("keys.json");
  const std::string named = zeb::json_str(l.root, "active");
  int active = 0, named_active = 0;
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(zeb::json_arr(l.root, "keys"), i, n, v) {
    bool is_active = std::strcmp(zeb::json_str(v, "status"), "active") == 0;
    active += is_active;
    named_active += is_active && named == zeb::json_str(v, "kid");
  }
  return active == 1 && named_active == 1;
}

TEST_F(ConcurrencyTest, RotationsAtOnceFillTheKeyTableAndReadersAlwaysFindTheActiveKey) {
  // A child makes the seed key, so that this process never seeds its generator and
  // every rotating process seeds its own, as a freshly started program does.
  ASSERT_EQ(run_at_once(1, [](int) { return id_keys_load_or_create(); }), std::vector<int>{0});
  const std::string seed = zeb::json_str(load("keys.json").root, "active");
  ASSERT_TRUE(one_active_key_named());
  Readers readers({"keys.json"}, one_active_key_named);
  std::vector<int> rcs = run_at_once(kProcs, [](int) { return id_keys_rotate(); });
  long failed = 0;
  long reads = readers.stop(&failed);
  EXPECT_EQ(failed, 0);
  const long won = std::count(rcs.begin(), rcs.end(), 0);
  EXPECT_EQ(won, kKeyTable - 1);
  EXPECT_EQ(std::count(rcs.begin(), rcs.end(), -1), kProcs - won) << "results other than 0 and -1";

  // The seed first and retired, then one key per winner, the last made active.
  Loaded l = load("keys.json");
  std::vector<std::string> kids, statuses;
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(zeb::json_arr(l.root, "keys"), i, n, v) {
    kids.push_back(zeb::json_str(v, "kid"));
    statuses.push_back(zeb::json_str(v, "status"));
  }
  ASSERT_EQ(kids.size(), static_cast<size_t>(kKeyTable));
  EXPECT_EQ(std::set<std::string>(kids.begin(), kids.end()).size(), kids.size()) << "a kid repeats";
  EXPECT_EQ(kids.front(), seed);
  std::vector<std::string> want(kKeyTable - 1, "retired");
  want.push_back("active");
  EXPECT_EQ(statuses, want);
  EXPECT_EQ(zeb::json_str(l.root, "active"), kids.back());
  EXPECT_FALSE(TempDataDir::exists(path_of("keys.json") + ".tmp"));
  // The saved active key decodes and proves its identifier.
  char active[24] = "";
  EXPECT_EQ(id_keys_get_active(nullptr, nullptr, active, sizeof active), 0);
  EXPECT_EQ(active, kids.back());
  zeb::keys_forget();

  if (!HasFailure()) g_totals.changes += won;
  if (failed == 0) g_totals.reads += reads;
}

// Sixteen processes at one single-use record: exactly one may succeed.
struct RaceCase {
  const char* name;
  void (*seed)();
  int (*attempt)();
  ::testing::AssertionResult (*after)(const std::vector<int>& rcs);
};
void PrintTo(const RaceCase& c, std::ostream* os) { *os << c.name; }

::testing::AssertionResult no_other_success(const std::vector<int>& rcs) {
  for (int rc : rcs) {
    if (rc != 0 && rc != -1) return ::testing::AssertionFailure() << "result " << rc;
  }
  return ::testing::AssertionSuccess();
}

// As above, and the record beside the contested one is still there.
::testing::AssertionResult other_kept(const std::vector<int>& rcs, bool kept, const char* what) {
  auto r = no_other_success(rcs);
  if (!r || kept) return r;
  return ::testing::AssertionFailure() << "the other " << what << " went too";
}

const RaceCase kRaceCases[] = {
    // The first rotation wins; the next finds the token retired and revokes the
    // family (the winner's successor with it); the rest find nothing left.
    {"rotate_one_refresh_token",
     [] {
       put("tokens.json", R"({"sessions":{},"auth_codes":{},"refresh":[{"token":"rt_one",)"
                          R"("client_id":"c","expires_at":)" +
                              to_string(kNow + 60) + "}]}");
     },
     [] { return id_refresh_token_rotate("rt_one", "c", nullptr, 0, nullptr); },
     [](const std::vector<int>& rcs) {
       int revoked = 0, other = 0;
       for (int rc : rcs) revoked += rc == -4, other += rc != 0 && rc != -4 && rc != -1;
       Loaded l = load("tokens.json");
       size_t live = yyjson_arr_size(zeb::json_arr(l.root, "refresh"));
       if (revoked != 1 || other != 0 || live != 0)
         return ::testing::AssertionFailure() << revoked << " family revocations, " << other
                                              << " odd results, " << live << " live tokens";
       return ::testing::AssertionSuccess();
     }},
    {"revoke_one_refresh_token",
     [] {
       put("tokens.json", R"({"sessions":{},"auth_codes":{},"refresh":[{"token":"rt_one"}]})");
     },
     [] { return id_refresh_token_revoke("rt_one"); }, no_other_success},
    {"delete_one_client",
     [] { put("clients.json", R"([{"client_id":"client_one"},{"client_id":"client_two"}])"); },
     [] { return id_client_delete("client_one"); },
     [](const std::vector<int>& rcs) {
       return other_kept(rcs, id_client_find_by_id("client_two", nullptr), "client");
     }},
    {"delete_one_user",
     [] {
       put("users.json",
           R"([{"id":"usr_one","username":"one"},{"id":"usr_two","username":"two"}])");
     },
     [] { return id_user_delete("usr_one"); },
     [](const std::vector<int>& rcs) {
       return other_kept(rcs, id_user_find_by_id("usr_two", nullptr), "user");
     }},
};

class RaceTest : public ConcurrencyTest, public ::testing::WithParamInterface<RaceCase> {};

TEST_P(RaceTest, SixteenAtOneRecordLetExactlyOneWin) {
  const RaceCase& c = GetParam();
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + to_string(round));
    c.seed();
    std::vector<int> rcs = run_at_once(kProcs, [&](int) { return c.attempt(); });
    ASSERT_EQ(rcs.size(), static_cast<size_t>(kProcs));
    int wins = 0;
    for (int rc : rcs) wins += rc == 0;
    EXPECT_EQ(wins, 1);
    EXPECT_TRUE(c.after(rcs));
  }
}

INSTANTIATE_TEST_SUITE_P(Records, RaceTest, ::testing::ValuesIn(kRaceCases),
                         [](const ::testing::TestParamInfo<RaceCase>& info) {
                           return std::string(info.param.name);
                         });

// The figure for the README.
class TotalsReport : public ::testing::Environment {
 public:
  void TearDown() override {
    std::printf("concurrency: %ld concurrent changes kept, %ld lock-free reads without a failure\n",
                g_totals.changes, g_totals.reads);
  }
};
const auto* const kReport = ::testing::AddGlobalTestEnvironment(new TotalsReport);

}  // namespace
