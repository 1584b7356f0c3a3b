#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto.h"
#include "fault.h"
#include "identity_common.h"
#include "run_program.h"

namespace {

std::string hex(const std::string& bytes) {
  std::string out(bytes.size() * 2 + 1, '\0');
  zeb_hex_encode(bytes.data(), bytes.size(), out.data(), out.size());
  out.pop_back();
  return out;
}

std::vector<std::string> python(const std::string& args) {
  return lines(command_output("python3 " ZEB_SOURCE_DIR "/tests/identity/password_interop.py " + args));
}

// Made by the same rule as our own strings but with 1 iteration, so that the many
// malformed variants below cost nothing to check.
std::string cheap_hash(const std::string& password) {
  return python("make " + hex(password) + " 1").at(0);
}

TEST(PasswordPolicy, RulesApplyInOrderWithTheirMessages) {
  struct Case {
    const char* username;
    std::string password;
    int rc;
    const char* msg;
  };
  const Case cases[] = {
      {nullptr, std::string(7, 'a'), -3, "password too short (min 8)"},
      {nullptr, std::string(8, 'a'), 0, ""},
      {nullptr, std::string(256, 'a'), 0, ""},
      {nullptr, std::string(257, 'a'), -3, "password too long (max 256)"},
      {nullptr, "", -3, "password too short (min 8)"},
      {"alice-smith", "alice-smith", -3, "password must differ from username"},
      {"alice-smith", "Alice-Smith", 0, ""},
      {"alice", "alice", -3, "password too short (min 8)"},  // length is checked first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password.substr(0, 20));
    char msg[64];
    std::strcpy(msg, "stale");
    EXPECT_EQ(id_password_policy(c.username, c.password.c_str(), msg, sizeof msg), c.rc);
    EXPECT_STREQ(msg, c.msg);
    EXPECT_EQ(id_password_policy(c.username, c.password.c_str(), nullptr, 0), c.rc);
  }
}

TEST(PasswordHash, MadeStringsVerifyHereAndWithPython) {
  const std::string password = "correct horse \xC3\xA9\xFF battery";
  char a[256], b[256];
  ASSERT_EQ(id_hash_password(password.c_str(), a, sizeof a), 0);
  ASSERT_EQ(id_hash_password(password.c_str(), b, sizeof b), 0);
  EXPECT_EQ(std::strlen(a), 111u);
  EXPECT_EQ(std::string(a).rfind("pbkdf2$100000$", 0), 0u);
  EXPECT_STRNE(a, b) << "every hash draws a fresh salt";
  EXPECT_EQ(std::string(a).find_first_not_of("pbkdf2$0123456789abcdef"), std::string::npos);

  EXPECT_TRUE(id_verify_password(password.c_str(), a));
  EXPECT_FALSE(id_verify_password("correct horse battery", a));
  EXPECT_EQ(python("verify " + hex(password) + " '" + a + "' '" + b + "'"),
            (std::vector<std::string>{"ok", "ok"}));
}

TEST(PasswordHash, PythonStringsVerifyWithTheirOwnCounts) {
  const std::string password = "s3cret-pass";
  for (const char* args : {" 1", " 1000", " 1 upper", " 100000 upper"}) {
    SCOPED_TRACE(args);
    std::string stored = python("make " + hex(password) + args).at(0);
    EXPECT_TRUE(id_verify_password(password.c_str(), stored.c_str())) << stored;
    EXPECT_FALSE(id_verify_password("s3cret-pasS", stored.c_str()));
  }
}

TEST(PasswordHash, MalformedStringsNeverVerify) {
  const std::string password = "s3cret-pass";
  const std::string good = cheap_hash(password);
  ASSERT_TRUE(id_verify_password(password.c_str(), good.c_str()));
  const std::string salt = good.substr(9, 32);
  const std::string key = good.substr(42);
  ASSERT_EQ(good, "pbkdf2$1$" + salt + "$" + key);

  const std::vector<std::string> bad = {
      "pbkdf2$1$" + salt.substr(1) + "$" + key,              // salt of 31
      "pbkdf2$1$" + salt + "0$" + key,                       // salt of 33
      "pbkdf2$1$" + salt + "$" + key.substr(1),              // hash of 63
      "pbkdf2$1$" + salt + "$" + key + "0",                  // hash of 65
      "pbkdf2$0$" + salt + "$" + key,                        // no iterations
      "pbkdf2$x$" + salt + "$" + key,                        // not a number
      "pbkdf2$$" + salt + "$" + key,                         // empty count
      "pbkdf2$+1$" + salt + "$" + key,                       // sign
      "pbkdf2$ 1$" + salt + "$" + key,                       // blank
      "pbkdf2$4294967297$" + salt + "$" + key,               // 2^32 + 1 would wrap to 1
      "pbkdf2$1x$" + salt + "$" + key,                       // junk after the count
      "PBKDF2$1$" + salt + "$" + key,                        // scheme in capitals
      "pbkdf3$1$" + salt + "$" + key,                        // other scheme
      "$1$" + salt + "$" + key,                              // no scheme
      "pbkdf2$1$" + salt.substr(0, 31) + "g$" + key,         // bad digit in the salt
      "pbkdf2$1$" + salt + "$" + key.substr(0, 63) + "g",    // bad digit in the hash
      "pbkdf2$1$" + salt + key + "$",                        // separator moved
      "pbkdf2$1$" + salt + "$" + key.substr(0, 32) + "$" + key.substr(33),
  };
  for (const std::string& s : bad) {
    SCOPED_TRACE(s);
    EXPECT_FALSE(id_verify_password(password.c_str(), s.c_str()));
  }
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_FALSE(id_verify_password(password.c_str(), good.substr(0, n).c_str())) << n;
  }
  EXPECT_FALSE(id_verify_password(nullptr, good.c_str()));
  EXPECT_FALSE(id_verify_password(password.c_str(), nullptr));
}

TEST(PasswordHash, RandomFailureWritesNothing) {
  PlatformFault seam;
  seam.ops().getrandom = fail_getrandom;
  char out[256] = "untouched";
  EXPECT_EQ(id_hash_password("long enough", out, sizeof out), -1);
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(id_hash_password(nullptr, out, sizeof out), -1);
  EXPECT_EQ(id_hash_password("long enough", nullptr, 0), -1);
}

}  // namespace
