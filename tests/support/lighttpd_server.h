// A real lighttpd with mod_cgi on a free loopback port, laid out by
// scripts/lighttpd-conf exactly as scripts/serve lays it out, for the tests that
// drive the programs over HTTP.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace lighttpd_test {

constexpr const char* kLighttpd = "/usr/sbin/lighttpd";

inline int free_port() {
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

inline bool port_open(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

inline bool installed() { return access(kLighttpd, X_OK) == 0; }

// Runs a shell command and returns everything it wrote to stdout and, in *status
// (may be null), its exit status (-1 when it did not exit normally).
inline std::string shell(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

inline std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// One server: start() lays out run_dir for the programs (each served at /<its
// file name>) and waits until the port answers; the destructor stops it.
class Server {
 public:
  Server() = default;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server() { stop(); }

  void start(const std::string& run_dir, const std::string& data_dir, const std::vector<std::string>& programs) {
    for (const std::string& p : programs) ASSERT_EQ(access(p.c_str(), X_OK), 0) << p << " is not built";
    port_ = free_port();
    std::string cmd = std::string(ZEB_SOURCE_DIR) + "/scripts/lighttpd-conf " + quoted(run_dir) + " " +
                      std::to_string(port_) + " " + quoted(data_dir);
    for (const std::string& p : programs) cmd += " " + quoted(p);
    int status = -1;
    std::string conf_path = shell(cmd, &status);
    ASSERT_EQ(status, 0) << cmd;
    conf_path.erase(conf_path.find_last_not_of('\n') + 1);
    pid_ = fork();
    if (pid_ == 0) {
      execl(kLighttpd, "lighttpd", "-D", "-f", conf_path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 400 && !port_open(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(port_open(port_)) << "lighttpd did not start";
  }

  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // curl's view of one request: the status line and headers as received, then the body.
  static std::string curl(const std::vector<std::string>& args) {
    std::string cmd = "curl -s -i --max-time 10";
    for (const std::string& a : args) cmd += " " + quoted(a);
    return shell(cmd);
  }

  static bool has_line(const std::string& response, const std::string& line) {
    return response.find(line + "\r\n") != std::string::npos;
  }

 private:
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace lighttpd_test
