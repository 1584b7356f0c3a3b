#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "fault.h"
#include "identity_common.h"
#include "store.h"
#include "temp_dir.h"

namespace {

class LogTest : public TempDataDirTest {};

TEST_F(LogTest, AppendsTimeStampedLines) {
  EXPECT_EQ(zeb::id_log_line("count %d", 5), 0);
  EXPECT_EQ(zeb::id_log_line("second"), 0);
  std::string log = TempDataDir::read_file(dir.path("server.log"));
  EXPECT_TRUE(std::regex_match(log, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d count 5\n)"
                                               R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d second\n)")))
      << log;
}

TEST_F(LogTest, TimeStampIsLocalTimeOfTheClock) {
  PlatformFault f;
  f.ops().time = [] { return int64_t{86400 * 365}; };
  zeb::id_log_line("x");
  time_t t = 86400 * 365;
  struct tm tm{};
  localtime_r(&t, &tm);
  char want[64];
  strftime(want, sizeof want, "%Y-%m-%d %H:%M:%S x\n", &tm);
  EXPECT_EQ(TempDataDir::read_file(dir.path("server.log")), want);
}

TEST_F(LogTest, ControlBytesCannotForgeLines) {
  zeb::id_log_line("user %s failed", "eve\n2026-01-01 00:00:00 SECURITY: fake\r\x7f\x01");
  std::string log = TempDataDir::read_file(dir.path("server.log"));
  EXPECT_EQ(log.substr(20), "user eve\\x0A2026-01-01 00:00:00 SECURITY: fake\\x0D\\x7F\\x01 failed\n");
}

TEST_F(LogTest, UnwritableLogIsSilent) {
  // A directory where the log file should be makes the open fail.
  mkdir(dir.path("server.log").c_str(), 0700);
  EXPECT_NE(zeb::id_log_line("lost"), 0);
}

TEST(ClientIp, AddressSources) {
  struct Case {
    const char* remote;
    const char* forwarded;
    size_t cap;
    std::string want;
  } cases[] = {
      {"10.0.0.1", "1.2.3.4", 64, "10.0.0.1"},
      {nullptr, "1.2.3.4, 5.6.7.8", 64, "1.2.3.4"},
      {"", " 1.2.3.4 \t,x", 64, " 1.2.3.4"},
      {nullptr, nullptr, 64, "?"},
      {nullptr, "", 64, "?"},
      {"10.0.0.1", nullptr, 5, "10.0"},
  };
  std::string long_fwd(100, '7');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    c.remote ? setenv("REMOTE_ADDR", c.remote, 1) : unsetenv("REMOTE_ADDR");
    c.forwarded ? setenv("HTTP_X_FORWARDED_FOR", c.forwarded, 1) : unsetenv("HTTP_X_FORWARDED_FOR");
    char out[80];
    memset(out, 'M', sizeof out);
    id_client_ip(out, c.cap);
    EXPECT_EQ(std::string(out), c.want);
    EXPECT_EQ(out[c.cap], 'M');
  }
  unsetenv("REMOTE_ADDR");
  setenv("HTTP_X_FORWARDED_FOR", long_fwd.c_str(), 1);
  char out[128];
  id_client_ip(out, sizeof out);
  EXPECT_EQ(std::string(out), std::string(63, '7'));
  unsetenv("HTTP_X_FORWARDED_FOR");
  id_client_ip(nullptr, 10);  // must not crash
}

}  // namespace
