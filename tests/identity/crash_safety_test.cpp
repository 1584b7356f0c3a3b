// Store changes killed at random moments. A child process repeats one kind of
// change and reports each one it completed; the parent kills it with SIGKILL
// after a random delay and then demands that every store is exactly the state
// after the reported changes (or one more, whose save landed before the kill),
// that the lock is free at once and that the next change succeeds.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "identity_common.h"
#include "token_store_fixture.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define ZEB_CRASH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEB_CRASH_SANITIZED 1
#endif
#endif
// A sanitized change takes several times as long: so does the delay before a kill,
// to land in its saves as often.
#ifdef ZEB_CRASH_SANITIZED
constexpr int kKillsPerCase = 24;
constexpr int kMaxDelayUs = 12000;
#else
constexpr int kKillsPerCase = 120;
constexpr int kMaxDelayUs = 3000;
#endif

using std::to_string;

// What a store holds compared with the state after k changes from the seed.
enum class Match {
  No,
  Exact,
  Partial,  // change k stopped between the saves of its stores, in their order
};

struct CrashCase {
  const char* name;
  std::vector<const char*> stores;  // every store the change writes
  int limit;                        // changes from one seed before reseeding
  void (*seed)();
  int (*change)(int i);  // the i-th change from the seed; 0 on success
  Match (*check)(int k, std::string* why);
};

void PrintTo(const CrashCase& c, std::ostream* os) { *os << c.name; }

using store_file::compact;
using store_file::load;
using store_file::Loaded;
using store_file::path_of;
using store_file::put;

// Compares the members (or elements) of a container with the expected compact
// texts, in order.
bool same_items(yyjson_val* c, const std::vector<std::string>& want, std::string* why) {
  std::vector<std::string> have;
  if (yyjson_is_obj(c)) {
    size_t i, n;
    yyjson_val *k, *v;
    yyjson_obj_foreach(c, i, n, k, v) have.push_back(compact(k) + ":" + compact(v));
  } else if (yyjson_is_arr(c)) {
    size_t i, n;
    yyjson_val* v;
    yyjson_arr_foreach(c, i, n, v) have.push_back(compact(v));
  } else {
    *why = "not a container";
    return false;
  }
  if (have == want) return true;
  *why = "holds " + to_string(have.size()) + " items, expected " + to_string(want.size());
  for (size_t i = 0; i < have.size() && i < want.size(); ++i) {
    if (have[i] != want[i]) {
      *why += "; item " + to_string(i) + " is " + have[i] + ", expected " + want[i];
      break;
    }
  }
  return false;
}

bool has_prefix(const char* s, const char* p) { return std::string(s).rfind(p, 0) == 0; }

std::string session_rec(const std::string& user) {
  return R"({"user_id":")" + user + R"(","username":"n","created_at":)" + to_string(kNow) +
         R"(,"expires_at":)" + to_string(kNow + 86400) + "}";
}

// ---- tokens.json: sessions created ----

void sessions_seed() {
  put("tokens.json",
      R"({"sessions":{"sess_seed":)" + session_rec("seed") + R"(},"auth_codes":{},"refresh":[]})");
}
int sessions_change(int i) {
  return id_session_create(("u" + to_string(i)).c_str(), "n", nullptr, 0);
}
Match sessions_check(int k, std::string* why) {
  Loaded l = load("tokens.json");
  yyjson_val* sessions = zeb::json_obj(l.root, "sessions");
  if (!sessions || yyjson_obj_size(sessions) != static_cast<size_t>(k) + 1) {
    *why = "sessions: " + compact(sessions).substr(0, 200);
    return Match::No;
  }
  std::vector<std::string> want{"\"sess_seed\":" + session_rec("seed")};
  size_t i, n;
  yyjson_val *key, *v;
  yyjson_obj_foreach(sessions, i, n, key, v) {
    if (i == 0) continue;
    // Session ids are random: take the stored name once it has the right shape.
    std::string id = yyjson_get_str(key);
    if (!has_prefix(id.c_str(), "sess_") || id.size() != 37) id = "bad id " + id;
    want.push_back("\"" + id + "\":" + session_rec("u" + to_string(i - 1)));
  }
  return same_items(sessions, want, why) ? Match::Exact : Match::No;
}

// ---- tokens.json: one refresh token rotated again and again ----

std::string refresh_rec(const std::string& token) {
  return R"({"token":")" + token +
         R"(","user_id":"u","username":"n","client_id":"c","scope":"openid","family":"rt_seed",)"
         R"("expires_at":)" +
         to_string(kNow + 2419200) + "}";
}
void rotate_seed() {
  put("tokens.json",
      R"({"sessions":{},"auth_codes":{},"refresh":[)" + refresh_rec("rt_seed") + "]}");
}
std::string live_token() {
  Loaded l = load("tokens.json");
  return zeb::json_str(yyjson_arr_get_first(zeb::json_arr(l.root, "refresh")), "token");
}
int rotate_change(int) {
  std::string t = live_token();
  return id_refresh_token_rotate(t.c_str(), "c", nullptr, 0, nullptr);
}
Match rotate_check(int k, std::string* why) {
  Loaded l = load("tokens.json");
  yyjson_val* refresh = zeb::json_arr(l.root, "refresh");
  yyjson_val* live = yyjson_arr_get_first(refresh);
  std::string token = zeb::json_str(live, "token");
  if (k == 0 ? token != "rt_seed" : (!has_prefix(token.c_str(), "rt_") || token.size() != 46)) {
    *why = "live token " + token;
    return Match::No;
  }
  if (!same_items(refresh, {refresh_rec(token)}, why)) return Match::No;
  // Every retired token once, oldest first, and never the live one.
  std::vector<std::string> want;
  yyjson_val* rotated = zeb::json_member(l.root, "rotated");
  size_t i, n;
  yyjson_val* e;
  yyjson_arr_foreach(rotated, i, n, e) {
    std::string t = zeb::json_str(e, "token");
    bool fresh = t != token && compact(rotated).find(t) == compact(rotated).rfind(t);
    if (i == 0 ? t != "rt_seed" : !fresh) t = "bad " + t;
    want.push_back(R"({"token":")" + t + R"(","family":"rt_seed"})");
  }
  if (want.size() != static_cast<size_t>(k)) {
    *why = "rotated holds " + to_string(want.size());
    return Match::No;
  }
  if (k == 0) return rotated ? Match::No : Match::Exact;
  return same_items(rotated, want, why) ? Match::Exact : Match::No;
}

// ---- tokens.json: authorization codes redeemed one by one ----

constexpr int kCodes = 100;
std::string code_rec() {
  return R"({"client_id":"c","scope":"openid","code_challenge":"","code_challenge_method":"plain",)"
         R"("expires_at":)" +
         to_string(kNow + 600) + "}";
}
std::vector<std::string> codes_from(int k) {
  std::vector<std::string> v;
  for (int j = k; j < kCodes; ++j) v.push_back("\"code_" + to_string(j) + "\":" + code_rec());
  return v;
}
void codes_seed() {
  std::string members;
  for (const std::string& m : codes_from(0)) members += (members.empty() ? "" : ",") + m;
  put("tokens.json", R"({"sessions":{},"auth_codes":{)" + members + R"(},"refresh":[]})");
}
int codes_change(int i) {
  return id_auth_code_consume(("code_" + to_string(i)).c_str(), "c", nullptr, nullptr, nullptr);
}
Match codes_check(int k, std::string* why) {
  Loaded l = load("tokens.json");
  return same_items(zeb::json_member(l.root, "auth_codes"), codes_from(k), why) ? Match::Exact
                                                                                : Match::No;
}

// ---- users.json (and their sessions in tokens.json): users deleted ----

constexpr int kUsers = 60;
std::string user_rec(int j) {
  return R"({"id":"usr_s)" + to_string(j) + R"(","username":"user)" + to_string(j) +
         R"(","email":"","pass_hash":"pbkdf2$1$00$00","role":"user","created":)" + to_string(kNow) +
         R"(,"last_login":)" + to_string(kNow) + "}";
}
std::string user_session(int j) {
  return "\"sess_s" + to_string(j) + "\":" + session_rec("usr_s" + to_string(j));
}
template <typename F>
std::vector<std::string> from(int k, int n, F item) {
  std::vector<std::string> v;
  for (int j = k; j < n; ++j) v.push_back(item(j));
  return v;
}
std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += (s.empty() ? "" : ",") + x;
  return s;
}
void users_seed() {
  put("users.json", "[" + joined(from(0, kUsers, user_rec)) + "]");
  put("tokens.json", R"({"sessions":{)" + joined(from(0, kUsers, user_session)) +
                         R"(},"auth_codes":{},"refresh":[]})");
}
int users_change(int i) { return id_user_delete(("usr_s" + to_string(i)).c_str()); }
Match users_check(int k, std::string* why) {
  Loaded users = load("users.json");
  Loaded tokens = load("tokens.json");
  yyjson_val* sessions = zeb::json_member(tokens.root, "sessions");
  // The sessions go first and the user after them (a separate save): a kill between
  // may leave a user without sessions, never sessions of a removed user.
  bool users_k = same_items(users.root, from(k, kUsers, user_rec), why);
  if (!same_items(sessions, from(k, kUsers, user_session), why)) {
    return users_k && same_items(sessions, from(k + 1, kUsers, user_session), why) ? Match::Partial
                                                                                   : Match::No;
  }
  return users_k ? Match::Exact : Match::No;
}

// ---- clients.json: clients registered ----

std::string client_rec(int j, yyjson_val* stored) {
  std::string id = zeb::json_str(stored, "client_id");
  if (!has_prefix(id.c_str(), "client_") || id.size() != 18) id = "bad id " + id;
  std::string secret = zeb::json_str(stored, "secret");
  if (!has_prefix(secret.c_str(), "sec_") || secret.size() != 26) secret = "bad secret " + secret;
  return R"({"client_id":")" + id + R"(","name":"c)" + to_string(j) + "\"," +
         (j % 2 ? R"("public":true)" : R"("secret":")" + secret + "\"") +
         R"(,"scopes":"openid","redirect_uris":["https://rp.example/cb)" + to_string(j) + "\"]}";
}
void clients_seed() { put("clients.json", "[]"); }
int clients_change(int i) {
  return id_client_create(("c" + to_string(i)).c_str(),
                          ("https://rp.example/cb" + to_string(i)).c_str(), "openid", nullptr, 0,
                          nullptr, 0, i % 2 == 1, nullptr, 0);
}
Match clients_check(int k, std::string* why) {
  Loaded l = load("clients.json");
  std::vector<std::string> want;
  size_t i, n;
  yyjson_val* c;
  yyjson_arr_foreach(l.root, i, n, c) want.push_back(client_rec(static_cast<int>(i), c));
  if (want.size() != static_cast<size_t>(k)) {
    *why = "clients: " + to_string(want.size());
    return Match::No;
  }
  return same_items(l.root, want, why) ? Match::Exact : Match::No;
}

// ---- consents.json: consents granted ----

std::string consent_item(int j) {
  return "\"u" + to_string(j) + R"(":{"c":{"scopes":"openid s)" + to_string(j) + R"(","granted":)" +
         to_string(kNow) + "}}";
}
void consents_seed() { put("consents.json", "{}"); }
int consents_change(int i) {
  return id_consent_set(("u" + to_string(i)).c_str(), "c", ("openid s" + to_string(i)).c_str());
}
Match consents_check(int k, std::string* why) {
  Loaded l = load("consents.json");
  return same_items(l.root, from(0, k, consent_item), why) ? Match::Exact : Match::No;
}

// ---- revoked.json: token identifiers revoked ----

std::string revoked_item(int j) {
  return "\"j" + to_string(j) + R"(":{"exp":)" + to_string(kNow + 3600) +
         R"(,"sub":"sub","client_id":"cl"})";
}
void revoked_seed() { put("revoked.json", "{}"); }
int revoked_change(int i) {
  return id_revoke_add_jti(("j" + to_string(i)).c_str(), kNow + 3600, "sub", "cl");
}
Match revoked_check(int k, std::string* why) {
  Loaded l = load("revoked.json");
  return same_items(l.root, from(0, k, revoked_item), why) ? Match::Exact : Match::No;
}

// ---- login_attempts.json and login_attempts_ip.json: failed sign-ins ----

std::string account_item(int count) {
  // The clock stands still: from the third failure the account is locked 30 s.
  return R"("acc_acct":{"count":)" + to_string(count) + R"(,"strikes":)" + to_string(count) +
         R"(,"locked_until":)" + to_string(count >= 3 ? kNow + 30 : 0) + R"(,"last_ts":)" +
         to_string(kNow) + "}";
}
std::string address_item(int) { return R"({"ts":)" + to_string(kNow) + R"(,"ip":"10.0.0.1"})"; }
void login_seed() {
  put("login_attempts.json", "{}");
  put("login_attempts_ip.json", "[]");
}
int login_change(int) {
  id_login_failed("acct", "10.0.0.1");
  return 0;
}
Match login_check(int k, std::string* why) {
  Loaded acc = load("login_attempts.json");
  Loaded ip = load("login_attempts_ip.json");
  if (!same_items(ip.root, from(0, k, address_item), why)) return Match::No;
  // The account is counted first, the address in a save of its own after it.
  std::vector<std::string> want;
  if (k > 0) want.push_back(account_item(k));
  if (same_items(acc.root, want, why)) return Match::Exact;
  return same_items(acc.root, {account_item(k + 1)}, why) ? Match::Partial : Match::No;
}

// ---- audit_log.json: events appended across its cap of 2000 ----

constexpr int kAuditSeed = 1990;
constexpr int kAuditCap = 2000;
std::string audit_item(int j) {
  if (j < kAuditSeed) {
    return R"({"ts":)" + to_string(kNow - 1) +
           R"(,"event":"seed","user_id":"","username":"","ip":"?","detail":"s)" + to_string(j) +
           "\"}";
  }
  return R"({"ts":)" + to_string(kNow) +
         R"(,"event":"ev","user_id":"u","username":"n","ip":"1.2.3.4","detail":"d)" +
         to_string(j - kAuditSeed) + "\"}";
}
void audit_seed() { put("audit_log.json", "[" + joined(from(0, kAuditSeed, audit_item)) + "]"); }
int audit_change(int i) {
  return id_audit_record("ev", "u", "n", "1.2.3.4", ("d" + to_string(i)).c_str());
}
Match audit_check(int k, std::string* why) {
  Loaded l = load("audit_log.json");
  int total = kAuditSeed + k;
  return same_items(l.root, from(std::max(0, total - kAuditCap), total, audit_item), why)
             ? Match::Exact
             : Match::No;
}

const CrashCase kCases[] = {
    {"sessions", {"tokens.json"}, 150, sessions_seed, sessions_change, sessions_check},
    {"refresh_rotation", {"tokens.json"}, 300, rotate_seed, rotate_change, rotate_check},
    {"auth_code_redemption", {"tokens.json"}, kCodes, codes_seed, codes_change, codes_check},
    {"user_deletion", {"users.json", "tokens.json"}, kUsers, users_seed, users_change, users_check},
    {"client_registration", {"clients.json"}, 150, clients_seed, clients_change, clients_check},
    {"consent", {"consents.json"}, 150, consents_seed, consents_change, consents_check},
    {"revocation", {"revoked.json"}, 150, revoked_seed, revoked_change, revoked_check},
    {"login_failure",
     {"login_attempts.json", "login_attempts_ip.json"},
     150,
     login_seed,
     login_change,
     login_check},
    {"audit", {"audit_log.json"}, 60, audit_seed, audit_change, audit_check},
};

// Sums over all cases, for the closing figure.
struct Totals {
  int kills = 0, mid_run = 0, partial = 0, tmp_left = 0;
};
Totals g_totals;

class CrashTest : public TokenStoreTest, public ::testing::WithParamInterface<CrashCase> {
 protected:
  CrashTest() {
    // A killed process loses nothing the kernel already holds, so fsync plays no
    // part in what is proved here; on a disk it would cost ~10 ms per save.
    platform().fsync = [](int) { return 0; };
  }

  bool tmp_exists(const CrashCase& c) const {
    for (const char* s : c.stores) {
      if (TempDataDir::exists(path_of(s) + ".tmp")) return true;
    }
    return false;
  }

  bool corrupt_kept() const {
    bool found = false;
    if (DIR* d = ::opendir(dir.data_dir().c_str())) {
      while (dirent* e = ::readdir(d))
        found |= std::string(e->d_name).find(".corrupt-") != std::string::npos;
      ::closedir(d);
    }
    return found;
  }
};

// Runs change(k), change(k + 1), ... up to the limit in a child that writes one
// byte before its loop and one after each completed change. Kills it after the
// delay, counted from the start or from its first byte. Returns the number of
// completed changes, or -1 when the child failed instead of being killed.
int run_and_kill(const CrashCase& c, int k, bool from_loop, int delay_us, bool* killed) {
  int prog[2];
  if (::pipe(prog) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(prog[0]);
    if (::write(prog[1], "S", 1) != 1) ::_exit(4);
    for (int i = k; i < c.limit; ++i) {
      if (c.change(i) != 0) ::_exit(3);
      if (::write(prog[1], "c", 1) != 1) ::_exit(4);
    }
    ::_exit(0);
  }
  ::close(prog[1]);
  if (pid < 0) {
    ::close(prog[0]);
    return -1;
  }
  char ch;
  if (from_loop) (void)!::read(prog[0], &ch, 1);
  timespec ts{0, static_cast<long>(delay_us) * 1000};
  ::nanosleep(&ts, nullptr);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  int done = 0;
  while (::read(prog[0], &ch, 1) == 1) done += ch == 'c';
  ::close(prog[0]);
  *killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return *killed || finished ? done : -1;
}

TEST_P(CrashTest, KilledChangesLeaveAWholeStoreAndAFreeLock) {
  const CrashCase& c = GetParam();
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("random seed " + to_string(seed));
  std::mt19937 rng(seed);
  c.seed();
  int k = 0, kills = 0;
  for (int run = 0; kills < kKillsPerCase && run < 4 * kKillsPerCase; ++run) {
    const bool from_loop = rng() % 4 != 0;
    const int delay_us = static_cast<int>(rng() % (kMaxDelayUs + 1));
    SCOPED_TRACE("run " + to_string(run) + " from k=" + to_string(k) +
                 (from_loop ? " after the loop began, " : " after the start, ") +
                 to_string(delay_us) + " us");
    bool killed = false;
    const int done = run_and_kill(c, k, from_loop, delay_us, &killed);
    ASSERT_GE(done, 0) << "the child's change failed";
    kills += killed;
    g_totals.kills += killed;
    g_totals.mid_run += killed && done > 0;
    g_totals.tmp_left += tmp_exists(c);

    // The store holds the reported changes, or one more whose save came first.
    k += done;
    std::string why, why_next;
    Match m = c.check(k, &why);
    if (m == Match::No && k < c.limit && c.check(k + 1, &why_next) == Match::Exact) {
      ++k;
      m = Match::Exact;
    }
    ASSERT_NE(m, Match::No) << why << " | or " << why_next;
    g_totals.partial += m == Match::Partial;

    // The killed process's descriptor is gone, and with it the lock.
    for (const char* s : c.stores) {
      id_lock l{};
      EXPECT_EQ(id_lock_acquire_wait(&l, s, 0), 0) << s;
      id_lock_release(&l);
    }
    if (m == Match::Exact && k < c.limit) {
      ASSERT_EQ(c.change(k), 0) << "the next change";
      EXPECT_FALSE(tmp_exists(c));
      ++k;
      ASSERT_EQ(c.check(k, &why), Match::Exact) << "after the next change: " << why;
    } else if (m == Match::Partial) {
      // The interrupted change k cannot be told apart from its neighbours any more
      // once the next one lands: make it, then start afresh.
      if (k + 1 < c.limit) {
        ASSERT_EQ(c.change(k + 1), 0) << "the next change";
        EXPECT_FALSE(tmp_exists(c));
      }
      k = c.limit;
    }
    if (k >= c.limit) {
      c.seed();
      k = 0;
    }
  }
  EXPECT_EQ(kills, kKillsPerCase);
  EXPECT_FALSE(corrupt_kept()) << "a store was found unreadable";
}

INSTANTIATE_TEST_SUITE_P(Stores, CrashTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CrashCase>& info) {
                           return std::string(info.param.name);
                         });

// The figure for the README.
class TotalsReport : public ::testing::Environment {
 public:
  void TearDown() override {
    std::printf(
        "crash safety: %d kills survived (%d after at least one completed change, %d "
        "between the saves of one change, %d leaving a temporary file)\n",
        g_totals.kills, g_totals.mid_run, g_totals.partial, g_totals.tmp_left);
  }
};
const auto* const kReport = ::testing::AddGlobalTestEnvironment(new TotalsReport);

}  // namespace
