// Swaps entries of the platform seam for the lifetime of a scope, so that a test
// can make one system call fail and be sure the real one comes back.
#pragma once
#include <cerrno>

#include "platform.h"

class PlatformFault {
 public:
  PlatformFault() = default;
  PlatformFault(const PlatformFault&) = delete;
  PlatformFault& operator=(const PlatformFault&) = delete;
  ~PlatformFault() { g_platform = zeb_platform_default; }
  zeb_platform_ops& ops() { return g_platform; }
};

// Replacements that fail the way the kernel would.
inline long fail_write(int, const void*, size_t) { errno = ENOSPC; return -1; }
inline int fail_fsync(int) { errno = EIO; return -1; }
inline int fail_close(int fd) { zeb_platform_default.close(fd); errno = EIO; return -1; }
inline int fail_rename(const char*, const char*) { errno = EXDEV; return -1; }
inline long fail_getrandom(void*, size_t) { errno = ENOSYS; return -1; }
// Lock retries without the waits: a lock held elsewhere fails at once.
inline void no_sleep(int) {}

// Each step of a durable save, made to fail in turn.
struct SaveFault {
  const char* what;
  void (*inject)(zeb_platform_ops&);
};
inline constexpr SaveFault kSaveFaults[] = {
    {"write", [](zeb_platform_ops& o) { o.write = fail_write; }},
    {"fsync", [](zeb_platform_ops& o) { o.fsync = fail_fsync; }},
    {"close", [](zeb_platform_ops& o) { o.close = fail_close; }},
    {"rename", [](zeb_platform_ops& o) { o.rename = fail_rename; }},
};

// Makes the Nth call through the seam fail, counting every call that can fail
// (open, write, fsync, close, rename, getrandom; the clock and the lock waits pass
// through uncounted). The calls are forwarded to the entries installed before it
// (a fake clock stays), which come back when it goes out of scope.
//   transient: only call N fails; persistent: call N and every later one.
//   Flavor::Hard: open EACCES, write ENOSPC, fsync EIO, close EIO, rename EXDEV,
//                 getrandom EIO.
//   Flavor::Soft: open EMFILE, write short (half the bytes, at least one),
//                 fsync ENOSPC, close EIO, rename EACCES, getrandom short (half).
// A failing close still closes the descriptor, as Linux does.
class FailNth {
 public:
  enum class Flavor { Hard, Soft };

  FailNth(long n, bool persistent, Flavor flavor = Flavor::Hard) {
    State& s = state();
    s.inner = g_platform;
    s.n = n;
    s.persistent = persistent;
    s.flavor = flavor;
    s.calls = 0;
    s.hits = 0;
    g_platform.open = c_open;
    g_platform.write = c_write;
    g_platform.fsync = c_fsync;
    g_platform.close = c_close;
    g_platform.rename = c_rename;
    g_platform.getrandom = c_getrandom;
  }
  FailNth(const FailNth&) = delete;
  FailNth& operator=(const FailNth&) = delete;
  ~FailNth() { g_platform = state().inner; }

  // Counted calls so far, and how many of them were made to fail (or cut short).
  long calls() const { return state().calls; }
  long hits() const { return state().hits; }

 private:
  struct State {
    zeb_platform_ops inner;
    long n = 0;
    bool persistent = false;
    Flavor flavor = Flavor::Hard;
    long calls = 0;
    long hits = 0;
  };
  static State& state() {
    static State s;
    return s;
  }
  // Counts one call; true when this one is to fail.
  static bool strike() {
    State& s = state();
    long k = ++s.calls;
    bool fail = s.persistent ? k >= s.n : k == s.n;
    if (fail) ++s.hits;
    return fail;
  }
  static bool soft() { return state().flavor == Flavor::Soft; }

  static int c_open(const char* path, int flags, int mode) {
    if (!strike()) return state().inner.open(path, flags, mode);
    errno = soft() ? EMFILE : EACCES;
    return -1;
  }
  static long c_write(int fd, const void* buf, size_t len) {
    if (!strike()) return state().inner.write(fd, buf, len);
    if (soft()) return state().inner.write(fd, buf, len > 1 ? len / 2 : len);
    errno = ENOSPC;
    return -1;
  }
  static int c_fsync(int fd) {
    if (!strike()) return state().inner.fsync(fd);
    errno = soft() ? ENOSPC : EIO;
    return -1;
  }
  static int c_close(int fd) {
    if (!strike()) return state().inner.close(fd);
    state().inner.close(fd);
    errno = EIO;
    return -1;
  }
  static int c_rename(const char* from, const char* to) {
    if (!strike()) return state().inner.rename(from, to);
    errno = soft() ? EACCES : EXDEV;
    return -1;
  }
  static long c_getrandom(void* buf, size_t len) {
    if (!strike()) return state().inner.getrandom(buf, len);
    if (soft()) return state().inner.getrandom(buf, len > 1 ? len / 2 : len);
    errno = EIO;
    return -1;
  }
};
