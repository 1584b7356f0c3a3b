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
