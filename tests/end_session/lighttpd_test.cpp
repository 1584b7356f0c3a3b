// The end-session program behind a real lighttpd with mod_cgi on a free loopback
// port, driven with curl the way a browser and a relying party would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "signout_fixture.h"

namespace {

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool port_open(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

class LighttpdTest : public EndSessionTest {
 protected:
  void SetUp() override {
    EndSessionTest::SetUp();
    if (access("/usr/sbin/lighttpd", X_OK) != 0) GTEST_SKIP() << "lighttpd is not installed (scripts/setup)";
    port = free_port();
    std::string run_dir = dir.root() + "/run";
    // scripts/lighttpd-conf lays out the serving directory exactly as scripts/serve does.
    std::string cmd = std::string(ZEB_SOURCE_DIR) + "/scripts/lighttpd-conf '" + run_dir + "' " +
                      std::to_string(port) + " '" + dir.data_dir() + "' '" + ZEB_END_SESSION + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[2048] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    ASSERT_EQ(pclose(p), 0);
    std::string conf_path = line;
    conf_path.erase(conf_path.find_last_not_of('\n') + 1);
    server = fork();
    if (server == 0) {
      execl("/usr/sbin/lighttpd", "lighttpd", "-D", "-f", conf_path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 400 && !port_open(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(port_open(port)) << "lighttpd did not start";
  }

  void TearDown() override {
    if (server > 0) {
      kill(server, SIGTERM);
      waitpid(server, nullptr, 0);
    }
  }

  // curl's view of one request: the status line and headers as received, then the body.
  std::string curl(const std::vector<std::string>& args) {
    std::string cmd = "curl -s -i --max-time 10";
    for (const std::string& a : args) cmd += " '" + a + "'";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
  }

  std::string url(const std::string& query = "") {
    return "http://127.0.0.1:" + std::to_string(port) + "/end_session" + (query.empty() ? "" : "?" + query);
  }

  static bool has_line(const std::string& response, const std::string& line) {
    return response.find(line + "\r\n") != std::string::npos;
  }

  int port = 0;
  pid_t server = -1;
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
