#include "tokens.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "token_store_fixture.h"

namespace {

using zeb::Change;

class TokensTest : public TokenStoreTest {};

struct StartCase {
  const char* name;
  const char* file;  // null: no tokens.json
  const char* after;
};

// What every operation on tokens.json starts from, shown by a cycle that saves
// without changing anything.
TEST_F(TokensTest, MissingContainersAreAppendedAndOthersKept) {
  const StartCase cases[] = {
      {"no file", nullptr, R"({"sessions":{},"auth_codes":{},"refresh":[]})"},
      {"only refresh", R"({"refresh":[1]})", R"({"refresh":[1],"sessions":{},"auth_codes":{}})"},
      {"array root", "[1,2]", R"({"sessions":{},"auth_codes":{},"refresh":[]})"},
      {"invalid json", "{\"sessions\":", R"({"sessions":{},"auth_codes":{},"refresh":[]})"},
      {"wrong type stays", R"({"sessions":"x","rotated":[]})",
       R"({"sessions":"x","rotated":[],"auth_codes":{},"refresh":[]})"},
  };
  for (const StartCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDataDir fresh;
    if (c.file) TempDataDir::write_file(fresh.path("tokens.json"), c.file);
    ASSERT_EQ(zeb::tokens_update([](yyjson_mut_doc*, yyjson_mut_val*) { return Change::Save; }), 0);
    EXPECT_EQ(store_json(), c.after);
  }
}

TEST_F(TokensTest, DiscardLeavesNoFile) {
  EXPECT_EQ(zeb::tokens_update([](yyjson_mut_doc*, yyjson_mut_val*) { return Change::Discard; }),
            0);
  EXPECT_FALSE(TempDataDir::exists(store_path()));
}

TEST_F(TokensTest, RandomIdHasPrefixAndFreshBase64urlText) {
  char a[64], b[64];
  ASSERT_EQ(zeb::random_id("sess_", 24, a, sizeof a), 0);
  ASSERT_EQ(zeb::random_id("sess_", 24, b, sizeof b), 0);
  std::string id = a;
  ASSERT_EQ(id.size(), 37u);
  EXPECT_EQ(id.substr(0, 5), "sess_");
  EXPECT_EQ(
      id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", 5),
      std::string::npos);
  EXPECT_STRNE(a, b);
}

TEST_F(TokensTest, RandomIdFailureWritesNothing) {
  char out[64];
  std::memset(out, 'X', sizeof out);
  EXPECT_EQ(zeb::random_id("sess_", 24, out, 37), -1);  // one byte short of the NUL
  EXPECT_EQ(zeb::random_id("sess_", 24, out, 5), -1);
  platform().getrandom = fail_getrandom;
  EXPECT_EQ(zeb::random_id("sess_", 24, out, sizeof out), -1);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'X'));
}

}  // namespace
