#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "identity_common.h"
#include "run_program.h"
#include "token_store_fixture.h"

namespace {

class SessionTest : public TokenStoreTest {
 protected:
  std::string create(const char* user_id, const char* username) {
    char sid[256] = "";
    EXPECT_EQ(id_session_create(user_id, username, sid, sizeof sid), 0);
    return sid;
  }
};

TEST_F(SessionTest, CreateStoresRecordThatVerifies) {
  std::string sid = create("usr_1", "alice");
  ASSERT_EQ(sid.size(), 37u);
  EXPECT_EQ(sid.substr(0, 5), "sess_");
  EXPECT_EQ(store_json("sessions"), "{\"" + sid +
                                        R"(":{"user_id":"usr_1","username":"alice",)"
                                        R"("created_at":1700000000,"expires_at":1700086400}})");
  char user[256] = "", name[256] = "";
  EXPECT_TRUE(id_session_verify(sid.c_str(), user, sizeof user, name, sizeof name));
  EXPECT_STREQ(user, "usr_1");
  EXPECT_STREQ(name, "alice");
  EXPECT_TRUE(id_session_verify(sid.c_str(), nullptr, 0, nullptr, 0));
  EXPECT_NE(create("usr_1", "alice"), sid);
}

TEST_F(SessionTest, NullMembersAreLeftOutAndLeaveOutBuffersAlone) {
  std::string sid = create(nullptr, nullptr);
  EXPECT_EQ(store_json("sessions"),
            "{\"" + sid + R"(":{"created_at":1700000000,"expires_at":1700086400}})");
  char user[16] = "untouched", name[16] = "untouched";
  EXPECT_TRUE(id_session_verify(sid.c_str(), user, sizeof user, name, sizeof name));
  EXPECT_STREQ(user, "untouched");
  EXPECT_STREQ(name, "untouched");
  // An empty user id is a member all the same.
  std::string empty = create("", "bob");
  EXPECT_TRUE(id_session_verify(empty.c_str(), user, sizeof user, name, sizeof name));
  EXPECT_STREQ(user, "");
  EXPECT_STREQ(name, "bob");
}

TEST_F(SessionTest, GoodThroughTheSecondOfExpiry) {
  std::string sid = create("u", "n");
  g_fake_now = kNow + 86400;
  EXPECT_TRUE(id_session_verify(sid.c_str(), nullptr, 0, nullptr, 0));
  g_fake_now = kNow + 86401;
  EXPECT_FALSE(id_session_verify(sid.c_str(), nullptr, 0, nullptr, 0));
  // Expired sessions stay until deleted.
  EXPECT_NE(store_json("sessions").find(sid), std::string::npos);
}

struct VerifyCase {
  const char* name;
  const char* store;  // null: no tokens.json
  const char* sid;
  bool valid;
  const char* user;  // what the user id buffer holds afterwards
};

TEST_F(SessionTest, VerifyReadsStoredRecordsByTheRules) {
  const VerifyCase cases[] = {
      {"found", R"({"sessions":{"s":{"user_id":"u","expires_at":1700000000}}})", "s", true, "u"},
      {"null id", R"({"sessions":{"s":{"expires_at":1800000000}}})", nullptr, false, "-"},
      {"empty id", R"({"sessions":{"":{"expires_at":1800000000}}})", "", false, "-"},
      {"no file", nullptr, "s", false, "-"},
      {"invalid json", R"({"sessions":{"s":)", "s", false, "-"},
      {"root array", R"([{"sessions":{"s":{"expires_at":1800000000}}}])", "s", false, "-"},
      {"sessions array", R"({"sessions":[{"s":{"expires_at":1800000000}}]})", "s", false, "-"},
      {"record not object", R"({"sessions":{"s":"x"}})", "s", false, "-"},
      {"expiry missing", R"({"sessions":{"s":{"user_id":"u"}}})", "s", false, "-"},
      {"expiry string", R"({"sessions":{"s":{"expires_at":"1800000000"}}})", "s", false, "-"},
      {"expiry fraction", R"({"sessions":{"s":{"expires_at":1800000000.5}}})", "s", false, "-"},
      {"expiry beyond 32 bits", R"({"sessions":{"s":{"expires_at":4294967296}}})", "s", true, "-"},
      {"prefix is not the id", R"({"sessions":{"sess":{"expires_at":1800000000}}})", "s", false,
       "-"},
      {"id is not a prefix", R"({"sessions":{"s":{"expires_at":1800000000}}})", "ss", false, "-"},
      {"first of duplicate ids counts",
       R"({"sessions":{"s":{"expires_at":1},"s":{"user_id":"u","expires_at":1800000000}}})", "s",
       false, "-"},
      {"first of duplicate members counts",
       R"({"sessions":{"s":{"user_id":"a","user_id":"b","expires_at":1800000000}}})", "s", true,
       "a"},
      {"non-string user id reads empty",
       R"({"sessions":{"s":{"user_id":7,"expires_at":1800000000}}})", "s", true, ""},
  };
  for (const VerifyCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.store) write_store(c.store);
    char user[16] = "-";
    EXPECT_EQ(id_session_verify(c.sid, user, sizeof user, nullptr, 0), c.valid);
    EXPECT_STREQ(user, c.user);
    std::remove(store_path().c_str());
  }
}

TEST_F(SessionTest, CreateWithUnusableSessionsFailsAndWritesNothing) {
  write_store(R"({"sessions":"x"})");
  const std::string before = store_json();
  char sid[64] = "untouched";
  EXPECT_EQ(id_session_create("u", "n", sid, sizeof sid), -1);
  EXPECT_STREQ(sid, "untouched");
  EXPECT_EQ(store_json(), before);
}

TEST_F(SessionTest, DeleteRemovesOnlyThatSession) {
  std::string a = create("u", "n"), b = create("u", "n");
  EXPECT_EQ(id_session_delete(a.c_str()), 0);
  EXPECT_FALSE(id_session_verify(a.c_str(), nullptr, 0, nullptr, 0));
  EXPECT_TRUE(id_session_verify(b.c_str(), nullptr, 0, nullptr, 0));

  // An unknown id still saves the store, unchanged.
  expect_same_store([] { EXPECT_EQ(id_session_delete("sess_unknown"), 0); }, true);
  expect_same_store(
      [] {
        EXPECT_EQ(id_session_delete(nullptr), -1);
        EXPECT_EQ(id_session_delete(""), -1);
      },
      false);
}

TEST_F(SessionTest, DeleteRemovesEveryMemberOfThatName) {
  write_store(R"({"sessions":{"s":{"n":1},"t":{"n":2},"s":{"n":3}}})");
  EXPECT_EQ(id_session_delete("s"), 0);
  EXPECT_EQ(store_json("sessions"), R"({"t":{"n":2}})");
}

TEST_F(SessionTest, DeleteByUserRemovesEverySessionOfThatUserOnly) {
  write_store(R"({"sessions":{)"
              R"("a":{"user_id":"u1","expires_at":1},)"
              R"("b":{"user_id":"u2"},)"
              R"("c":{"user_id":"u1","expires_at":1800000000},)"
              R"("d":{"username":"u1"},)"
              R"("e":{"user_id":1},)"
              R"("f":{"user_id":"u11"},)"
              R"("g":{"user_id":"u2","user_id":"u1"},)"
              R"("h":{"user_id":"u1","user_id":"u2"},)"
              R"("i":"u1"}})");
  EXPECT_EQ(id_session_delete_by_user("u1"), 0);
  EXPECT_EQ(store_json("sessions"),
            R"({"b":{"user_id":"u2"},"d":{"username":"u1"},"e":{"user_id":1},)"
            R"("f":{"user_id":"u11"},"g":{"user_id":"u2","user_id":"u1"},"i":"u1"})");
  EXPECT_EQ(id_session_delete_by_user(nullptr), -1);
  EXPECT_EQ(id_session_delete_by_user(""), -1);
}

TEST_F(SessionTest, FailedSaveHandsOutNoIdAndKeepsTheStore) {
  std::string kept = create("u", "n");
  char out[64];
  std::memset(out, 'X', sizeof out);
  expect_same_store(
      [&] {
        platform().rename = fail_rename;
        EXPECT_EQ(id_session_create("u", "n", out, sizeof out), -1);
        EXPECT_EQ(id_session_delete(kept.c_str()), -1);
        EXPECT_EQ(id_session_delete_by_user("u"), -1);
        EXPECT_FALSE(TempDataDir::exists(store_path() + ".tmp"));
        platform().rename = zeb_platform_default.rename;

        platform().getrandom = fail_getrandom;
        EXPECT_EQ(id_session_create("u", "n", out, sizeof out), -1);
      },
      false);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'X'));
}

// Many sign-outs at once: each process deletes its own session under contention,
// and no deletion may be lost by another process saving an older copy.
TEST_F(SessionTest, ConcurrentDeletesLoseNothing) {
  constexpr int kProcs = 32;
  std::vector<std::string> sids;
  for (int i = 0; i < kProcs; ++i) sids.push_back(create(("u" + std::to_string(i)).c_str(), "n"));
  std::string bystander = create("other", "n");
  std::vector<int> results =
      run_at_once(kProcs, [&](int i) { return id_session_delete(sids[i].c_str()); });
  EXPECT_EQ(results, std::vector<int>(kProcs, 0));
  std::string sessions = store_json("sessions");
  for (const std::string& sid : sids) EXPECT_EQ(sessions.find(sid), std::string::npos) << sid;
  EXPECT_TRUE(id_session_verify(bystander.c_str(), nullptr, 0, nullptr, 0));
}

struct CookieCase {
  const char* name;
  const char* header;  // null: HTTP_COOKIE unset
  size_t cap;
  bool found;
  const char* out;  // "#" means untouched
};

TEST(SessionCookie, ReadsTheFirstIdSessionCookie) {
  const CookieCase cases[] = {
      {"among others", "a=1; id_session=sess_x; b=2", 64, true, "sess_x"},
      {"alone", "id_session=sess_x", 64, true, "sess_x"},
      {"no blank after semicolon", "a=1;id_session=v", 64, true, "v"},
      {"leading blanks and semicolons", " ;; id_session=v", 64, true, "v"},
      {"first empty ends the search", "id_session=; id_session=sess_y", 64, false, ""},
      {"empty at the end", "a=1; id_session=", 64, false, ""},
      {"longer name", "xid_session=sess_x", 64, false, "#"},
      {"name is case-sensitive", "ID_SESSION=sess_x", 64, false, "#"},
      {"inside another value", "a=id_session=v", 64, false, "#"},
      {"tab is not skipped", "\tid_session=v", 64, false, "#"},
      {"value kept as sent", "id_session=\"a%20b c\" ; x=1", 64, true, "\"a%20b c\" "},
      {"cut to capacity", "id_session=abcdefgh", 5, true, "abcd"},
      {"capacity one", "id_session=abcdefgh", 1, false, ""},
      {"no cookie", "a=1; b=2", 64, false, "#"},
      {"empty header", "", 64, false, "#"},
      {"unset", nullptr, 64, false, "#"},
  };
  for (const CookieCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv env("HTTP_COOKIE", c.header ? std::optional<std::string>(c.header) : std::nullopt);
    char out[72];
    std::memset(out, '#', sizeof out);
    out[1] = '\0';
    EXPECT_EQ(id_get_cookie_session(out, c.cap), c.found);
    EXPECT_STREQ(out, c.out);
    EXPECT_EQ(out[c.cap + 1], '#');  // nothing written past the capacity
  }
}

struct SecureCase {
  const char* name;
  const char* proto;     // HTTP_X_FORWARDED_PROTO, null: unset
  const char* base_url;  // IDENTITY_BASE_URL, null: unset
  bool secure;
};

// The exact header line id_set_session_cookie writes, from a child process with
// the given request environment.
std::string cookie_line(const SecureCase& c, const char* value, int max_age, bool clear = false) {
  ProgramResult r = run_in_child([&] {
    ScopedEnv proto("HTTP_X_FORWARDED_PROTO",
                    c.proto ? std::optional<std::string>(c.proto) : std::nullopt);
    ScopedEnv base("IDENTITY_BASE_URL",
                   c.base_url ? std::optional<std::string>(c.base_url) : std::nullopt);
    ScopedEnv host("HTTP_HOST", std::nullopt);
    if (clear) {
      id_clear_session_cookie();
    } else {
      id_set_session_cookie(value, max_age);
    }
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0);
  return r.out;
}

TEST(SessionCookie, SecureWhenTheRequestCameOverHttps) {
  const SecureCase cases[] = {
      {"plain", nullptr, nullptr, false},
      {"proxy https", "https", nullptr, true},
      {"proxy HTTPS", "HTTPS", nullptr, true},
      {"proxy HtTpS", "HtTpS", nullptr, true},
      {"proxy http", "http", nullptr, false},
      {"proxy https with blank", "https ", nullptr, false},
      {"https base url", nullptr, "https://id.test", true},
      {"proxy http, https base url", "http", "https://id.test", true},
      {"base url scheme is case-sensitive", nullptr, "HTTPS://id.test", false},
      {"http base url", nullptr, "http://id.test", false},
  };
  TempDataDir dir;
  for (const SecureCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string attrs = "; Path=/; HttpOnly; SameSite=Lax; Max-Age=";
    std::string secure = c.secure ? "; Secure" : "";
    EXPECT_EQ(cookie_line(c, "sess_abc", 3600),
              "Set-Cookie: id_session=sess_abc" + attrs + "3600" + secure + "\r\n");
    EXPECT_EQ(cookie_line(c, nullptr, 0, true),
              "Set-Cookie: id_session=" + attrs + "0" + secure + "\r\n");
  }
  EXPECT_EQ(cookie_line(cases[0], nullptr, -1),
            "Set-Cookie: id_session=; Path=/; HttpOnly; SameSite=Lax; Max-Age=-1\r\n");
}

TEST(SessionCookie, SecureOnlyWhenItFitsTheLine) {
  TempDataDir dir;
  const SecureCase https{"https", "https", nullptr, true};
  const std::string head = "Set-Cookie: id_session=";
  const std::string tail = "; Path=/; HttpOnly; SameSite=Lax; Max-Age=0";
  // A value that makes the line 589 bytes still gets "; Secure"; one byte more does not.
  std::string fits(589 - head.size() - tail.size(), 'v');
  EXPECT_EQ(cookie_line(https, fits.c_str(), 0), head + fits + tail + "; Secure\r\n");
  std::string over = fits + "v";
  EXPECT_EQ(cookie_line(https, over.c_str(), 0), head + over + tail + "\r\n");
  // A value too long for the line is cut at 599 bytes.
  std::string huge(700, 'v');
  EXPECT_EQ(cookie_line(https, huge.c_str(), 0), (head + huge).substr(0, 599) + "\r\n");
}

}  // namespace
