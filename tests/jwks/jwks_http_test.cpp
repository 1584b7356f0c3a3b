// The public key set behind a real lighttpd, beside the end-session program, as
// scripts/serve serves it; a relying party written with python's cryptography
// fetches it and verifies ID tokens that the core signed in the same data directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "id_keys.h"
#include "identity_common.h"
#include "keys_internal.h"
#include "lighttpd_server.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using lighttpd_test::Server;

class JwksHttpTest : public TempDataDirTest {
 protected:
  void SetUp() override {
    zeb::keys_forget();
    if (!lighttpd_test::installed()) GTEST_SKIP() << "lighttpd is not installed (scripts/setup)";
    server.start(dir.root() + "/run", dir.data_dir(), {ZEB_PROGRAM, ZEB_END_SESSION});
  }
  void TearDown() override {
    server.stop();
    zeb::keys_forget();
  }

  std::string id_token(const char* sub) {
    char tok[4096];
    EXPECT_EQ(id_jwt_mint_id_token(server.base().c_str(), sub, "alice", "a@rp.test", "client_rp", nullptr, 600, tok,
                                   sizeof tok),
              0);
    return tok;
  }

  std::vector<std::string> verified(const std::vector<std::string>& tokens) {
    std::string cmd = "python3 " ZEB_SOURCE_DIR "/tests/jwks/jwks_verify.py " + server.base() + "/jwks " +
                      server.base() + " client_rp";
    for (const std::string& t : tokens) cmd += " " + t;
    return lines(command_output(cmd));
  }

  Server server;
};

TEST_F(JwksHttpTest, RelyingPartyVerifiesTokensOfTheActiveAndARetiredKey) {
  std::string before = id_token("usr_alice");
  char old_kid[24] = "";
  ASSERT_EQ(id_keys_get_active(nullptr, nullptr, old_kid, sizeof old_kid), 0);
  // Every request is a new process that reads keys.json, so the served set follows
  // the rotation at once.
  ASSERT_EQ(id_keys_rotate(), 0);
  char new_kid[24] = "";
  ASSERT_EQ(id_keys_get_active(nullptr, nullptr, new_kid, sizeof new_kid), 0);
  std::string after = id_token("usr_bob");
  std::string tampered = after;
  tampered[tampered.find('.') + 5] ^= 1;
  EXPECT_EQ(verified({before, after, tampered}),
            (std::vector<std::string>{"ok " + std::string(old_kid), "ok " + std::string(new_kid), "bad: signature"}));
}

TEST_F(JwksHttpTest, ServedBesideEndSessionWithItsHeaders) {
  std::string r = Server::curl({server.base() + "/jwks"});
  EXPECT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r;
  for (const char* line : {"Content-Type: application/json; charset=utf-8", "Cache-Control: public, max-age=300",
                           "X-Content-Type-Options: nosniff"}) {
    EXPECT_TRUE(Server::has_line(r, line)) << line << "\n" << r;
  }
  std::string body = r.substr(r.find("\r\n\r\n") + 4);
  EXPECT_EQ(body.rfind("{\"keys\":[{\"kty\":\"RSA\"", 0), 0u) << body;

  r = Server::curl({"-d", "x=1", server.base() + "/jwks"});
  EXPECT_EQ(r.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u) << r;
  EXPECT_TRUE(Server::has_line(r, "Allow: GET, HEAD")) << r;

  r = Server::curl({server.base() + "/end_session"});
  EXPECT_EQ(r.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << r;
  EXPECT_TRUE(Server::has_line(r, "Location: /login")) << r;

  // The programs' configuration is never served.
  r = Server::curl({"--path-as-is", server.base() + "/jwks/../config.json"});
  EXPECT_EQ(r.find("data_dir"), std::string::npos) << r;
}

}  // namespace
