// The POSIX seam: every system call the rest of the code needs goes through here,
// so that no other unit includes <fcntl.h>, <unistd.h> or <sys/random.h>, and so
// that tests can make single calls fail through g_platform.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

extern "C" {

// The raw calls behind the seam. Tests replace entries to inject failures and
// restore them afterwards (see tests/support/fault.h). Each has the POSIX contract
// of the call it is named after.
struct zeb_platform_ops {
  long (*write)(int fd, const void* buf, size_t len);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  long (*getrandom)(void* buf, size_t len);  // bytes produced, or -1 with errno
  int64_t (*time)(void);
  void (*sleep_ms)(int ms);  // between lock attempts
  // Opens of the files a store change writes: the lock file, the temporary file,
  // the directory for its fsync, a kept copy and server.log (readers open directly).
  int (*open)(const char* path, int flags, int mode);
};
extern zeb_platform_ops g_platform;
// The real calls, for restoring g_platform.
extern const zeb_platform_ops zeb_platform_default;

// Opens (creating with mode 0600) a lock file; returns a descriptor or -1.
int zeb_lock_open(const char* path);
// Tries once to take an exclusive open-file-description lock on byte 0 of fd.
// Returns 0 when taken, 1 when another descriptor holds it, -1 on any other error.
int zeb_lock_try(int fd);
// Drops the lock on byte 0 (if held) and closes fd. Returns 0 or -1.
int zeb_lock_close(int fd);
void zeb_sleep_ms(int ms);

// Writes data to tmp_path (mode 0600), fsyncs and closes it, renames it over path
// and fsyncs the directory. Returns 0 only when all of that succeeded; on any
// failure tmp_path is removed, path is untouched, and -1 is returned.
int zeb_file_replace(const char* path, const char* tmp_path, const void* data, size_t len);

// Reads a whole file into a new malloc'd buffer with a NUL after the data (caller
// frees). Returns null when the file is missing or unreadable; *exists tells
// whether it existed (may be null).
char* zeb_file_read(const char* path, size_t* len, bool* exists);

// zeb_file_read for files of at most max bytes: a larger file reads as null (with
// *exists true).
char* zeb_file_read_max(const char* path, size_t max, size_t* len, bool* exists);

// Keeps an extra name for path at keep_path (a hard link, or a copy where links
// are not possible). Returns 0 or -1. path itself is not changed.
int zeb_file_keep(const char* path, const char* keep_path);

// Appends one block of bytes to a file (created with mode 0600) with one write.
// Returns 0, or -1 when the file cannot be opened or written.
int zeb_file_append(const char* path, const void* data, size_t len);

// Removes a file; returns 0 or -1.
int zeb_file_remove(const char* path);

// Creates one directory with mode 0700; returns 0, or -1 (errno set; EEXIST when it exists).
int zeb_mkdir(const char* path);

// Fills buf with len bytes from the kernel's secure random source, looping over
// short reads and EINTR. Returns 0, or -1 when the source fails (nothing weaker
// is ever used instead).
int zeb_random_fill(void* buf, size_t len);

// Seconds since the epoch, through the seam.
int64_t zeb_time_now(void);
// Local broken-down time of t; returns 0 or -1.
int zeb_local_time(int64_t t, struct tm* out);

// ASCII-only case-insensitive comparison (never locale-dependent): <0, 0, >0.
int zeb_ascii_casecmp(const char* a, const char* b);

}  // extern "C"
