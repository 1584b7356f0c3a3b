#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "identity_common.h"
#include "token_store_fixture.h"

namespace {

constexpr char kEmpty[] = R"({"sessions":[],"refresh":[],"rotated":[]})";

// 46 characters, as issued.
#define RT "rt_0123456789abcdefghijklmnopqrstuvwxyzABCDEFG"

// One of each shape the listing meets: records of several users and none, members
// of the wrong types, duplicates, non-objects, an expired token.
constexpr char kStore[] = R"({
  "sessions": {
    "s1": {"user_id": "u1", "username": "alice", "created_at": 100, "expires_at": 200},
    "s2": "not an object",
    "s3": {"username": "nobody", "created_at": "x"},
    "s4": {"user_id": 7, "expires_at": 1.5, "extra": true},
    "s5": {"user_id": "u2", "created_at": 1, "expires_at": 2},
    "s6": {"user_id": "u1", "user_id": "u2", "expires_at": -5}
  },
  "auth_codes": {"c": {"user_id": "u1"}},
  "refresh": [
    {"token": ")" RT R"(", "user_id": "u1", "username": "alice", "client_id": "client_a",
     "scope": "openid", "family": "f", "expires_at": 1},
    {"token": "abcdefghijkl", "user_id": "u2", "expires_at": "soon"},
    {"token": "abcdefghijklm", "client_id": "c"},
    {"token": 5, "user_id": "u1", "scope": 7},
    "rt_string",
    {"token": "", "user_id": "u1", "expires_at": 4294967296}
  ],
  "rotated": [{"token": "rt_a", "family": "rt_0"}, 3, {"token": "rt_b", "family": null}]
})";

const std::string kSessionsU1 =
    R"({"session_id":"s1","user_id":"u1","username":"alice","created_at":100,"expires_at":200})";
const std::string kSessionU1Dup = R"({"session_id":"s6","user_id":"u1","expires_at":-5})";
const std::string kRefreshU1 =
    R"({"token":")" RT R"(","token_masked":"rt_012...BCDEFG","user_id":"u1","username":"alice",)"
    R"("client_id":"client_a","scope":"openid","expires_at":1})";
const std::string kRefreshU1Odd = R"({"user_id":"u1"})";
const std::string kRefreshU1Empty =
    R"({"token":"","token_masked":"********","user_id":"u1","expires_at":4294967296})";
const std::string kRotated = R"("rotated":[{"token":"rt_a","family":"rt_0"},{},{"token":"rt_b"}])";

class TokenListingTest : public TokenStoreTest {
 protected:
  static std::string list(const char* user_id) {
    char* text = id_refresh_token_list_json_scoped(user_id);
    std::string s = text ? text : "(null)";
    std::free(text);
    return s;
  }
};

TEST_F(TokenListingTest, MissingOrUnusableStoreListsThreeEmptyArrays) {
  EXPECT_EQ(list(nullptr), kEmpty);
  EXPECT_EQ(list("u1"), kEmpty);
  for (const char* store : {"", "{\"sessions\":", "[]", "\"x\"", "{}",
                            R"({"sessions":[],"refresh":{},"rotated":"x"})"}) {
    SCOPED_TRACE(store);
    write_store(store);
    EXPECT_EQ(list(nullptr), kEmpty);
  }
  EXPECT_FALSE(TempDataDir::exists(store_path() + ".lock"));  // a read takes no lock
}

TEST_F(TokenListingTest, ListsEverythingWithoutAFilter) {
  write_store(kStore);
  const std::string all =
      R"({"sessions":[)" + kSessionsU1 +
      R"(,{"session_id":"s3","username":"nobody","created_at":0},)"
      R"({"session_id":"s4","expires_at":0},)"
      R"({"session_id":"s5","user_id":"u2","created_at":1,"expires_at":2},)" +
      kSessionU1Dup + R"(],"refresh":[)" + kRefreshU1 +
      R"(,{"token":"abcdefghijkl","token_masked":"********","user_id":"u2","expires_at":0},)"
      R"({"token":"abcdefghijklm","token_masked":"abcdef...hijklm","client_id":"c"},)" +
      kRefreshU1Odd + ",{}," + kRefreshU1Empty + "]," + kRotated + "}";
  EXPECT_EQ(list(nullptr), all);
  EXPECT_EQ(list(""), all);
  char* text = id_refresh_token_list_json();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text, all);
  std::free(text);
}

TEST_F(TokenListingTest, FilterKeepsOneUsersRecordsAndEveryRotatedEntry) {
  write_store(kStore);
  EXPECT_EQ(list("u1"), R"({"sessions":[)" + kSessionsU1 + "," + kSessionU1Dup +
                            R"(],"refresh":[)" + kRefreshU1 + "," + kRefreshU1Odd + "," +
                            kRefreshU1Empty + "]," + kRotated + "}");
  EXPECT_EQ(list("U1"), R"({"sessions":[],"refresh":[],)" + kRotated + "}");
  EXPECT_EQ(list("u"), R"({"sessions":[],"refresh":[],)" + kRotated + "}");
}

// Masks count characters, so a token outside ASCII is never cut inside a character
// (which would make the whole listing unwritable).
TEST_F(TokenListingTest, MaskCountsCharactersNotBytes) {
  std::string e12, e13;
  for (int i = 0; i < 12; ++i) e12 += "\u00e9";
  e13 = e12 + "\u00e9";
  write_store(R"({"refresh":[{"token":")" + e12 + R"("},{"token":")" + e13 + R"("},{"token":"a)" +
              e12 + R"("}]})");
  const std::string six = e12.substr(0, 12);
  EXPECT_EQ(list(nullptr), R"({"sessions":[],"refresh":[{"token":")" + e12 +
                               R"(","token_masked":"********"},{"token":")" + e13 +
                               R"(","token_masked":")" + six + "..." + six + R"("},{"token":"a)" +
                               e12 + R"(","token_masked":"a)" + e12.substr(0, 10) + "..." + six +
                               R"("}],"rotated":[]})");
}

}  // namespace
