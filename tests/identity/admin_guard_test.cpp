#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "token_store_fixture.h"

namespace {

class AdminGuardTest : public TokenStoreTest {
 protected:
  AdminGuardTest() {
    TempDataDir::write_file(dir.path("users.json"),
                            R"([{"id":"usr_o","username":"olga","role":"owner"},)"
                            R"({"id":"usr_a","username":"adam","role":"Admin"},)"
                            R"({"id":"usr_u","username":"ulla","role":"user"}])");
  }
  std::string server_log() const {
    std::string path = dir.path("server.log");
    return TempDataDir::exists(path) ? TempDataDir::read_file(path) : "";
  }
};

TEST_F(AdminGuardTest, SessionRoleComesFromTheUserStore) {
  const struct {
    const char* user_id;
    const char* role;
  } cases[] = {{"usr_a", "admin"}, {"usr_o", "owner"}, {"usr_u", "user"},
               {"usr_gone", "user"}, {nullptr, "user"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user_id ? c.user_id : "(no user)");
    char sid[64];
    ASSERT_EQ(id_session_create(c.user_id, "name", sid, sizeof sid), 0);
    char uid[64] = "untouched", name[64] = "untouched", role[24] = "untouched";
    ASSERT_TRUE(id_session_verify_role(sid, uid, sizeof uid, name, sizeof name, role, sizeof role));
    EXPECT_STREQ(role, c.role);
    EXPECT_STREQ(uid, c.user_id ? c.user_id : "");
    EXPECT_STREQ(name, "name");
    EXPECT_TRUE(id_session_verify_role(sid, nullptr, 0, nullptr, 0, nullptr, 0));
  }

  char sid[64];
  ASSERT_EQ(id_session_create("usr_a", "adam", sid, sizeof sid), 0);
  g_fake_now += 86401;
  char uid[64] = "untouched", role[24] = "untouched";
  EXPECT_FALSE(id_session_verify_role(sid, uid, sizeof uid, nullptr, 0, role, sizeof role));
  EXPECT_STREQ(uid, "untouched");
  EXPECT_STREQ(role, "untouched");
  EXPECT_FALSE(id_session_verify_role("", uid, sizeof uid, nullptr, 0, role, sizeof role));
  EXPECT_FALSE(id_session_verify_role(nullptr, uid, sizeof uid, nullptr, 0, role, sizeof role));
}

TEST_F(AdminGuardTest, AdministratorsOrTheRightSecretPass) {
  const std::string secret = "s3cret-admin-key";
  std::string changed = secret;
  changed[5] ^= 1;
  const std::string mismatch = "SECURITY: /api admin-secret mismatch from ";
  const struct {
    const char* what;
    const char* configured;
    const char* user_id;
    std::optional<std::string> header;
    std::optional<std::string> remote;
    bool ok;
    std::string logged;  // the end of the one line written, "" for none
  } cases[] = {
      {"owner, wrong header", "s3cret-admin-key", "usr_o", "wrong", "10.0.0.1", true, ""},
      {"admin, no header", "s3cret-admin-key", "usr_a", std::nullopt, "10.0.0.1", true, ""},
      {"user, right secret", "s3cret-admin-key", "usr_u", secret, "10.0.0.1", true, ""},
      {"nobody, right secret", "s3cret-admin-key", nullptr, secret, "10.0.0.1", true, ""},
      {"one byte changed", "s3cret-admin-key", "usr_u", changed, "10.0.0.1", false,
       mismatch + "10.0.0.1"},
      {"one byte longer", "s3cret-admin-key", "", secret + "x", "10.0.0.2", false,
       mismatch + "10.0.0.2"},
      {"one byte shorter", "s3cret-admin-key", nullptr, secret.substr(1), std::nullopt, false,
       mismatch + "unknown"},
      {"no header", "s3cret-admin-key", "usr_u", std::nullopt, "10.0.0.1", false, ""},
      {"empty header", "s3cret-admin-key", "usr_u", "", "10.0.0.1", false, ""},
      {"no secret configured", "", "usr_u", secret, "10.0.0.1", false, ""},
      {"unknown user, no header", "s3cret-admin-key", "usr_gone", std::nullopt, "10.0.0.1",
       false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv header("HTTP_X_IDENTITY_ADMIN", c.header);
    ScopedEnv remote("REMOTE_ADDR", c.remote);
    ScopedEnv forwarded("HTTP_X_FORWARDED_FOR", std::string("192.0.2.9"));
    id_config cfg;
    std::memset(&cfg, 0, sizeof cfg);
    std::strcpy(cfg.admin_secret, c.configured);
    const std::string before = server_log();
    EXPECT_EQ(id_api_admin_ok(&cfg, c.user_id), c.ok);
    std::string added = server_log().substr(before.size());
    if (c.logged.empty()) {
      EXPECT_EQ(added, "");
    } else {
      ASSERT_EQ(added.size(), 20 + c.logged.size() + 1) << added;
      EXPECT_EQ(added.substr(20), c.logged + "\n");
    }
    EXPECT_EQ(id_api_admin_ok(nullptr, nullptr), false);
  }
}

}  // namespace
