#include <cstring>
#include <iterator>

#include "identity_common.h"
#include "platform.h"
#include "zeb_cgi.h"

namespace {

constexpr const char* kNotAbsolute = "redirect_uri must be an absolute http:// or https:// URL";

int refuse(const char* why, char* msg, size_t msg_cap) {
  if (msg && msg_cap) zeb_strlcpy(msg, why, msg_cap);
  return -3;
}

// Length of "http://" or "https://" (scheme letters in any case) at the start of
// uri, or 0 when it starts with neither.
size_t scheme_prefix_len(const char* uri) {
  size_t n = std::strcspn(uri, ":");
  if (n != 4 && n != 5) return 0;
  char scheme[6];
  std::memcpy(scheme, uri, n);
  scheme[n] = '\0';
  bool web = zeb_ascii_casecmp(scheme, "http") == 0 || zeb_ascii_casecmp(scheme, "https") == 0;
  return web && std::strncmp(uri + n, "://", 3) == 0 ? n + 3 : 0;
}

}  // namespace

extern "C" {

int id_redirect_uri_check(const char* uri, char* msg, size_t msg_cap) {
  if (msg && msg_cap) msg[0] = '\0';
  if (!uri || !*uri) return refuse(kNotAbsolute, msg, msg_cap);
  size_t prefix = scheme_prefix_len(uri);
  if (prefix == 0) return refuse(kNotAbsolute, msg, msg_cap);
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(uri); *p; ++p) {
    if (*p <= 0x20 || *p == 0x7F) return refuse("redirect_uri must not contain whitespace", msg, msg_cap);
  }
  if (std::strchr(uri, '#')) return refuse("redirect_uri must not contain a fragment (#...)", msg, msg_cap);
  char host_start = uri[prefix];
  if (host_start == '\0' || host_start == '/' || host_start == ':' || host_start == '?')
    return refuse(kNotAbsolute, msg, msg_cap);
  return 0;
}

bool id_client_validate_redirect_uri(const id_client* client, const char* uri) {
  if (!client || !uri || !*uri) return false;
  int32_t n = client->redirect_uri_count;
  const int32_t slots = static_cast<int32_t>(std::size(client->redirect_uris));
  if (n > slots) n = slots;
  for (int32_t i = 0; i < n; ++i) {
    if (std::strcmp(client->redirect_uris[i], uri) == 0) return true;
  }
  return false;
}

}  // extern "C"
