#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "token_store_fixture.h"

namespace {

// Made with 1 iteration by the hash string rule: checks of hand-written stores
// cost nothing.
constexpr const char* kCheapHash =
    "pbkdf2$1$000102030405060708090a0b0c0d0e0f$"
    "0000000000000000000000000000000000000000000000000000000000000000";

class UserTest : public TokenStoreTest {
 protected:
  std::string users_path() const { return dir.path("users.json"); }
  void write_users(const std::string& json) const { TempDataDir::write_file(users_path(), json); }
  std::string users_text() const {
    return TempDataDir::exists(users_path()) ? TempDataDir::read_file(users_path()) : "";
  }
  std::string users_json() const {
    zeb::DocPtr doc = zeb::store_read("users.json");
    return compact(doc ? yyjson_doc_get_root(doc.get()) : nullptr);
  }

  struct Created {
    int rc;
    std::string id, msg;
  };
  static Created create(const char* name, const char* password = "long enough pw",
                        const char* email = nullptr, const char* role = nullptr) {
    char id[64] = "untouched", msg[128] = "stale";
    int rc = id_user_create_role(name, password, email, role, id, sizeof id, msg, sizeof msg);
    return {rc, id, msg};
  }
};

std::string take(char* text) {
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return text ? text : "(null)";
}

TEST_F(UserTest, CreationStoresTheRecordAndDecidesTheRole) {
  Created alice = create("alice", "alice's password", "alice@example.org", "user");
  ASSERT_EQ(alice.rc, 0) << alice.msg;
  EXPECT_EQ(alice.msg, "");
  ASSERT_EQ(alice.id.size(), 15u);
  EXPECT_EQ(alice.id.rfind("usr_", 0), 0u);
  EXPECT_EQ(alice.id.find_first_not_of(
                "usr_ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);

  id_user u;
  std::memset(&u, 0x5A, sizeof u);
  ASSERT_TRUE(id_user_find_by_username("alice", &u));
  EXPECT_EQ(u.id, alice.id);
  EXPECT_STREQ(u.email, "alice@example.org");
  EXPECT_STREQ(u.role, "owner") << "the first user owns the provider whatever was asked";
  EXPECT_EQ(u.created, kNow);
  EXPECT_EQ(u.last_login, kNow);
  EXPECT_TRUE(id_verify_password("alice's password", u.pass_hash));
  EXPECT_EQ(users_json(), "[{\"id\":\"" + alice.id +
                              "\",\"username\":\"alice\",\"email\":\"alice@example.org\","
                              "\"pass_hash\":\"" + u.pass_hash +
                              "\",\"role\":\"owner\",\"created\":1700000000,"
                              "\"last_login\":1700000000}]");
  EXPECT_TRUE(id_user_is_last_admin(alice.id.c_str()));

  // Later users get what they ask for, normalised.
  const struct {
    const char* name;
    const char* role;
    const char* stored;
  } later[] = {{"bob", nullptr, "user"}, {"carol", "ADMIN", "admin"}, {"dave", "root", "user"},
               {"erin", "Owner", "owner"}};
  for (const auto& c : later) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(create(c.name, "long enough pw", nullptr, c.role).rc, 0);
    ASSERT_TRUE(id_user_find_by_username(c.name, &u));
    EXPECT_STREQ(u.role, c.stored);
    EXPECT_STREQ(u.email, "");
  }
  EXPECT_EQ(id_user_admin_count(), 3);
  EXPECT_FALSE(id_user_is_last_admin(alice.id.c_str()));
  id_user bob;
  ASSERT_TRUE(id_user_find_by_username("bob", &bob));
  EXPECT_FALSE(id_user_is_admin_by_id(bob.id));
  EXPECT_FALSE(id_user_is_last_admin(bob.id));
}

TEST_F(UserTest, FirstUserOwnsWhateverStoreWasThere) {
  const struct {
    const char* store;
    const char* role;
  } cases[] = {{"{\"x\":1}", "owner"}, {"[]", "owner"}, {"not json", "owner"}, {"[5]", "user"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.store);
    write_users(c.store);
    ASSERT_EQ(create("zed", "long enough pw", nullptr, "user").rc, 0);
    id_user u;
    ASSERT_TRUE(id_user_find_by_username("zed", &u));
    EXPECT_STREQ(u.role, c.role);
    zeb::DocPtr doc = zeb::store_read("users.json");
    EXPECT_EQ(yyjson_arr_size(yyjson_doc_get_root(doc.get())), c.role[0] == 'o' ? 1u : 2u);
  }
}

TEST_F(UserTest, RefusalsGiveTheirCodesAndMessagesAndWriteNothing) {
  ASSERT_EQ(create("alice").rc, 0);
  const std::string before = users_text();
  const std::string name64(64, 'n'), name65(65, 'n');
  const std::string email254 = std::string(250, 'e') + "@b.c", email255 = "e" + email254;
  const struct {
    const char* name;
    const char* password;
    const char* email;
    int rc;
    const char* msg;
  } cases[] = {
      {nullptr, "long enough pw", nullptr, -1, "missing username or password"},
      {"", "long enough pw", nullptr, -1, "missing username or password"},
      {"bob", nullptr, nullptr, -1, "missing username or password"},
      {"bob", "", nullptr, -1, "missing username or password"},
      {name65.c_str(), "long enough pw", nullptr, -3, "username too long (max 64)"},
      {"bob", "long enough pw", email255.c_str(), -3, "email too long (max 254)"},
      {"bob", "long enough pw", "bob @b.c", -3, "email must not contain whitespace"},
      {"bob", "long enough pw", "bob.b.c", -3, "email must look like name@example.com"},
      {"bob", "short", nullptr, -3, "password too short (min 8)"},
      {"bob-the-user", "bob-the-user", nullptr, -3, "password must differ from username"},
      {"ALICE", "long enough pw", nullptr, -2, "user already exists"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.msg);
    Created r = create(c.name, c.password, c.email);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.msg, c.msg);
    EXPECT_EQ(r.id, "untouched");
    EXPECT_EQ(id_user_create_role(c.name, c.password, c.email, nullptr, nullptr, 0, nullptr, 0),
              c.rc);
  }
  EXPECT_EQ(users_text(), before);

  // The limits themselves are allowed.
  EXPECT_EQ(create(name64.c_str(), "long enough pw", email254.c_str()).rc, 0);
  char id[64];
  EXPECT_EQ(id_user_create("frank", "long enough pw", nullptr, id, sizeof id), 0);
  EXPECT_EQ(id_user_create("Frank", "long enough pw", nullptr, id, sizeof id), -2);
}

TEST(EmailCheck, AcceptsPlainAddressesOnly) {
  const std::string shape = "email must look like name@example.com";
  const std::string blank = "email must not contain whitespace";
  const struct {
    const char* email;
    int rc;
    std::string msg;
  } cases[] = {
      {nullptr, 0, ""},          {"", 0, ""},
      {"a@b.c", 0, ""},          {"first.last@mail.example.org", 0, ""},
      {"j\xC3\xBCrgen@b.c", 0, ""},
      {"a b@b.c", -3, blank},    {"a@b.c\t", -3, blank},
      {"a@b\x7F.c", -3, blank},  {"a@b\n.c", -3, blank},
      {"@b.c", -3, shape},       {"a@", -3, shape},
      {"a@bc", -3, shape},       {"a@.b.c", -3, shape},
      {"a@b.c.", -3, shape},     {"a@b..c", -3, shape},
      {"a@b@c.d", -3, shape},    {"abc", -3, shape},
      {"a@.bc", -3, shape},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.email ? c.email : "(null)");
    char msg[64] = "stale";
    EXPECT_EQ(id_email_check(c.email, msg, sizeof msg), c.rc);
    EXPECT_EQ(msg, c.msg);
  }
}

// A hand-written store exercising the reading rules.
constexpr const char* kReadStore = R"([
  7,
  {"id":"usr_a","username":"alice","email":"a@b.c","pass_hash":"h","role":"Owner",
   "created":11,"last_login":12,"username":"shadow"},
  {"id":"usr_n","username":5,"role":5},
  {"id":"usr_b","username":"Bob","role":"ADMIN","created":1.5},
  {"id":"usr_c","username":"carol","role":"superuser"},
  {"id":"usr_d","username":"dave"}
])";

TEST_F(UserTest, LookupsFollowTheReadingRules) {
  write_users(kReadStore);
  id_user u;
  ASSERT_TRUE(id_user_find_by_id("usr_a", &u));
  EXPECT_STREQ(u.username, "alice") << "the first member of a name counts";
  EXPECT_STREQ(u.role, "owner");
  EXPECT_EQ(u.created, 11);
  EXPECT_EQ(u.last_login, 12);
  EXPECT_FALSE(id_user_find_by_username("shadow", nullptr));

  const struct {
    const char* name;
    bool exact, ci;
    const char* role;
  } names[] = {{"alice", true, true, "owner"}, {"ALICE", false, true, "owner"},
               {"Bob", true, true, "admin"},   {"bob", false, true, "admin"},
               {"carol", true, true, "user"},  {"dave", true, true, "user"},
               {"5", false, false, ""},        {"", false, false, ""},
               {"alic", false, false, ""}};
  for (const auto& c : names) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(id_user_find_by_username(c.name, nullptr), c.exact);
    std::memset(&u, 0, sizeof u);
    EXPECT_EQ(id_user_find_by_username_ci(c.name, &u), c.ci);
    EXPECT_STREQ(u.role, c.role);
  }
  EXPECT_FALSE(id_user_find_by_username(nullptr, &u));
  EXPECT_FALSE(id_user_find_by_id(nullptr, &u));
  EXPECT_FALSE(id_user_find_by_id("usr_", &u));

  EXPECT_EQ(id_user_admin_count(), 2);
  EXPECT_TRUE(id_user_is_admin_by_id("usr_b"));
  EXPECT_FALSE(id_user_is_admin_by_id("usr_n"));
  EXPECT_FALSE(id_user_is_last_admin("usr_a"));
  EXPECT_FALSE(id_user_is_last_admin(""));

  EXPECT_EQ(take(id_user_list_json()),
            R"([{"role":"user"},)"
            R"({"id":"usr_a","username":"alice","email":"a@b.c","role":"owner","created":11,"last_login":12},)"
            R"({"id":"usr_n","role":"user"},)"
            R"({"id":"usr_b","username":"Bob","role":"admin","created":0},)"
            R"({"id":"usr_c","username":"carol","role":"user"},)"
            R"({"id":"usr_d","username":"dave","role":"user"}])");
}

TEST_F(UserTest, AbsentOrUnusableStoreReadsEmpty) {
  for (const char* store : {static_cast<const char*>(nullptr), "{}", "[", "{\"id\":\"usr_a\"}"}) {
    SCOPED_TRACE(store ? store : "(absent)");
    if (store) write_users(store);
    EXPECT_EQ(take(id_user_list_json()), "[]");
    EXPECT_EQ(id_user_admin_count(), 0);
    EXPECT_FALSE(id_user_find_by_id("usr_a", nullptr));
    EXPECT_EQ(id_user_delete("usr_a"), -1);
  }
}

TEST_F(UserTest, SetPasswordReplacesOnlyTheHash) {
  write_users(std::string(R"([{"id":"usr_a","username":"alice","pass_hash":"old","extra":[1,{"k":"v"}],)"
                          R"("pass_hash":"older","role":"admin","created":5}])"));
  char msg[64] = "stale";
  ASSERT_EQ(id_user_set_password("usr_a", "new password", msg, sizeof msg), 0);
  EXPECT_STREQ(msg, "");
  id_user u;
  ASSERT_TRUE(id_user_find_by_id("usr_a", &u));
  EXPECT_TRUE(id_verify_password("new password", u.pass_hash));
  EXPECT_EQ(users_json(), std::string(R"([{"id":"usr_a","username":"alice","extra":[1,{"k":"v"}],)"
                                      R"("role":"admin","created":5,"pass_hash":")") +
                              u.pass_hash + "\"}]");
}

TEST_F(UserTest, SetPasswordRefusals) {
  write_users(std::string(R"([{"id":"usr_a","username":"alice-smith","pass_hash":")") + kCheapHash +
              "\"}]");
  const std::string before = users_text();
  const struct {
    const char* id;
    const char* password;
    int rc;
    const char* msg;
  } cases[] = {
      {nullptr, "new password", -1, "missing user id or password"},
      {"usr_a", "", -1, "missing user id or password"},
      {"usr_x", "new password", -1, "user not found"},
      {"usr_a", "short", -3, "password too short (min 8)"},
      {"usr_a", "alice-smith", -3, "password must differ from username"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.msg);
    char msg[64] = "stale";
    EXPECT_EQ(id_user_set_password(c.id, c.password, msg, sizeof msg), c.rc);
    EXPECT_STREQ(msg, c.msg);
  }
  EXPECT_EQ(users_text(), before);

  char msg[64];
  {
    PlatformFault seam;
    seam.ops().sleep_ms = no_sleep;
    id_lock elsewhere;
    ASSERT_EQ(id_lock_acquire_wait(&elsewhere, "users.json", 0), 0);
    EXPECT_EQ(id_user_set_password("usr_a", "new password", msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "failed to lock user store");
    id_lock_release(&elsewhere);
  }
  for (const SaveFault& f : kSaveFaults) {
    SCOPED_TRACE(f.what);
    PlatformFault seam;
    f.inject(seam.ops());
    EXPECT_EQ(id_user_set_password("usr_a", "new password", msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "failed to save user store");
  }
  EXPECT_EQ(users_text(), before);
  EXPECT_FALSE(TempDataDir::exists(users_path() + ".tmp"));
}

TEST_F(UserTest, DeleteEndsOnlyThatUsersSessionsAndTokens) {
  write_users(R"([{"id":"usr_a","username":"alice"},{"id":"usr_b","username":"bob"}])");
  char sa[64], sb[64], ra[64], rb[64];
  ASSERT_EQ(id_session_create("usr_a", "alice", sa, sizeof sa), 0);
  ASSERT_EQ(id_session_create("usr_b", "bob", sb, sizeof sb), 0);
  ASSERT_EQ(id_refresh_token_create("usr_a", "alice", "client_x", nullptr, ra, sizeof ra), 0);
  ASSERT_EQ(id_refresh_token_create("usr_b", "bob", "client_x", nullptr, rb, sizeof rb), 0);

  // Unknown users touch nothing, not even the token store.
  expect_same_store([] { EXPECT_EQ(id_user_delete("usr_x"), -1); }, false);
  expect_same_store([] { EXPECT_EQ(id_user_delete(""), -1); }, false);

  ASSERT_EQ(id_user_delete("usr_a"), 0);
  EXPECT_EQ(users_json(), R"([{"id":"usr_b","username":"bob"}])");
  EXPECT_FALSE(id_session_verify(sa, nullptr, 0, nullptr, 0));
  EXPECT_FALSE(id_refresh_token_find(ra, nullptr));
  EXPECT_TRUE(id_session_verify(sb, nullptr, 0, nullptr, 0));
  EXPECT_TRUE(id_refresh_token_find(rb, nullptr));
}

TEST_F(UserTest, ListingNeverShowsHashes) {
  ASSERT_EQ(create("alice").rc, 0);
  ASSERT_EQ(create("bob").rc, 0);
  std::string list = take(id_user_list_json());
  EXPECT_EQ(list.find("pass_hash"), std::string::npos);
  EXPECT_EQ(list.find("pbkdf2"), std::string::npos);
  EXPECT_NE(list.find(R"("username":"bob","email":"","role":"user","created":1700000000)"),
            std::string::npos)
      << list;
}

// The early check cannot see a name being created at the same moment; the check
// under the lock must.
TEST_F(UserTest, SimultaneousCreationsOfOneNameLetOneThrough) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::string name = "racer" + std::to_string(round);
    std::vector<int> rcs = run_at_once(4, [&](int i) {
      std::string variant = i % 2 ? name : "RACER" + std::to_string(round);
      return id_user_create(variant.c_str(), "long enough pw", nullptr, nullptr, 0);
    });
    int ok = 0;
    for (int rc : rcs) {
      EXPECT_TRUE(rc == 0 || rc == -2) << rc;
      ok += rc == 0;
    }
    EXPECT_EQ(ok, 1);
  }
  zeb::DocPtr doc = zeb::store_read("users.json");
  EXPECT_EQ(yyjson_arr_size(yyjson_doc_get_root(doc.get())), 3u);
}

}  // namespace
