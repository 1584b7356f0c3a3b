#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fault.h"
#include "identity_common.h"
#include "store.h"
#include "temp_dir.h"
#include "token_store_fixture.h"

namespace {

const std::string kLong255(255, 'x');
const std::string kLong256(256, 'y');

std::string take(char* text) {
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return text ? text : "(null)";
}

// The compact form of a JSON text ("" when it does not parse), so that stores can
// be compared whatever their layout.
std::string compact_json(const std::string& json) {
  zeb::DocPtr doc(yyjson_read(json.data(), json.size(), 0));
  if (!doc) return "";
  zeb::JsonText text(yyjson_write(doc.get(), 0, nullptr), &std::free);
  return text ? text.get() : "";
}

// "{"scopes":"<scopes>","granted":<granted>}"
std::string rec(const std::string& scopes, int64_t granted) {
  return "{\"scopes\":\"" + scopes + "\",\"granted\":" + std::to_string(granted) + "}";
}

class ConsentTest : public TempDataDirTest {
 protected:
  ConsentTest() {
    g_fake_now = kNow;
    seam_.ops().time = fake_time;
  }

  zeb_platform_ops& platform() { return seam_.ops(); }
  std::string store_path() const { return dir.path("consents.json"); }
  void write_store(const std::string& json) const { TempDataDir::write_file(store_path(), json); }
  std::string store_text() const { return TempDataDir::read_file(store_path()); }
  std::string store_json() const { return compact_json(store_text()); }
  bool store_exists() const { return TempDataDir::exists(store_path()); }

  // The files of the data directory whose names start with prefix.
  std::vector<std::string> files_starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir.data_dir())) {
      std::string name = e.path().filename().string();
      if (name.rfind(prefix, 0) == 0) out.push_back(name);
    }
    return out;
  }

 private:
  PlatformFault seam_;
};

// ---- id_scope_intersect ----

TEST(ScopeIntersect, NarrowsToAllowedTokensInRequestOrder) {
  const std::string long256_openid = kLong256 + " openid";
  const std::string long255_openid = kLong255 + " openid";
  struct Case {
    const char* requested;
    const char* allowed;
    size_t cap;
    std::string expected;
  } cases[] = {
      {"openid email offline_access", nullptr, 64, "openid email"},
      {"email, openid  email", "openid email", 64, "email openid"},
      {"OpenID email", nullptr, 64, "email"},
      {"profile\topenid,,email", "", 64, "profile openid email"},
      {"a b c", "c\t,a,b", 64, "a b c"},
      {"a b", "ab a", 64, "a"},
      {"\x01openid open\nid", "openid open", 64, ""},
      {nullptr, "openid", 64, ""},
      {"", "openid", 64, ""},
      {" ,\t,", nullptr, 64, ""},
      // Over-long tokens are never scopes, even when both lists hold them.
      {long256_openid.c_str(), long256_openid.c_str(), 512, "openid"},
      {long255_openid.c_str(), long255_openid.c_str(), 512, long255_openid},
      // The capacity counts the blank and the terminating NUL; the first token that
      // does not fit ends the list, later smaller ones included.
      {"openid email", nullptr, 13, "openid email"},
      {"openid email", nullptr, 12, "openid"},
      {"openid email", nullptr, 7, "openid"},
      {"openid email", nullptr, 6, ""},
      {"openid email", nullptr, 1, ""},
      {"openid profile email", nullptr, 13, "openid"},
      {kLong255.c_str(), kLong255.c_str(), 256, kLong255},
      {kLong255.c_str(), kLong255.c_str(), 255, ""},
      // Refused and repeated tokens take no room and end nothing.
      {"offline_access openid openid email", nullptr, 13, "openid email"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.requested ? c.requested : "(null)").substr(0, 40) + " cap " +
                 std::to_string(c.cap));
    std::vector<char> out(c.cap + 1, '#');
    out[c.cap] = '!';
    id_scope_intersect(c.requested, c.allowed, out.data(), c.cap);
    EXPECT_EQ(std::string(out.data()), c.expected);
    EXPECT_EQ(out[c.cap], '!');
  }
}

TEST(ScopeIntersect, WithoutRoomNothingIsWritten) {
  char out[4] = "###";
  id_scope_intersect("openid", nullptr, out, 0);
  EXPECT_STREQ(out, "###");
  id_scope_intersect("openid", nullptr, nullptr, 16);  // must not crash
}

// ---- id_consent_covers ----

TEST_F(ConsentTest, CoversNeedsARecordThatGrantsEveryToken) {
  write_store(R"({
    "usr_a": {
      "c1": {"scopes": "openid profile", "granted": 5},
      "c2": {"granted": 1},
      "c3": "not a record",
      "c4": {"scopes": ["openid"]},
      "c5": {"scopes": ")" + kLong255 + " " + kLong256 + R"("},
      "c6": {"scopes": "email"}, "c6": {"scopes": "openid"}
    },
    "usr_b": {},
    "usr_c": "not a user",
    "usr_d": {"c1": {"scopes": "email"}},
    "usr_d": {"c1": {"scopes": "openid"}}
  })");
  struct Case {
    const char* user;
    const char* client;
    const char* requested;
    bool covered;
  } cases[] = {
      {"usr_a", "c1", "profile", true},
      {"usr_a", "c1", "profile,openid", true},
      {"usr_a", "c1", "", true},
      {"usr_a", "c1", " ,\t", true},
      {"usr_a", "c1", nullptr, true},
      {"usr_a", "c1", "openid email", false},
      {"usr_a", "c1", "OpenID", false},
      {"usr_a", "c1", "open", false},
      {"usr_a", "c2", nullptr, true},
      {"usr_a", "c2", "", true},
      {"usr_a", "c2", "openid", false},
      {"usr_a", "c3", nullptr, false},
      {"usr_a", "c4", nullptr, true},
      {"usr_a", "c4", "openid", false},
      {"usr_a", "c5", kLong255.c_str(), true},
      {"usr_a", "c5", kLong256.c_str(), false},
      {"usr_a", "c6", "email", true},  // the first of duplicate names counts
      {"usr_a", "c6", "openid", false},
      {"usr_d", "c1", "email", true},
      {"usr_d", "c1", "openid", false},
      {"usr_a", "c9", nullptr, false},
      {"usr_b", "c1", nullptr, false},
      {"usr_c", "c1", nullptr, false},
      {"usr_x", "c1", nullptr, false},
      {nullptr, "c1", nullptr, false},
      {"", "c1", nullptr, false},
      {"usr_a", nullptr, nullptr, false},
      {"usr_a", "", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user ? c.user : "(null)") + "/" + (c.client ? c.client : "(null)") +
                 " " + std::string(c.requested ? c.requested : "(null)").substr(0, 20));
    EXPECT_EQ(id_consent_covers(c.user, c.client, c.requested), c.covered);
  }
}

TEST_F(ConsentTest, StoresWithoutUsableTopLevelCoverNothing) {
  EXPECT_FALSE(id_consent_covers("usr_a", "c1", nullptr));
  for (const char* text : {"{", "[{\"usr_a\": {\"c1\": {}}}]", "\"usr_a\""}) {
    SCOPED_TRACE(text);
    write_store(text);
    EXPECT_FALSE(id_consent_covers("usr_a", "c1", nullptr));
  }
}

// ---- id_consent_set ----

TEST_F(ConsentTest, SetOnlyWidensAndRestamps) {
  ASSERT_EQ(id_consent_set("usr_a", "c1", "openid"), 0);
  EXPECT_EQ(store_json(), "{\"usr_a\":{\"c1\":" + rec("openid", kNow) + "}}");
  EXPECT_TRUE(id_consent_covers("usr_a", "c1", "openid"));

  struct Step {
    const char* scopes;
    std::string expected;
  } steps[] = {
      {"profile", "openid profile"},
      {"openid", "openid profile"},
      {nullptr, "openid profile"},
      {"", "openid profile"},
      {"email,profile\topenid  email", "openid profile email"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.scopes ? s.scopes : "(null)");
    ++g_fake_now;
    ASSERT_EQ(id_consent_set("usr_a", "c1", s.scopes), 0);
    EXPECT_EQ(store_json(), "{\"usr_a\":{\"c1\":" + rec(s.expected, g_fake_now) + "}}");
  }
  // Stores are written pretty-printed.
  EXPECT_NE(store_text().find("\n"), std::string::npos);
}

TEST_F(ConsentTest, SetWithoutScopesCreatesAnEmptyRecord) {
  ASSERT_EQ(id_consent_set("usr_a", "c1", nullptr), 0);
  EXPECT_EQ(store_json(), "{\"usr_a\":{\"c1\":" + rec("", kNow) + "}}");
  EXPECT_TRUE(id_consent_covers("usr_a", "c1", nullptr));
  EXPECT_FALSE(id_consent_covers("usr_a", "c1", "openid"));
}

TEST_F(ConsentTest, SetMovesTheRecordAndAppendsNewUsersAtTheEnd) {
  write_store("{\"u1\":{\"a\":" + rec("x", 1) + ",\"b\":" + rec("y", 2) + "},\"u2\":{}}");
  ASSERT_EQ(id_consent_set("u1", "a", "z"), 0);
  ASSERT_EQ(id_consent_set("u3", "c", "w"), 0);
  ASSERT_EQ(id_consent_set("u2", "d", nullptr), 0);
  EXPECT_EQ(store_json(), "{\"u1\":{\"b\":" + rec("y", 2) + ",\"a\":" + rec("x z", kNow) +
                              "},\"u2\":{\"d\":" + rec("", kNow) + "},\"u3\":{\"c\":" +
                              rec("w", kNow) + "}}");
}

TEST_F(ConsentTest, MergeStopsAtTheFirstTokenThatDoesNotFit) {
  const std::string a250(250, 'a');
  const std::string t253(253, 'b');
  const std::string t254(254, 'c');
  struct Case {
    std::string previous;  // stored "scopes"
    std::string added;
    std::string expected;
  } cases[] = {
      // A token fits while length + its length + 2 stays within 255.
      {a250, "bcd e", a250 + " bcd"},
      {a250, "bcde f", a250},
      {"", t253, t253},
      {"", t254 + " openid", ""},
      // Skipped tokens do not end the merge.
      {"", kLong256 + " openid", "openid"},
      {"openid", "openid openid profile", "openid profile"},
      // A hand-written list longer than a record keeps its whole tokens only.
      {a250 + " emailxyz", "", a250},
      {std::string(255, 'd') + " openid", "", std::string(255, 'd')},
      {std::string(300, 'e'), "openid", "openid"},
      {"openid\\t,profile", "email", "openid\\t,profile email"},  // JSON escapes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.previous.size()) + " + " + c.added.substr(0, 20));
    write_store("{\"u\":{\"c\":" + rec(c.previous, 1) + "}}");
    ASSERT_EQ(id_consent_set("u", "c", c.added.c_str()), 0);
    EXPECT_EQ(store_json(), compact_json("{\"u\":{\"c\":" + rec(c.expected, kNow) + "}}"));
  }
}

TEST_F(ConsentTest, SetReplacesValuesOfTheWrongType) {
  struct Case {
    const char* before;
    std::string after;
  } cases[] = {
      // Every member of the user's name goes when the first is not an object.
      {R"({"u":"x","v":{},"u":{"c":{"scopes":"email","granted":1}}})",
       "{\"v\":{},\"u\":{\"c\":" + rec("openid", kNow) + "}}"},
      // A first client record that is not an object gives no previous scopes.
      {R"({"u":{"c":"x","c":{"scopes":"email","granted":1},"d":{}}})",
       "{\"u\":{\"d\":{},\"c\":" + rec("openid", kNow) + "}}"},
      {R"({"u":{"c":{"scopes":7,"granted":"1"}}})", "{\"u\":{\"c\":" + rec("openid", kNow) + "}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    write_store(c.before);
    ASSERT_EQ(id_consent_set("u", "c", "openid"), 0);
    EXPECT_EQ(store_json(), c.after);
  }
}

TEST_F(ConsentTest, SetStartsAfreshFromAnUnusableStoreAndKeepsItAside) {
  for (const char* text : {"{\"u\":", "[{\"u\":{}}]", "17"}) {
    SCOPED_TRACE(text);
    ++g_fake_now;  // each kept copy is named by its time
    write_store(text);
    ASSERT_EQ(id_consent_set("u", "c", "openid"), 0);
    EXPECT_EQ(store_json(), "{\"u\":{\"c\":" + rec("openid", g_fake_now) + "}}");
    std::string kept = store_path() + ".corrupt-" + std::to_string(g_fake_now);
    ASSERT_TRUE(TempDataDir::exists(kept));
    EXPECT_EQ(TempDataDir::read_file(kept), text);
  }
}

TEST_F(ConsentTest, RacingSetsLoseNoScope) {
  constexpr int kProcs = 8;
  std::vector<int> rcs = run_at_once(kProcs, [](int i) {
    return id_consent_set("u", "c", ("s" + std::to_string(i)).c_str());
  });
  EXPECT_EQ(rcs, std::vector<int>(kProcs, 0));
  for (int i = 0; i < kProcs; ++i) {
    EXPECT_TRUE(id_consent_covers("u", "c", ("s" + std::to_string(i)).c_str())) << i;
  }
}

// ---- id_consent_revoke ----

TEST_F(ConsentTest, RevokeRemovesOnlyThePairAndKeepsTheUser) {
  write_store("{\"u\":{\"c\":" + rec("a", 1) + ",\"d\":" + rec("b", 2) + ",\"c\":" + rec("e", 3) +
              "},\"v\":{\"c\":" + rec("f", 4) + "},\"w\":\"x\"}");
  ASSERT_EQ(id_consent_revoke("u", "c"), 0);
  EXPECT_EQ(store_json(),
            "{\"u\":{\"d\":" + rec("b", 2) + "},\"v\":{\"c\":" + rec("f", 4) + "},\"w\":\"x\"}");
  EXPECT_FALSE(id_consent_covers("u", "c", nullptr));
  ASSERT_EQ(id_consent_revoke("u", "d"), 0);
  const std::string emptied = "{\"u\":{},\"v\":{\"c\":" + rec("f", 4) + "},\"w\":\"x\"}";
  EXPECT_EQ(store_json(), emptied);
  const char* const pairs[][2] = {{"u", "c"}, {"x", "c"}, {"w", "c"}, {"v", "d"}};
  for (const auto& p : pairs) {
    SCOPED_TRACE(std::string(p[0]) + "/" + p[1]);
    EXPECT_EQ(id_consent_revoke(p[0], p[1]), 0);
    EXPECT_EQ(store_json(), emptied);
  }
  // Written back even when nothing was removed.
  write_store(emptied);
  ASSERT_EQ(id_consent_revoke("x", "c"), 0);
  EXPECT_NE(store_text(), emptied);
  EXPECT_EQ(store_json(), emptied);
}

TEST_F(ConsentTest, RevokeWithoutAReadableStoreIsANoOp) {
  EXPECT_EQ(id_consent_revoke("u", "c"), 0);
  EXPECT_FALSE(store_exists());
  for (const char* text : {"{\"u\":", "[{\"u\":{\"c\":{}}}]"}) {
    SCOPED_TRACE(text);
    write_store(text);
    EXPECT_EQ(id_consent_revoke("u", "c"), 0);
    EXPECT_EQ(store_text(), text);
  }
  EXPECT_EQ(files_starting("consents.json.corrupt"), std::vector<std::string>{});
}

// ---- refusals and faults of set and revoke ----

TEST_F(ConsentTest, MissingIdentifiersAreRefusedWithoutWriting) {
  struct Case {
    const char* user;
    const char* client;
  } cases[] = {{nullptr, "c"}, {"", "c"}, {"u", nullptr}, {"u", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user ? c.user : "(null)") + "/" + (c.client ? c.client : "(null)"));
    EXPECT_EQ(id_consent_set(c.user, c.client, "openid"), -1);
    EXPECT_EQ(id_consent_revoke(c.user, c.client), -1);
    EXPECT_FALSE(store_exists());
  }
}

TEST_F(ConsentTest, LockAndSaveFailuresLeaveTheStoreAsItWas) {
  const std::string before = "{\"u\":{\"c\":" + rec("openid", 1) + "}}";
  write_store(before);
  {
    platform().sleep_ms = no_sleep;
    id_lock held;
    ASSERT_EQ(id_lock_acquire_wait(&held, "consents.json", 0), 0);
    EXPECT_EQ(id_consent_set("u", "c", "email"), -1);
    EXPECT_EQ(id_consent_revoke("u", "c"), -1);
    EXPECT_EQ(store_text(), before);
    id_lock_release(&held);
  }
  for (const SaveFault& f : kSaveFaults) {
    SCOPED_TRACE(f.what);
    zeb_platform_ops saved = platform();
    f.inject(platform());
    EXPECT_EQ(id_consent_set("u", "c", "email"), -1);
    EXPECT_EQ(id_consent_revoke("u", "c"), -1);
    platform() = saved;
    EXPECT_EQ(store_text(), before);
    EXPECT_FALSE(TempDataDir::exists(store_path() + ".tmp"));
  }
}

// ---- id_consent_list_json ----

TEST_F(ConsentTest, ListingOfAStoreWithoutConsentsIsEmpty) {
  EXPECT_EQ(take(id_consent_list_json()), "[]");
  for (const char* text : {"{\"u\":", "[{\"u\":{\"c\":{}}}]", "{}", "{\"u\":{},\"v\":7}"}) {
    SCOPED_TRACE(text);
    write_store(text);
    EXPECT_EQ(take(id_consent_list_json()), "[]");
  }
}

TEST_F(ConsentTest, ListingIsCompactInFileOrder) {
  write_store(R"({
    "u1": {"c1": {"scopes": "openid", "granted": 7},
           "c2": {"granted": -3, "scopes": 5}},
    "u2": "not a user",
    "u3": {"c3": "not a record", "c4": {}},
    "usr_\u00e9": {"cl\"i": {"scopes": "a\tb", "granted": 9007199254740993, "extra": 1}},
    "u5": {"c5": {"scopes": "x", "granted": "9"}, "c6": {"scopes": "y", "granted": 1.5}},
    "u1": {"c1": {"scopes": "later", "granted": 8}}
  })");
  EXPECT_EQ(take(id_consent_list_json()),
            "[{\"user_id\":\"u1\",\"client_id\":\"c1\",\"scopes\":\"openid\",\"granted\":7},"
            "{\"user_id\":\"u1\",\"client_id\":\"c2\",\"scopes\":\"\",\"granted\":-3},"
            "{\"user_id\":\"u3\",\"client_id\":\"c4\",\"scopes\":\"\",\"granted\":0},"
            "{\"user_id\":\"usr_\xC3\xA9\",\"client_id\":\"cl\\\"i\",\"scopes\":\"a\\tb\","
            "\"granted\":9007199254740993},"
            "{\"user_id\":\"u5\",\"client_id\":\"c5\",\"scopes\":\"x\",\"granted\":0},"
            "{\"user_id\":\"u5\",\"client_id\":\"c6\",\"scopes\":\"y\",\"granted\":0},"
            "{\"user_id\":\"u1\",\"client_id\":\"c1\",\"scopes\":\"later\",\"granted\":8}]");
}

TEST_F(ConsentTest, ListingShowsWhatSetRecorded) {
  ASSERT_EQ(id_consent_set("usr_a", "c1", "openid profile"), 0);
  EXPECT_EQ(take(id_consent_list_json()),
            "[{\"user_id\":\"usr_a\",\"client_id\":\"c1\",\"scopes\":\"openid profile\","
            "\"granted\":" + std::to_string(kNow) + "}]");
}

}  // namespace
