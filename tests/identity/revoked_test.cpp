#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "identity_common.h"
#include "token_store_fixture.h"

namespace {

class RevokedTest : public TokenStoreTest {
 protected:
  std::string list_path() const { return dir.path("revoked.json"); }
  void write_list(const std::string& json) const { TempDataDir::write_file(list_path(), json); }
  std::string list_text() const { return TempDataDir::read_file(list_path()); }
  // The stored list as compact JSON ("" when missing or unreadable).
  std::string list_json() const {
    zeb::DocPtr doc = zeb::store_read("revoked.json");
    return compact(doc ? yyjson_doc_get_root(doc.get()) : nullptr);
  }
  static std::string entry(const std::string& jti, int64_t exp, const std::string& sub = "",
                           const std::string& client = "") {
    return "\"" + jti + "\":{\"exp\":" + std::to_string(exp) + ",\"sub\":\"" + sub +
           "\",\"client_id\":\"" + client + "\"}";
  }
};

TEST_F(RevokedTest, AddedIdentifierIsRevokedUntilTheSecondOfItsExpiry) {
  ASSERT_EQ(id_revoke_add_jti("jti_a", kNow + 100, "usr_1", "client_a"), 0);
  ASSERT_EQ(id_revoke_add_jti("jti_b", kNow + 50, nullptr, nullptr), 0);
  EXPECT_EQ(list_text(),
            "{\n"
            "    \"jti_a\": {\n"
            "        \"exp\": 1700000100,\n"
            "        \"sub\": \"usr_1\",\n"
            "        \"client_id\": \"client_a\"\n"
            "    },\n"
            "    \"jti_b\": {\n"
            "        \"exp\": 1700000050,\n"
            "        \"sub\": \"\",\n"
            "        \"client_id\": \"\"\n"
            "    }\n"
            "}");
  EXPECT_TRUE(id_revoke_is_jti("jti_a"));
  g_fake_now = kNow + 99;
  EXPECT_TRUE(id_revoke_is_jti("jti_a"));
  g_fake_now = kNow + 100;
  EXPECT_FALSE(id_revoke_is_jti("jti_a"));
  EXPECT_FALSE(id_revoke_is_jti("jti_b"));
  // The check never writes: expired entries wait for the next addition.
  EXPECT_NE(list_json().find("\"jti_a\""), std::string::npos);
}

// Pruning drops exactly the entries the check no longer counts as revoked: those
// that are not objects and those whose integer expiry has come.
TEST_F(RevokedTest, AdditionPrunesEveryEntryThatNoLongerRevokes) {
  write_list(R"({
    "past": {"exp": 1699999999}, "now": {"exp": 1700000000}, "zero": {"exp": 0},
    "negative": {"exp": -5}, "empty": {}, "text_exp": {"exp": "1800000000"},
    "real_exp": {"exp": 1800000000.0}, "null_exp": {"exp": null},
    "shadowed": {"exp": 1, "exp": 1800000000}, "array": [1], "number": 1800000000,
    "text": "1800000000", "null": null, "huge": {"exp": 18446744073709551615},
    "next_second": {"exp": 1700000001},
    "kept": {"sub": "u", "exp": 1800000000, "extra": [true]},
    "wide": {"exp": 4294967296000}
  })");
  ASSERT_EQ(id_revoke_add_jti("new", kNow + 10, "s", "c"), 0);
  EXPECT_EQ(list_json(), R"({"zero":{"exp":0},"empty":{},"text_exp":{"exp":"1800000000"},)"
                         R"("real_exp":{"exp":1800000000.0},"null_exp":{"exp":null},)"
                         R"("next_second":{"exp":1700000001},)"
                         R"("kept":{"sub":"u","exp":1800000000,"extra":[true]},)"
                         R"("wide":{"exp":4294967296000},)" +
                             entry("new", kNow + 10, "s", "c") + "}");
  for (const char* jti : {"zero", "empty", "text_exp", "next_second", "new"})
    EXPECT_TRUE(id_revoke_is_jti(jti)) << jti;
}

// A token without an expiry never lapses, so neither does its revocation.
TEST_F(RevokedTest, ZeroExpiryStaysRevokedAcrossLaterAdditions) {
  ASSERT_EQ(id_revoke_add_jti("forever", 0, nullptr, nullptr), 0);
  EXPECT_EQ(list_json(), "{" + entry("forever", 0) + "}");
  g_fake_now = kNow + 1000000000;
  EXPECT_TRUE(id_revoke_is_jti("forever"));
  ASSERT_EQ(id_revoke_add_jti("other", g_fake_now + 60, nullptr, nullptr), 0);
  EXPECT_TRUE(id_revoke_is_jti("forever"));
  EXPECT_EQ(list_json(), "{" + entry("forever", 0) + "," + entry("other", g_fake_now + 60) + "}");
}

TEST_F(RevokedTest, AnExpiryAlreadyPastIsStoredButNotRevoked) {
  ASSERT_EQ(id_revoke_add_jti("late", kNow - 1, nullptr, nullptr), 0);
  EXPECT_EQ(list_json(), "{" + entry("late", kNow - 1) + "}");
  EXPECT_FALSE(id_revoke_is_jti("late"));
}

TEST_F(RevokedTest, ReAddingReplacesTheEntryAndMovesItToTheEnd) {
  write_list(R"({"a": {"exp": 1800000000}, "b": {"exp": 1800000000}, "a": {"exp": 1900000000}})");
  ASSERT_EQ(id_revoke_add_jti("a", kNow + 5, "second", "c2"), 0);
  EXPECT_EQ(list_json(),
            R"({"b":{"exp":1800000000},)" + entry("a", kNow + 5, "second", "c2") + "}");
}

TEST_F(RevokedTest, IdentifiersAreCaseSensitive) {
  ASSERT_EQ(id_revoke_add_jti("Tok", kNow + 60, nullptr, nullptr), 0);
  EXPECT_TRUE(id_revoke_is_jti("Tok"));
  EXPECT_FALSE(id_revoke_is_jti("tok"));
  EXPECT_FALSE(id_revoke_is_jti("TOK"));
  EXPECT_FALSE(id_revoke_is_jti("To"));
  ASSERT_EQ(id_revoke_add_jti("tok", kNow + 70, nullptr, nullptr), 0);
  EXPECT_EQ(list_json(), "{" + entry("Tok", kNow + 60) + "," + entry("tok", kNow + 70) + "}");
}

TEST_F(RevokedTest, CheckReadsHandWrittenEntriesByTheSharedRules) {
  write_list(R"({
    "not_object": "1800000000", "array": [{"exp": 1800000000}], "null": null,
    "empty": {}, "text_exp": {"exp": "1"}, "zero": {"exp": 0}, "real_exp": {"exp": 1.0},
    "past": {"exp": 1699999999}, "negative": {"exp": -1}, "future": {"exp": 1700000001},
    "dup": 7, "dup": {"exp": 0},
    "nul\u0000x": {"exp": 0}
  })");
  struct {
    const char* jti;
    bool revoked;
  } cases[] = {
      {"not_object", false}, {"array", false}, {"null", false},    {"empty", true},
      {"text_exp", true},    {"zero", true},   {"real_exp", true}, {"past", false},
      {"negative", false},   {"future", true}, {"dup", false},     {"nul", false},
      {"absent", false},     {"", false},      {nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.jti ? c.jti : "(null)");
    EXPECT_EQ(id_revoke_is_jti(c.jti), c.revoked);
  }
}

TEST_F(RevokedTest, UnusableListsRevokeNothingAndAreReplacedOnAddition) {
  EXPECT_FALSE(id_revoke_is_jti("a"));  // no file
  for (const char* file : {"", "{\"a\": {\"exp\": 0}", "[{\"a\": {}}]", "\"a\"", "{}"}) {
    SCOPED_TRACE(file);
    write_list(file);
    EXPECT_FALSE(id_revoke_is_jti("a"));
    ASSERT_EQ(id_revoke_add_jti("b", kNow + 1, nullptr, nullptr), 0);
    EXPECT_EQ(list_json(), "{" + entry("b", kNow + 1) + "}");
  }
}

TEST_F(RevokedTest, RefusedAndFailedAdditionsLeaveTheFileAsItWas) {
  for (const char* jti : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(id_revoke_add_jti(jti, kNow + 60, nullptr, nullptr), -1);
  }
  EXPECT_FALSE(TempDataDir::exists(list_path()));

  // Holds an entry that the next addition would prune, so a lost save would show.
  write_list(R"({"old": {"exp": 1}, "live": {"exp": 1800000000}})");
  const std::string before = list_text();
  for (const SaveFault& f : kSaveFaults) {
    SCOPED_TRACE(f.what);
    const zeb_platform_ops saved = platform();
    f.inject(platform());
    EXPECT_EQ(id_revoke_add_jti("new", kNow + 60, nullptr, nullptr), -1);
    platform() = saved;
    EXPECT_EQ(list_text(), before);
    EXPECT_FALSE(TempDataDir::exists(list_path() + ".tmp"));
    EXPECT_FALSE(id_revoke_is_jti("new"));
  }

  id_lock held{};
  ASSERT_EQ(id_lock_acquire_wait(&held, "revoked.json", 0), 0);
  platform().sleep_ms = no_sleep;
  EXPECT_EQ(id_revoke_add_jti("new", kNow + 60, nullptr, nullptr), -1);
  id_lock_release(&held);
  EXPECT_EQ(list_text(), before);
}

TEST_F(RevokedTest, SimultaneousAdditionsKeepEveryEntry) {
  constexpr int kProcs = 6;
  std::vector<int> rcs = run_at_once(kProcs, [](int i) {
    return id_revoke_add_jti(("jti_" + std::to_string(i)).c_str(), kNow + 60, nullptr, nullptr);
  });
  EXPECT_EQ(rcs, std::vector<int>(kProcs, 0));
  for (int i = 0; i < kProcs; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(id_revoke_is_jti(("jti_" + std::to_string(i)).c_str()));
  }
}

}  // namespace
