#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "identity_common.h"
#include "token_store_fixture.h"

namespace {

constexpr int64_t kLifetime = 2419200;
const std::string kExpires = std::to_string(kNow + kLifetime);

class RefreshTest : public TokenStoreTest {
 protected:
  std::string create(const char* user_id = "usr_1", const char* client_id = "client_a") {
    char token[256] = "";
    EXPECT_EQ(
        id_refresh_token_create(user_id, "alice", client_id, "openid email", token, sizeof token),
        0);
    return token;
  }
  std::string rotate(const std::string& token, int expect = 0, const char* client_id = nullptr) {
    char next[256] = "";
    EXPECT_EQ(id_refresh_token_rotate(token.c_str(), client_id, next, sizeof next, nullptr),
              expect);
    return next;
  }
  // A store holding exactly these refresh records (JSON texts) and rotated entries.
  void write_refresh(const std::string& records, const std::string& rotated = "") {
    write_store(R"({"sessions":{},"auth_codes":{},"refresh":[)" + records + "]" +
                (rotated.empty() ? "" : R"(,"rotated":[)" + rotated + "]") + "}");
  }
  bool live(const std::string& token) { return id_refresh_token_find(token.c_str(), nullptr); }
};

struct CreateCase {
  const char* name;
  const char* user_id;
  const char* username;
  const char* client_id;
  const char* scope;
  const char* members;  // the record's members after "token"
};

TEST_F(RefreshTest, CreateWritesTheRecord) {
  const CreateCase cases[] = {
      {"all given", "usr_1", "alice", "client_a", "openid email",
       R"("user_id":"usr_1","username":"alice","client_id":"client_a","scope":"openid email")"},
      {"no user", nullptr, nullptr, nullptr, nullptr,
       R"("username":"","client_id":"","scope":"openid profile")"},
      {"empty user and scope", "", "", "", "",
       R"("user_id":"","username":"","client_id":"","scope":"openid profile")"},
  };
  for (const CreateCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(store_path().c_str());
    char token[256];
    ASSERT_EQ(
        id_refresh_token_create(c.user_id, c.username, c.client_id, c.scope, token, sizeof token),
        0);
    std::string t = token;
    ASSERT_EQ(t.size(), 46u);
    EXPECT_EQ(t.substr(0, 3), "rt_");
    EXPECT_EQ(store_json("refresh"), "[{\"token\":\"" + t + "\"," + c.members + ",\"family\":\"" +
                                         t + "\",\"expires_at\":" + kExpires + "}]");
  }
  // Records are appended; a null out buffer is allowed.
  EXPECT_EQ(id_refresh_token_create("u", "n", "c", "s", nullptr, 0), 0);
  EXPECT_NE(store_json("refresh").find(R"("user_id":"u")"), std::string::npos);
  EXPECT_EQ(store_json("rotated"), "");
}

TEST_F(RefreshTest, RotationChainKeepsFamilyAndRecordsRetiredTokens) {
  std::string t0 = create();
  g_fake_now = kNow + 100;
  char t1[256] = "";
  id_refresh_record rec;
  std::memset(&rec, 'X', sizeof rec);
  ASSERT_EQ(id_refresh_token_rotate(t0.c_str(), "client_a", t1, sizeof t1, &rec), 0);
  EXPECT_STREQ(rec.token, t1);
  EXPECT_STREQ(rec.user_id, "usr_1");
  EXPECT_STREQ(rec.username, "alice");
  EXPECT_STREQ(rec.client_id, "client_a");
  EXPECT_STREQ(rec.scope, "openid email");
  EXPECT_EQ(rec.family, t0);
  EXPECT_EQ(rec.expires_at, kNow + 100 + kLifetime);

  std::string t2 = rotate(t1);
  ASSERT_EQ(t2.size(), 46u);
  EXPECT_NE(t2, t1);
  EXPECT_EQ(store_json("refresh"),
            "[{\"token\":\"" + t2 +
                R"(","user_id":"usr_1","username":"alice",)"
                R"("client_id":"client_a","scope":"openid email","family":")" +
                t0 + "\",\"expires_at\":" + std::to_string(kNow + 100 + kLifetime) + "}]");
  EXPECT_EQ(store_json("rotated"), "[{\"token\":\"" + t0 + "\",\"family\":\"" + t0 +
                                       "\"},{\"token\":\"" + t1 + "\",\"family\":\"" + t0 + "\"}]");
  // "rotated" is added after the members that were there.
  EXPECT_EQ(store_text().find("\"rotated\""), store_text().rfind("\"rotated\""));
  EXPECT_GT(store_text().find("\"rotated\""), store_text().find("\"refresh\""));
}

TEST_F(RefreshTest, ReuseOfRetiredTokenRevokesTheFamily) {
  std::string t0 = create();
  std::string other = create("usr_2");
  std::string t1 = rotate(t0);
  std::string t2 = rotate(t1);
  // t1 is presented again: the live successor t2 goes too, other families stay.
  EXPECT_EQ(rotate(t1, -4), "");
  EXPECT_FALSE(live(t2));
  EXPECT_TRUE(live(other));
  // Nothing of the family is left: presenting it again writes nothing.
  expect_same_store(
      [&] {
        EXPECT_EQ(rotate(t1, -1), "");
        EXPECT_EQ(rotate(t0, -1), "");
        EXPECT_EQ(rotate("rt_never_issued", -1), "");
        EXPECT_EQ(id_refresh_token_rotate(nullptr, nullptr, nullptr, 0, nullptr), -1);
        EXPECT_EQ(id_refresh_token_rotate("", nullptr, nullptr, 0, nullptr), -1);
      },
      false);
}

TEST_F(RefreshTest, SecondRotationOfOneTokenRevokesTheFirstsSuccessor) {
  std::string t0 = create();
  std::string t1 = rotate(t0);
  EXPECT_EQ(rotate(t0, -4), "");
  EXPECT_FALSE(live(t1));
}

struct ExpiryCase {
  const char* name;
  const char* expires;  // the record's "expires_at" member, or "" for none
  int result;
};

TEST_F(RefreshTest, ExpiredTokenIsRefusedAndUsedUp) {
  const ExpiryCase cases[] = {
      {"expires this second", R"(,"expires_at":1700000000)", 0},
      {"expired a second ago", R"(,"expires_at":1699999999)", -2},
      {"no expiry", "", -2},
      {"expiry as text", R"(,"expires_at":"1800000000")", -2},
      {"expiry as fraction", R"(,"expires_at":1800000000.0)", -2},
      {"expiry beyond 32 bits", R"(,"expires_at":4294967296)", 0},
  };
  for (const ExpiryCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_refresh(std::string(R"({"token":"rt_a","family":"rt_a")") + c.expires + "}");
    rotate("rt_a", c.result);
    EXPECT_FALSE(live("rt_a"));
    EXPECT_EQ(rotate("rt_a", c.result == 0 ? -4 : -1), "");
  }
}

TEST_F(RefreshTest, ClientMustMatchWhenBothHaveOne) {
  struct {
    const char* name;
    const char* stored;     // the record's client_id
    const char* presented;  // the caller's client_id
    int result;
  } const cases[] = {
      {"same client", "client_a", "client_a", 0},   {"another client", "client_a", "client_b", -3},
      {"case differs", "client_a", "CLIENT_A", -3}, {"caller names none", "client_a", nullptr, 0},
      {"caller passes empty", "client_a", "", 0},   {"record has none", "", "client_b", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(store_path().c_str());
    std::string t = create("usr_1", c.stored);
    std::string next = rotate(t, c.result, c.presented);
    EXPECT_FALSE(live(t));  // used up either way
    EXPECT_EQ(live(next), c.result == 0);
  }
}

TEST_F(RefreshTest, RecordWithoutFamilyIsItsOwnFamily) {
  write_refresh(R"({"token":"rt_a","user_id":"u","expires_at":1800000000},)"
                R"({"token":"rt_b","family":7,"expires_at":1800000000})");
  id_refresh_record rec;
  ASSERT_TRUE(id_refresh_token_find("rt_a", &rec));
  EXPECT_STREQ(rec.family, "rt_a");
  ASSERT_TRUE(id_refresh_token_find("rt_b", &rec));
  EXPECT_STREQ(rec.family, "rt_b");

  std::string next = rotate("rt_a");
  ASSERT_TRUE(id_refresh_token_find(next.c_str(), &rec));
  EXPECT_STREQ(rec.family, "rt_a");
  EXPECT_STREQ(rec.user_id, "u");
  EXPECT_STREQ(rec.scope, "");  // rotation carries the record, not the issue default
  EXPECT_EQ(rotate("rt_a", -4), "");
  EXPECT_FALSE(live(next));
}

TEST_F(RefreshTest, LongMembersArriveCutInTheSuccessor) {
  std::string scope(300, 's');
  write_refresh(R"({"token":"rt_a","scope":")" + scope + R"(","expires_at":1800000000})");
  id_refresh_record rec;
  rotate("rt_a");
  ASSERT_TRUE(id_refresh_token_find(store_json("refresh").substr(11, 46).c_str(), &rec));
  EXPECT_EQ(std::string(rec.scope), scope.substr(0, 255));
  EXPECT_NE(store_json("refresh").find("\"scope\":\"" + scope.substr(0, 255) + "\""),
            std::string::npos);
  EXPECT_EQ(store_json("refresh").find(scope.substr(0, 256)), std::string::npos);
}

TEST_F(RefreshTest, RotatedKeepsTheNewest1024AndTheFirstTokenStillNamesItsChain) {
  // 1024 older retirements, and a chain whose first token rt_0 has already fallen
  // out of "rotated".
  std::string fillers;
  for (int i = 0; i < 1024; ++i)
    fillers += (i ? "," : "") + std::string(R"({"token":"old_)") + std::to_string(i) +
               R"(","family":"old"})";
  write_refresh(R"({"token":"rt_1","family":"rt_0","expires_at":1800000000})", fillers);

  std::string t2 = rotate("rt_1");
  zeb::DocPtr doc = zeb::store_read("tokens.json");
  yyjson_val* rotated = zeb::json_arr(yyjson_doc_get_root(doc.get()), "rotated");
  ASSERT_EQ(yyjson_arr_size(rotated), 1024u);
  EXPECT_STREQ(zeb::json_str(yyjson_arr_get_first(rotated), "token"), "old_1");
  EXPECT_EQ(compact(yyjson_arr_get_last(rotated)), R"({"token":"rt_1","family":"rt_0"})");

  EXPECT_EQ(rotate("rt_0", -4), "");
  EXPECT_FALSE(live(t2));
  EXPECT_EQ(rotate("old_0", -1), "");  // forgotten, and no live record is its family
}

TEST_F(RefreshTest, RevokeRemovesOneRecord) {
  std::string a = create(), b = create();
  EXPECT_EQ(id_refresh_token_revoke(a.c_str()), 0);
  EXPECT_FALSE(live(a));
  EXPECT_TRUE(live(b));
  expect_same_store(
      [&] {
        EXPECT_EQ(id_refresh_token_revoke(a.c_str()), -1);
        EXPECT_EQ(id_refresh_token_revoke(nullptr), -1);
        EXPECT_EQ(id_refresh_token_revoke(""), -1);
      },
      false);

  write_refresh(R"({"token":"rt_a","n":1},"rt_a",{"token":"rt_a","n":2})");
  EXPECT_EQ(id_refresh_token_revoke("rt_a"), 0);
  EXPECT_EQ(store_json("refresh"), R"(["rt_a",{"token":"rt_a","n":2}])");
}

TEST_F(RefreshTest, RevokeByUserRemovesEveryTokenOfThatUserOnly) {
  write_refresh(R"({"token":"a","user_id":"u1"},{"token":"b","user_id":"u2"},)"
                R"({"token":"c"},{"token":"d","user_id":"u1"},{"token":"e","user_id":1},)"
                R"({"token":"f","user_id":"U1"},"u1")",
                R"({"token":"x","family":"a"})");
  EXPECT_EQ(id_refresh_token_revoke_by_user("u1"), 0);
  EXPECT_EQ(store_json("refresh"),
            R"([{"token":"b","user_id":"u2"},{"token":"c"},{"token":"e","user_id":1},)"
            R"({"token":"f","user_id":"U1"},"u1"])");
  EXPECT_EQ(store_json("rotated"), R"([{"token":"x","family":"a"}])");

  // A user without tokens: the store is saved anew with the same content.
  expect_same_store([] { EXPECT_EQ(id_refresh_token_revoke_by_user("nobody"), 0); }, true);
  expect_same_store(
      [] {
        EXPECT_EQ(id_refresh_token_revoke_by_user(nullptr), -1);
        EXPECT_EQ(id_refresh_token_revoke_by_user(""), -1);
      },
      false);
}

TEST_F(RefreshTest, FindReportsExpiredRecordsAndClearsTheOutRecordFirst) {
  write_refresh(R"(7,{"token":1},{"token":"rt_a","user_id":"u","username":5,"client_id":"c",)"
                R"("scope":"s","family":"f","expires_at":12},{"token":"rt_a","user_id":"second"})");
  id_refresh_record rec;
  std::memset(&rec, 'X', sizeof rec);
  ASSERT_TRUE(id_refresh_token_find("rt_a", &rec));
  EXPECT_STREQ(rec.token, "rt_a");
  EXPECT_STREQ(rec.user_id, "u");
  EXPECT_STREQ(rec.username, "");
  EXPECT_STREQ(rec.client_id, "c");
  EXPECT_STREQ(rec.scope, "s");
  EXPECT_STREQ(rec.family, "f");
  EXPECT_EQ(rec.expires_at, 12);
  EXPECT_EQ(rec.username[200], '\0');  // cleared whole, not only terminated

  std::memset(&rec, 'X', sizeof rec);
  EXPECT_FALSE(id_refresh_token_find("rt_b", &rec));
  EXPECT_FALSE(id_refresh_token_find("1", &rec));
  EXPECT_FALSE(id_refresh_token_find("", &rec));
  EXPECT_FALSE(id_refresh_token_find(nullptr, &rec));
  EXPECT_EQ(rec.token[0], 'X');
  std::remove(store_path().c_str());
  EXPECT_FALSE(id_refresh_token_find("rt_a", &rec));
}

struct FamilyCase {
  const char* name;
  const char* token;
  const char* client_id;
  int removed;
  const char* left;  // tokens of the records that stay
};

TEST_F(RefreshTest, RevokeFamilyByAnyTokenOfIt) {
  const FamilyCase cases[] = {
      {"live token", "rt_2", nullptr, 2, "rt_x"},
      {"retired token", "rt_1", nullptr, 2, "rt_x"},
      {"first token", "rt_0", nullptr, 2, "rt_x"},
      {"a client of the family", "rt_2", "client_a", 2, "rt_x"},
      {"another client", "rt_2", "client_x", 0, "rt_2 rt_3 rt_x"},
      {"empty client counts as none", "rt_1", "", 2, "rt_x"},
      {"unknown token", "rt_9", nullptr, 0, "rt_2 rt_3 rt_x"},
      {"null token", nullptr, nullptr, 0, "rt_2 rt_3 rt_x"},
  };
  for (const FamilyCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_refresh(R"({"token":"rt_2","client_id":"client_a","family":"rt_0"},)"
                  R"({"token":"rt_3","client_id":"","family":"rt_0"},)"
                  R"({"token":"rt_x","client_id":"client_x","family":"rt_x"})",
                  R"({"token":"rt_0","family":"rt_0"},{"token":"rt_1","family":"rt_0"})");
    EXPECT_EQ(id_refresh_token_revoke_family(c.token, c.client_id), c.removed);
    std::string left;
    for (const char* t : {"rt_2", "rt_3", "rt_x"})
      if (live(t)) left += (left.empty() ? "" : " ") + std::string(t);
    EXPECT_EQ(left, c.left);
  }
}

TEST_F(RefreshTest, FailedSaveHandsOutNothingAndKeepsTheStore) {
  std::string t = create();
  char out[64];
  std::memset(out, 'X', sizeof out);
  id_refresh_record rec;
  std::memset(&rec, 'X', sizeof rec);
  expect_same_store(
      [&] {
        platform().rename = fail_rename;
        EXPECT_EQ(id_refresh_token_create("u", "n", "c", "s", out, sizeof out), -1);
        EXPECT_EQ(id_refresh_token_rotate(t.c_str(), nullptr, out, sizeof out, &rec), -1);
        EXPECT_EQ(id_refresh_token_revoke(t.c_str()), -1);
        EXPECT_EQ(id_refresh_token_revoke_by_user("usr_1"), -1);
        EXPECT_EQ(id_refresh_token_revoke_family(t.c_str(), nullptr), 0);
        EXPECT_FALSE(TempDataDir::exists(store_path() + ".tmp"));
        platform().rename = zeb_platform_default.rename;

        // Without random bytes nothing is issued, and the presented token stays live.
        platform().getrandom = fail_getrandom;
        EXPECT_EQ(id_refresh_token_create("u", "n", "c", "s", out, sizeof out), -1);
        EXPECT_EQ(id_refresh_token_rotate(t.c_str(), nullptr, out, sizeof out, &rec), -1);
        platform().getrandom = zeb_platform_default.getrandom;
      },
      false);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'X'));
  EXPECT_EQ(rec.token[0], 'X');
  EXPECT_EQ(rotate(t).size(), 46u);
}

TEST_F(RefreshTest, RefusalsStandWhenTheirRemovalCannotBeSaved) {
  write_refresh(R"({"token":"rt_old","expires_at":1},)"
                R"({"token":"rt_c","client_id":"client_a","expires_at":1800000000},)"
                R"({"token":"rt_1","family":"rt_0","expires_at":1800000000})");
  platform().rename = fail_rename;
  EXPECT_EQ(rotate("rt_old", -2), "");
  EXPECT_EQ(rotate("rt_c", -3, "client_b"), "");
  EXPECT_EQ(rotate("rt_0", -4), "");
}

TEST_F(RefreshTest, UnusableRefreshArrayTakesNoTokens) {
  write_store(R"({"refresh":{"token":"rt_a"}})");
  char out[64] = "untouched";
  expect_same_store(
      [&] {
        EXPECT_EQ(id_refresh_token_create("u", "n", "c", "s", out, sizeof out), -1);
        EXPECT_EQ(rotate("rt_a", -1), "");
        EXPECT_EQ(id_refresh_token_revoke("rt_a"), -1);
        EXPECT_EQ(id_refresh_token_revoke_family("rt_a", nullptr), 0);
      },
      false);
  EXPECT_STREQ(out, "untouched");
  EXPECT_FALSE(live("rt_a"));
}

// Two processes rotate one token at the same moment: the store lock lets exactly
// one succeed, and the other then finds the token retired and revokes the family,
// the winner's successor included.
TEST_F(RefreshTest, ConcurrentRotationsOfOneTokenLetOneWin) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    std::remove(store_path().c_str());
    std::string t = create();
    std::vector<int> results = run_at_once(
        2, [&](int) { return id_refresh_token_rotate(t.c_str(), nullptr, nullptr, 0, nullptr); });
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ((results[0] == 0) + (results[1] == 0), 1);
    EXPECT_EQ(results[0] + results[1], -4);
    EXPECT_EQ(store_json("refresh"), "[]");
    EXPECT_EQ(store_json("rotated"), "[{\"token\":\"" + t + "\",\"family\":\"" + t + "\"}]");
  }
}

// Many sign-outs at once, each revoking its own user's tokens: no process may save
// an older copy over another's revocation.
TEST_F(RefreshTest, ConcurrentRevocationsLoseNothing) {
  constexpr int kProcs = 32;
  for (int i = 0; i < kProcs; ++i) {
    create(("u" + std::to_string(i)).c_str());
    create(("u" + std::to_string(i)).c_str());
  }
  std::string bystander = create("other");
  std::vector<int> results = run_at_once(kProcs, [](int i) {
    return id_refresh_token_revoke_by_user(("u" + std::to_string(i)).c_str());
  });
  EXPECT_EQ(results, std::vector<int>(kProcs, 0));
  zeb::DocPtr doc = zeb::store_read("tokens.json");
  yyjson_val* refresh = zeb::json_arr(yyjson_doc_get_root(doc.get()), "refresh");
  ASSERT_EQ(yyjson_arr_size(refresh), 1u);
  EXPECT_EQ(zeb::json_str(yyjson_arr_get_first(refresh), "token"), bystander);
}

}  // namespace
