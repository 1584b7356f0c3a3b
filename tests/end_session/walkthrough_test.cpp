// scripts/walkthrough against a real lighttpd serving the end-session program,
// with the admin program doing the operator's part.
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lighttpd_server.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

// The admin program is a target exactly when src/admin has sources.
bool admin_target_exists() {
  glob_t g{};
  bool found = glob(ZEB_SOURCE_DIR "/src/admin/*.cpp", 0, nullptr, &g) == 0 && g.gl_pathc > 0;
  globfree(&g);
  return found;
}

class WalkthroughTest : public TempDataDirTest {
 protected:
  void SetUp() override {
    if (!lighttpd_test::installed()) GTEST_SKIP() << "lighttpd is not installed (scripts/setup)";
    if (!admin_target_exists()) GTEST_SKIP() << "there is no identity-admin target (no sources in src/admin)";
    ASSERT_EQ(access(kAdmin, X_OK), 0) << kAdmin << " is not built: build the identity-admin target";
    server.start(dir.root() + "/run", dir.data_dir(), {ZEB_END_SESSION, kJwks});
  }

  std::string walkthrough(const std::string& data_dir, int* status) {
    return lighttpd_test::shell(std::string(ZEB_SOURCE_DIR) + "/scripts/walkthrough --port " +
                                    std::to_string(server.port()) + " --data " + lighttpd_test::quoted(data_dir) +
                                    " --admin " + lighttpd_test::quoted(kAdmin) + " 2>&1",
                                status);
  }

  static constexpr const char* kAdmin = ZEB_BINARY_DIR "/identity-admin";
  static constexpr const char* kJwks = ZEB_BINARY_DIR "/jwks";
  lighttpd_test::Server server;
};

TEST_F(WalkthroughTest, SignsOutThroughTheServer) {
  int status = -1;
  std::string out = walkthrough(dir.data_dir(), &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Location: https://rp.walkthrough.test/after-logout?state=walk-"), std::string::npos) << out;
  EXPECT_NE(out.find("walkthrough: all 9 steps passed\n"), std::string::npos) << out;

  // The relying party's view: the token the walkthrough minted verifies with the
  // key set fetched from the server.
  std::string client_id, token;
  for (const std::string& line : lines(out)) {
    if (line.rfind("   client id ", 0) == 0) client_id = line.substr(13);
    if (line.rfind("   token ", 0) == 0) token = line.substr(9);
  }
  ASSERT_FALSE(client_id.empty()) << out;
  ASSERT_FALSE(token.empty()) << out;
  std::vector<std::string> verdict =
      lines(command_output("python3 " ZEB_SOURCE_DIR "/tests/jwks/jwks_verify.py " + server.base() +
                           "/jwks " + server.base() + " " + client_id + " " + token));
  ASSERT_EQ(verdict.size(), 1u);
  EXPECT_EQ(verdict[0].rfind("ok ", 0), 0u) << verdict[0];
}

TEST_F(WalkthroughTest, StopsAtTheSignOutThatDidNotRedirect) {
  // The server keeps its own data directory, so it knows neither the session nor
  // the client that the walkthrough makes here.
  std::string elsewhere = dir.root() + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  int status = -1;
  std::string out = walkthrough(elsewhere, &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("Location: /login\n"), std::string::npos) << out;
  EXPECT_NE(out.find("walkthrough: FAILED at step 7: expected Location: "), std::string::npos) << out;
  EXPECT_EQ(out.find("step 8"), std::string::npos) << out;
}

}  // namespace
