#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "identity_common.h"
#include "platform.h"
#include "store.h"
#include "zeb_cgi.h"

namespace zeb {

int id_log_line(const char* fmt, ...) {
  char msg[2048];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);

  struct tm tm{};
  zeb_local_time(zeb_time_now(), &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string line = stamp;
  // Messages carry user-controlled text (names, addresses): a control byte must
  // never start a forged line of its own.
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(msg); *p; ++p) {
    if (*p < 0x20 || *p == 0x7F) {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02X", *p);
      line += esc;
    } else {
      line += static_cast<char>(*p);
    }
  }
  line += '\n';

  char path[1024];
  id_get_file_path("server.log", path, sizeof path);
  return zeb_file_append(path, line.data(), line.size());
}

}  // namespace zeb

extern "C" void id_client_ip(char* out, size_t cap) {
  if (!out || cap == 0) return;
  const char* remote = std::getenv("REMOTE_ADDR");
  if (remote && *remote) {
    zeb_strlcpy(out, remote, cap);
    return;
  }
  const char* fwd = std::getenv("HTTP_X_FORWARDED_FOR");
  if (fwd && *fwd) {
    char first[64];
    size_t n = std::strcspn(fwd, ",");
    if (n > sizeof first - 1) n = sizeof first - 1;
    std::memcpy(first, fwd, n);
    first[n] = '\0';
    zeb_rtrim(first);
    zeb_strlcpy(out, first, cap);
    return;
  }
  zeb_strlcpy(out, "?", cap);
}
