#include "run_program.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  bool open() { return ::pipe2(fd, O_CLOEXEC) == 0; }
  void close_end(int i) {
    if (fd[i] >= 0) ::close(fd[i]);
    fd[i] = -1;
  }
  ~Pipe() {
    close_end(0);
    close_end(1);
  }
};

// Forks; the child gets the pipes as fds 0, 1 and 2 and runs child_main, which must
// not return normally. The parent feeds stdin and drains both outputs together
// (poll), so that neither side blocks on a full pipe, then reaps the child.
ProgramResult run_child(const std::function<void()>& child_main, const std::string& stdin_data) {
  ProgramResult r{-1, "", ""};
  Pipe in, out, err;
  if (!in.open() || !out.open() || !err.open()) return r;
  std::fflush(nullptr);  // so that buffered parent output is not written twice
  pid_t pid = ::fork();
  if (pid < 0) return r;
  if (pid == 0) {
    if (::dup2(in.fd[0], 0) < 0 || ::dup2(out.fd[1], 1) < 0 || ::dup2(err.fd[1], 2) < 0) ::_exit(127);
    // Without an exec nothing closes the parent's ends; an open write end of the
    // stdin pipe would keep the child from ever seeing the end of its input.
    for (Pipe* p : {&in, &out, &err}) {
      for (int i = 0; i < 2; ++i) {
        if (p->fd[i] > 2) p->close_end(i);
      }
    }
    child_main();
    ::_exit(127);
  }
  in.close_end(0);
  out.close_end(1);
  err.close_end(1);
  // A child that exits without reading its input must not kill us with SIGPIPE.
  struct sigaction ignore{}, old{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  // Non-blocking, so that a large write cannot stall while the child waits for us
  // to drain its output.
  ::fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
  size_t written = 0;
  if (stdin_data.empty()) in.close_end(1);
  while (out.fd[0] >= 0 || err.fd[0] >= 0) {
    pollfd fds[3] = {{in.fd[1], POLLOUT, 0}, {out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      ssize_t n = ::write(in.fd[1], stdin_data.data() + written, stdin_data.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == stdin_data.size()) in.close_end(1);
    }
    Pipe* sources[2] = {&out, &err};
    std::string* sinks[2] = {&r.out, &r.err};
    for (int i = 0; i < 2; ++i) {
      if (!fds[i + 1].revents) continue;
      char buf[65536];
      ssize_t n = ::read(sources[i]->fd[0], buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        sources[i]->close_end(0);
      }
    }
  }
  in.close_end(1);
  ::sigaction(SIGPIPE, &old, nullptr);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) r.exit_code = 128 + WTERMSIG(status);
  return r;
}

}  // namespace

ProgramResult run_program(const std::string& path, const std::vector<std::string>& env,
                          const std::string& stdin_data, const std::string& cwd,
                          const std::vector<std::string>& args) {
  // Built before the fork: the child only makes async-signal-safe calls.
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return run_child(
      [&] {
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
        ::execve(path.c_str(), argv.data(), envp.data());
      },
      stdin_data);
}

ProgramResult run_in_child(const std::function<int()>& fn, const std::string& stdin_data) {
  return run_child(
      [&] {
        int code = fn();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(code);
      },
      stdin_data);
}

void set_environment(const std::vector<std::string>& env) {
  ::clearenv();
  for (const std::string& e : env) {
    size_t eq = e.find('=');
    if (eq == std::string::npos) continue;
    ::setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
  }
}

std::string command_output(const std::string& cmd) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) {
    ADD_FAILURE() << "cannot run " << cmd;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  EXPECT_EQ(::pclose(p), 0) << cmd;
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}
