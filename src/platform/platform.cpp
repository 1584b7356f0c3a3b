#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

long sys_write(int fd, const void* buf, size_t len) { return ::write(fd, buf, len); }
int sys_fsync(int fd) { return ::fsync(fd); }
int sys_close(int fd) { return ::close(fd); }
int sys_rename(const char* from, const char* to) { return ::rename(from, to); }
long sys_getrandom(void* buf, size_t len) { return ::getrandom(buf, len, 0); }
int64_t sys_time() { return static_cast<int64_t>(::time(nullptr)); }
int sys_open(const char* path, int flags, int mode) {
  return ::open(path, flags, static_cast<mode_t>(mode));
}
void sys_sleep_ms(int ms) {
  struct timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Writes all of len bytes, retrying short writes and EINTR.
int write_all(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    long n = g_platform.write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

std::string parent_dir(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (!slash) return ".";
  if (slash == path) return "/";
  return std::string(path, static_cast<size_t>(slash - path));
}

}  // namespace

extern "C" {

const zeb_platform_ops zeb_platform_default = {sys_write,    sys_fsync,     sys_close,
                                               sys_rename,   sys_getrandom, sys_time,
                                               sys_sleep_ms, sys_open};
zeb_platform_ops g_platform = zeb_platform_default;

int zeb_lock_open(const char* path) {
  return g_platform.open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

int zeb_lock_try(int fd) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  // Open-file-description locks: unlike classic record locks they survive the
  // closing of other descriptors of the same file, and two descriptors in one
  // process conflict with each other.
  if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
  if (errno == EAGAIN || errno == EACCES) return 1;
  return -1;
}

int zeb_lock_close(int fd) {
  if (fd < 0) return -1;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  ::fcntl(fd, F_OFD_SETLK, &fl);
  return g_platform.close(fd) == 0 ? 0 : -1;
}

void zeb_sleep_ms(int ms) { g_platform.sleep_ms(ms); }

int zeb_file_replace(const char* path, const char* tmp_path, const void* data, size_t len) {
  int fd = g_platform.open(tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  // A temporary file left by a process with another umask keeps its mode: force it.
  ::fchmod(fd, 0600);
  bool ok = write_all(fd, data, len) == 0 && g_platform.fsync(fd) == 0;
  // close() can report a failed deferred write, so it counts too.
  if (g_platform.close(fd) != 0) ok = false;
  if (ok && g_platform.rename(tmp_path, path) != 0) ok = false;
  if (!ok) {
    ::unlink(tmp_path);
    return -1;
  }
  // The rename lives in the directory: without this fsync a crash can bring the
  // old store back after the save was reported as done.
  int dfd = g_platform.open(parent_dir(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dfd < 0) return -1;
  bool dir_ok = g_platform.fsync(dfd) == 0;
  // Nothing was written through this descriptor: its close cannot lose data.
  g_platform.close(dfd);
  return dir_ok ? 0 : -1;
}

char* zeb_file_read(const char* path, size_t* len, bool* exists) {
  return zeb_file_read_max(path, SIZE_MAX, len, exists);
}

char* zeb_file_read_max(const char* path, size_t max, size_t* len, bool* exists) {
  if (len) *len = 0;
  if (exists) *exists = false;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (exists && errno != ENOENT && errno != ENOTDIR) *exists = true;
    return nullptr;
  }
  if (exists) *exists = true;
  struct stat st;
  bool sized = ::fstat(fd, &st) == 0 && st.st_size > 0;
  if (sized && static_cast<uint64_t>(st.st_size) > max) {
    ::close(fd);
    return nullptr;
  }
  size_t cap = sized ? static_cast<size_t>(st.st_size) + 1 : 4096;
  char* buf = static_cast<char*>(std::malloc(cap));
  size_t used = 0;
  while (buf) {
    if (used + 1 >= cap) {
      char* bigger = static_cast<char*>(std::realloc(buf, cap * 2));
      if (!bigger) {
        std::free(buf);
        buf = nullptr;
        break;
      }
      buf = bigger;
      cap *= 2;
    }
    ssize_t n = ::read(fd, buf + used, cap - used - 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::free(buf);
      buf = nullptr;
      break;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
    // A file that grew (or reports no size) is still held to the limit.
    if (used > max) {
      std::free(buf);
      buf = nullptr;
      break;
    }
  }
  ::close(fd);
  if (!buf) return nullptr;
  buf[used] = '\0';
  if (len) *len = used;
  return buf;
}

int zeb_file_keep(const char* path, const char* keep_path) {
  if (::link(path, keep_path) == 0) return 0;
  size_t len = 0;
  char* data = zeb_file_read(path, &len, nullptr);
  if (!data) return -1;
  int fd = g_platform.open(keep_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  int rc = -1;
  if (fd >= 0) {
    rc = (write_all(fd, data, len) == 0 && g_platform.fsync(fd) == 0) ? 0 : -1;
    if (g_platform.close(fd) != 0) rc = -1;
    if (rc != 0) ::unlink(keep_path);
  }
  std::free(data);
  return rc;
}

int zeb_file_append(const char* path, const void* data, size_t len) {
  int fd = g_platform.open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  int rc = write_all(fd, data, len);
  if (g_platform.close(fd) != 0) rc = -1;
  return rc;
}

int zeb_file_remove(const char* path) { return ::unlink(path) == 0 ? 0 : -1; }

int zeb_mkdir(const char* path) { return ::mkdir(path, 0700) == 0 ? 0 : -1; }

int zeb_random_fill(void* buf, size_t len) {
  unsigned char* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    long n = g_platform.getrandom(p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int64_t zeb_time_now(void) { return g_platform.time(); }

int zeb_local_time(int64_t t, struct tm* out) {
  time_t tt = static_cast<time_t>(t);
  return ::localtime_r(&tt, out) ? 0 : -1;
}

int zeb_ascii_casecmp(const char* a, const char* b) {
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
  for (;; ++a, ++b) {
    int ca = lower(static_cast<unsigned char>(*a)), cb = lower(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

}  // extern "C"
