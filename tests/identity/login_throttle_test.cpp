#include <gtest/gtest.h>
#include <yyjson.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fault.h"
#include "identity_common.h"
#include "store.h"
#include "temp_dir.h"

namespace {

constexpr int64_t kStart = 1700000000;
int64_t g_now = kStart;
int64_t fake_time() { return g_now; }

constexpr const char* kAccounts = "login_attempts.json";
constexpr const char* kAddresses = "login_attempts_ip.json";

std::string num(int64_t v) { return std::to_string(v); }

// The stored account record, members in their stored order.
std::string record(int64_t count, int64_t strikes, int64_t locked_until, int64_t last_ts) {
  return "{\"count\":" + num(count) + ",\"strikes\":" + num(strikes) +
         ",\"locked_until\":" + num(locked_until) + ",\"last_ts\":" + num(last_ts) + "}";
}
std::string event(int64_t ts, const std::string& ip) {
  return "{\"ts\":" + num(ts) + ",\"ip\":\"" + ip + "\"}";
}

class LoginThrottleTest : public TempDataDirTest {
 protected:
  LoginThrottleTest() {
    g_now = kStart;
    seam.ops().time = fake_time;
  }

  void write(const char* store, const std::string& text) const {
    TempDataDir::write_file(dir.path(store), text);
  }
  std::string text(const char* store) const {
    std::string p = dir.path(store);
    return TempDataDir::exists(p) ? TempDataDir::read_file(p) : "(missing)";
  }
  // The store re-written compactly, so that member order and duplicates show.
  std::string json(const char* store) const {
    std::string t = text(store);
    zeb::DocPtr doc(yyjson_read(t.data(), t.size(), 0));
    if (!doc) return "(unreadable) " + t;
    size_t len = 0;
    zeb::JsonText out(yyjson_write(doc.get(), 0, &len), &std::free);
    return std::string(out.get(), len);
  }
  // The stored record of one account, "" when it has none.
  std::string account(const std::string& username) const {
    zeb::DocPtr doc = zeb::store_read(kAccounts);
    yyjson_val* rec = zeb::json_member(doc ? yyjson_doc_get_root(doc.get()) : nullptr,
                                       ("acc_" + username).c_str());
    if (!rec) return "";
    size_t len = 0;
    zeb::JsonText out(yyjson_val_write(rec, 0, &len), &std::free);
    return std::string(out.get(), len);
  }

  // server.log without the time stamps.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    std::string p = dir.path("server.log");
    if (!TempDataDir::exists(p)) return lines;
    std::string log = TempDataDir::read_file(p);
    for (size_t at = 0; at < log.size();) {
      size_t end = log.find('\n', at);
      if (end == std::string::npos) end = log.size();
      lines.push_back(log.size() > at + 20 ? log.substr(at + 20, end - at - 20) : log.substr(at));
      at = end + 1;
    }
    return lines;
  }

  struct Allowed {
    int rc;
    std::string msg;
  };
  static Allowed allowed(const char* username) {
    char msg[128];
    std::memset(msg, 'x', sizeof msg);
    msg[sizeof msg - 1] = '\0';
    int rc = id_login_allowed(username, "unused", msg, sizeof msg);
    return {rc, msg};
  }
  static std::string lock_message(int64_t secs) {
    return "Account temporarily locked after repeated failures. Try again in " + num(secs) + " s.";
  }

  PlatformFault seam;
};

TEST_F(LoginThrottleTest, ThirdFailureLocksForThirtySeconds) {
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    id_login_failed("alice", "10.0.0.1");
    bool locks = i == 3;
    EXPECT_EQ(account("alice"), record(i, i, locks ? g_now + 30 : 0, g_now));
    Allowed a = allowed("alice");
    EXPECT_EQ(a.rc, locks ? 0 : 1);
    EXPECT_EQ(a.msg, locks ? lock_message(30) : "");
    g_now += 1;
  }
  EXPECT_EQ(log_lines(), (std::vector<std::string>{
                             "SECURITY: failed login for 'alice' (attempt=1 strikes=1) ip=10.0.0.1",
                             "SECURITY: failed login for 'alice' (attempt=2 strikes=2) ip=10.0.0.1",
                             "SECURITY: failed login for 'alice' (attempt=3 strikes=3) -> LOCKOUT "
                             "ip=10.0.0.1",
                         }));

  // One second into the lock; the lock ends at the second named by locked_until.
  EXPECT_EQ(allowed("alice").msg, lock_message(29));
  g_now += 28;
  EXPECT_EQ(allowed("alice").msg, lock_message(1));
  g_now += 1;
  EXPECT_EQ(allowed("alice").rc, 1);
}

TEST_F(LoginThrottleTest, MessageBufferIsClearedAndCut) {
  id_login_failed("alice", nullptr);
  id_login_failed("alice", nullptr);
  id_login_failed("alice", nullptr);

  char buf[16];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(id_login_allowed("alice", nullptr, buf, 10), 0);
  EXPECT_STREQ(buf, "Account t");
  EXPECT_EQ(buf[10], '#');
  EXPECT_EQ(id_login_allowed("alice", nullptr, nullptr, 0), 0);
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(id_login_allowed("alice", nullptr, buf, 0), 0);
  EXPECT_EQ(buf[0], '#');

  for (const char* user : {"bob", "", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(user ? user : "(null)");
    Allowed a = allowed(user);
    EXPECT_EQ(a.rc, 1);
    EXPECT_EQ(a.msg, "");
  }
}

// One run of failures, each at least a second after the previous lock ended unless
// said otherwise: the lock doubles from 30 s and stops at 900 s.
TEST_F(LoginThrottleTest, LockoutsEscalateAlongARunAndANewRunStartsAfter600s) {
  struct Step {
    int64_t at;  // seconds after the first failure
    int strikes;
    int64_t lock_left;  // locked_until - now after the failure; 0: locked_until is 0
    const char* why;
  } steps[] = {
      {0, 1, 0, "first"},
      {1, 2, 0, "second"},
      {2, 3, 30, "third locks"},
      {33, 4, 60, ""},
      {94, 5, 120, ""},
      {215, 6, 240, ""},
      {456, 7, 480, ""},
      {937, 8, 900, "30 * 2^5 is capped"},
      {1500, 9, 337, "during the lock: strikes rise, locked_until stays"},
      {1838, 10, 900, "gap 338 after the in-lock failure"},
      {2439, 1, 0, "gap 601 starts a new run and lifts the running lock"},
      {3039, 2, 0, "gap of exactly 600 continues the run"},
      {3040, 3, 30, ""},
      {3070, 4, 60, "at the second the lock ends the account is open: a failure locks again"},
  };
  int64_t locked_until = 0;
  int count = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "at +" << s.at << " " << s.why);
    g_now = kStart + s.at;
    EXPECT_EQ(allowed("alice").rc, locked_until <= g_now ? 1 : 0);
    size_t lines = log_lines().size();

    id_login_failed("alice", "10.0.0.1");
    ++count;
    locked_until = s.lock_left ? g_now + s.lock_left : 0;
    EXPECT_EQ(account("alice"), record(count, s.strikes, locked_until, g_now));
    Allowed a = allowed("alice");
    EXPECT_EQ(a.rc, s.lock_left ? 0 : 1);
    EXPECT_EQ(a.msg, s.lock_left ? lock_message(s.lock_left) : "");

    std::vector<std::string> log = log_lines();
    ASSERT_EQ(log.size(), lines + 1);
    EXPECT_EQ(log.back(), "SECURITY: failed login for 'alice' (attempt=" + num(count) +
                              " strikes=" + num(s.strikes) + ")" +
                              (s.lock_left ? " -> LOCKOUT" : "") + " ip=10.0.0.1");
  }
}

TEST_F(LoginThrottleTest, UpdatedAccountMovesToTheEndAndDuplicatesGo) {
  write(kAccounts, "{\"acc_alice\":" + record(1, 1, 0, kStart - 10) +
                       ",\"acc_bob\":" + record(5, 2, 0, kStart - 20) +
                       ",\"acc_alice\":" + record(9, 9, 0, kStart - 5) + ",\"note\":[1]}");
  id_login_failed("alice", "10.0.0.1");
  // The first of the duplicates is the one that counted.
  EXPECT_EQ(json(kAccounts), "{\"acc_bob\":" + record(5, 2, 0, kStart - 20) +
                                 ",\"note\":[1],\"acc_alice\":" + record(2, 2, 0, kStart) + "}");
  EXPECT_EQ(json(kAddresses), "[" + event(kStart, "10.0.0.1") + "]");
}

// Whatever a hand-edited file holds, a failure gives a well-defined record.
TEST_F(LoginThrottleTest, OddStoredRecordsReadByTheRules) {
  const int64_t k = kStart;
  struct Case {
    const char* why;
    std::string stored;
    std::string after;
    int64_t wait;  // the lock message's seconds afterwards, 0 when allowed
  } cases[] = {
      {"wrong types read as 0", R"({"count":"7","strikes":2.0,"locked_until":null,"last_ts":true})",
       record(1, 1, 0, k), 0},
      {"a record that is no object", "5", record(1, 1, 0, k), 0},
      {"counters saturate",
       record(INT32_MAX, INT32_MAX, 0, k - 1), record(INT32_MAX, INT32_MAX, k + 900, k), 900},
      {"negative strikes", record(-3, -5, 0, k - 1), record(-2, -4, 0, k), 0},
      {"oldest possible last_ts starts a new run",
       R"({"count":4,"strikes":4,"locked_until":)" + num(k + 100) +
           R"(,"last_ts":-9223372036854775808})",
       record(5, 1, 0, k), 0},
      {"the furthest lock shows the cap",
       record(5, 5, INT64_MAX, k - 1), record(6, 6, INT64_MAX, k), 900},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    write(kAccounts, "{\"acc_alice\":" + c.stored + "}");
    id_login_failed("alice", "");
    EXPECT_EQ(account("alice"), c.after);
    Allowed a = allowed("alice");
    EXPECT_EQ(a.rc, c.wait ? 0 : 1);
    EXPECT_EQ(a.msg, c.wait ? lock_message(c.wait) : "");
  }
}

TEST_F(LoginThrottleTest, AccountKeysMatchExactBytes) {
  const std::string locked = record(3, 3, kStart + 100, kStart);
  const std::string others = "{\"acc_Alice\":" + locked + ",\"acc_alic\":" + locked +
                             ",\"acc_alice\\u0000\":" + locked + ",\"acc_alicex\":" + locked;
  write(kAccounts, others + "}");
  EXPECT_EQ(allowed("alice").rc, 1);
  EXPECT_EQ(allowed("Alice").rc, 0);

  id_login_failed("alice", nullptr);
  EXPECT_EQ(json(kAccounts), others + ",\"acc_alice\":" + record(1, 1, 0, kStart) + "}");
  id_login_success("Alice");
  EXPECT_EQ(allowed("Alice").rc, 1);
  EXPECT_EQ(account("alice"), record(1, 1, 0, kStart));
}

TEST_F(LoginThrottleTest, SuccessClearsOnlyTheAccount) {
  for (int i = 0; i < 3; ++i) id_login_failed("alice", "10.0.0.1");
  id_login_failed("bob", "10.0.0.2");
  const std::string addresses = text(kAddresses);
  ASSERT_EQ(allowed("alice").rc, 0);

  id_login_success("alice");
  EXPECT_EQ(allowed("alice").rc, 1);
  EXPECT_EQ(json(kAccounts), "{\"acc_bob\":" + record(1, 1, 0, kStart) + "}");
  EXPECT_EQ(text(kAddresses), addresses);

  id_login_failed("alice", nullptr);
  EXPECT_EQ(account("alice"), record(1, 1, 0, kStart));
}

TEST_F(LoginThrottleTest, SuccessLeavesUnusableStoresAlone) {
  const std::string bob = "{\"acc_bob\":" + record(1, 1, 0, kStart) + "}";
  struct Case {
    const char* why;
    const char* stored;  // null: no file
    bool rewritten;
  } cases[] = {
      {"missing", nullptr, false},
      {"not an object", "[1]", false},
      {"unparsable", "{\"acc_alice\":", false},
      {"no record of alice: still saved", bob.c_str(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::remove(dir.path(kAccounts).c_str());
    if (c.stored) write(kAccounts, c.stored);
    const std::string before = text(kAccounts);
    id_login_success("alice");
    id_login_success("");
    id_login_success(nullptr);
    if (c.rewritten) {
      // Saved pretty-printed, so the text changes while the content does not.
      EXPECT_NE(text(kAccounts), before);
      EXPECT_EQ(json(kAccounts), before);
    } else {
      EXPECT_EQ(text(kAccounts), before);
    }
  }
  EXPECT_FALSE(TempDataDir::exists(dir.path("login_attempts.json.corrupt-" + num(kStart))));
}

TEST_F(LoginThrottleTest, AddressBudgetAndRetryAfter) {
  const char* ip = "10.0.0.1";
  for (int i = 1; i <= 19; ++i) EXPECT_FALSE(id_login_failed_and_throttled("", ip)) << i;
  EXPECT_FALSE(id_login_ip_over_budget(ip));
  EXPECT_EQ(id_login_ip_retry_after(ip), 0);

  EXPECT_TRUE(id_login_failed_and_throttled("", ip));
  EXPECT_EQ(id_login_ip_retry_after(ip), 600);
  // An empty username counts only for the address: no account store, no log line.
  EXPECT_EQ(text(kAccounts), "(missing)");
  EXPECT_TRUE(log_lines().empty());

  for (const char* other : {"10.0.0.10", "10.0.0.", "", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(other ? other : "(null)");
    EXPECT_FALSE(id_login_ip_over_budget(other));
    EXPECT_EQ(id_login_ip_retry_after(other), 0);
  }
  EXPECT_FALSE(id_login_failed_and_throttled("bob", nullptr));

  struct Tick {
    int64_t after;
    bool over;
    int retry;
  } ticks[] = {{250, true, 350}, {599, true, 1}, {600, false, 0}};
  for (const Tick& t : ticks) {
    SCOPED_TRACE(t.after);
    g_now = kStart + t.after;
    EXPECT_EQ(id_login_ip_over_budget(ip), t.over);
    EXPECT_EQ(id_login_ip_retry_after(ip), t.retry);
  }
}

TEST_F(LoginThrottleTest, AddressStoreIsPrunedAtTheNextWrite) {
  const int64_t k = kStart;
  struct Case {
    const char* why;
    std::string stored;
    std::string kept;  // what survives before the new event
  } cases[] = {
      {"old, odd and malformed events go",
       "[" + event(k - 600, "a") + "," + event(k - 599, "a") + R"(,{"ts":"x","ip":"a"},5,)" +
           R"({"ip":"a"},{"ts":1.7e9,"ip":"a"},{"ts":)" + num(k - 1) + R"(,"ip":7,"x":1}])",
       event(k - 599, "a") + ",{\"ts\":" + num(k - 1) + ",\"ip\":7,\"x\":1},"},
      {"a top level of the wrong type", R"({"ts":1})", ""},
      {"unparsable", "[", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    write(kAddresses, c.stored);
    id_login_failed(nullptr, "c");
    EXPECT_EQ(json(kAddresses), "[" + c.kept + event(k, "c") + "]");
  }
}

TEST_F(LoginThrottleTest, AddressCountsOnlyItsOwnEventsInTheWindow) {
  const int64_t k = kStart;
  std::string events = "[";
  for (int i = 0; i < 19; ++i) events += event(k - 10, "a") + ",";
  events += R"({"ts":)" + num(k) + R"(,"ip":"b","ip":"a"},{"ts":)" + num(k) +
            R"(,"ip":["a"]},{"ip":"a"},)" + event(k - 600, "a") + R"(,{"ts":"soon","ip":"a"},)" +
            R"({"ts":1.7e9,"ip":"a"},7,)" + event(k, "a ") + "," + event(k, "A");
  write(kAddresses, events + "]");
  EXPECT_FALSE(id_login_ip_over_budget("a"));
  EXPECT_EQ(id_login_ip_retry_after("a"), 0);

  // The oldest event need not come first in the file.
  write(kAddresses, "[" + event(k - 599, "a") + "," + events.substr(1) + "]");
  EXPECT_TRUE(id_login_ip_over_budget("a"));
  EXPECT_EQ(id_login_ip_retry_after("a"), 1);
  EXPECT_FALSE(id_login_ip_over_budget("b"));
}

// The lock-free readers refuse a file above their limit rather than parse it.
TEST_F(LoginThrottleTest, ReadersRefuseOversizedFiles) {
  const std::string locked = "{\"acc_alice\":" + record(3, 3, kStart + 100, kStart) + "}";
  std::string burst = "[";
  for (int i = 0; i < 20; ++i) burst += (i ? "," : "") + event(kStart, "a");
  burst += "]";
  struct Case {
    const char* store;
    const std::string& json;
    size_t size;
    bool read;
  } cases[] = {
      {kAccounts, locked, 1048576, true},
      {kAccounts, locked, 1048577, false},
      {kAddresses, burst, 1048575, true},
      {kAddresses, burst, 1048576, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.store << " of " << c.size << " bytes");
    std::remove(dir.path(kAccounts).c_str());
    std::remove(dir.path(kAddresses).c_str());
    write(c.store, c.json + std::string(c.size - c.json.size(), ' '));
    if (std::strcmp(c.store, kAccounts) == 0) {
      EXPECT_EQ(allowed("alice").rc, c.read ? 0 : 1);
    } else {
      EXPECT_EQ(id_login_ip_over_budget("a"), c.read);
      EXPECT_EQ(id_login_ip_retry_after("a"), c.read ? 600 : 0);
    }
  }
}

TEST_F(LoginThrottleTest, EachFailureLogsOneLine) {
  struct Case {
    const char* user;
    const char* ip;
    const char* line;  // null: no line
  } cases[] = {
      {"carol", "10.0.0.1", "SECURITY: failed login for 'carol' (attempt=1 strikes=1) ip=10.0.0.1"},
      {"dave", nullptr, "SECURITY: failed login for 'dave' (attempt=1 strikes=1) ip=?"},
      {"erin", "", "SECURITY: failed login for 'erin' (attempt=1 strikes=1) ip="},
      {"mal\nSECURITY: forged", "10.0.0.2",
       "SECURITY: failed login for 'mal\\x0ASECURITY: forged' (attempt=1 strikes=1) ip=10.0.0.2"},
      {"", "10.0.0.3", nullptr},
      {nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user ? c.user : "(null)");
    std::vector<std::string> before = log_lines();
    std::string addresses = text(kAddresses);
    id_login_failed(c.user, c.ip);
    std::vector<std::string> after = log_lines();
    ASSERT_EQ(after.size(), before.size() + (c.line ? 1 : 0));
    if (c.line) {
      EXPECT_EQ(after.back(), c.line);
    }
    // Only a non-empty address is recorded.
    EXPECT_EQ(text(kAddresses) != addresses, c.ip && *c.ip);
  }
  EXPECT_EQ(account("mal\nSECURITY: forged"), record(1, 1, 0, kStart));
}

int rename_fails_for_accounts(const char* from, const char* to) {
  const std::string dest = to;
  const std::string name = "/login_attempts.json";
  if (dest.size() >= name.size() && dest.compare(dest.size() - name.size(), name.size(), name) == 0) {
    errno = EIO;
    return -1;
  }
  return zeb_platform_default.rename(from, to);
}

TEST_F(LoginThrottleTest, FailedAccountSaveLogsNothingButTheAddressCounts) {
  seam.ops().rename = rename_fails_for_accounts;
  id_login_failed("alice", "10.0.0.1");
  EXPECT_EQ(text(kAccounts), "(missing)");
  EXPECT_FALSE(TempDataDir::exists(dir.path("login_attempts.json.tmp")));
  EXPECT_TRUE(log_lines().empty());
  EXPECT_EQ(json(kAddresses), "[" + event(kStart, "10.0.0.1") + "]");
}

TEST_F(LoginThrottleTest, HeldAccountLockRecordsNothingAtAll) {
  seam.ops().sleep_ms = no_sleep;
  id_lock elsewhere;
  ASSERT_EQ(id_lock_acquire_wait(&elsewhere, kAccounts, 0), 0);
  id_login_failed("alice", "10.0.0.1");
  id_lock_release(&elsewhere);
  EXPECT_EQ(text(kAccounts), "(missing)");
  EXPECT_EQ(text(kAddresses), "(missing)");
  EXPECT_TRUE(log_lines().empty());
}

}  // namespace
