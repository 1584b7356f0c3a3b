// The end-session program behind a real lighttpd with mod_cgi on a free loopback
// port, driven with curl the way a browser and a relying party would.
#include "lighttpd_server.h"
#include "signout_fixture.h"

namespace {

class LighttpdTest : public EndSessionTest {
 protected:
  void SetUp() override {
    EndSessionTest::SetUp();
    if (!lighttpd_test::installed()) GTEST_SKIP() << "lighttpd is not installed (scripts/setup)";
    server.start(dir.root() + "/run", dir.data_dir(), {ZEB_END_SESSION});
    port = server.port();
  }

  void TearDown() override { server.stop(); }

  std::string curl(const std::vector<std::string>& args) { return lighttpd_test::Server::curl(args); }

  std::string url(const std::string& query = "") {
    return server.base() + "/end_session" + (query.empty() ? "" : "?" + query);
  }

  static bool has_line(const std::string& response, const std::string& line) {
    return lighttpd_test::Server::has_line(response, line);
  }

  lighttpd_test::Server server;
  int port = 0;
};

TEST_F(LighttpdTest, BrowserSignOutRedirectsToTheRelyingParty) {
  std::string r = curl({"-H", "Cookie: id_session=" + session,
                        url("id_token_hint=" + hint + "&post_logout_redirect_uri=" + url_encoded(kUri) + "&state=s1")});
  std::string iss = url_encoded("http://127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(r.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << r;
  EXPECT_TRUE(has_line(r, "Location: " + kUri + "?state=s1&iss=" + iss)) << r;
  EXPECT_TRUE(has_line(r, kCookieLine)) << r;
  EXPECT_TRUE(has_line(r, "X-Content-Type-Options: nosniff")) << r;
  EXPECT_FALSE(session_exists(session));
  EXPECT_EQ(id_audit_count(), 1);
}

TEST_F(LighttpdTest, JsonSignOut) {
  std::string r = curl({"-H", "Cookie: id_session=" + session, "-H", "Accept: application/json", "-d", "",
                        url()});
  EXPECT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r;
  EXPECT_TRUE(has_line(r, "Content-Type: application/json; charset=utf-8")) << r;
  EXPECT_EQ(r.substr(r.find("\r\n\r\n") + 4), "{\"ok\":true,\"logged_out\":true}\n");
  EXPECT_FALSE(session_exists(session));
  EXPECT_TRUE(session_exists(other_session));
}

TEST_F(LighttpdTest, WithoutCookieGoesToLogin) {
  std::string r = curl({url()});
  EXPECT_EQ(r.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << r;
  EXPECT_TRUE(has_line(r, "Location: /login")) << r;
  EXPECT_EQ(r.substr(r.find("\r\n\r\n") + 4), "Redirecting to /login...\n");
}

}  // namespace
