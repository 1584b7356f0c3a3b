// Password rules and the self-describing PBKDF2 hash strings of users.json:
// "pbkdf2$<iterations>$<32 hex digits of salt>$<64 hex digits of key>".
#include <cstring>
#include <string_view>

#include "crypto.h"
#include "identity_common.h"
#include "zeb_cgi.h"

namespace {

constexpr size_t kMinPassword = 8;
constexpr size_t kMaxPassword = 256;
constexpr int32_t kIterations = 100000;
constexpr size_t kSaltLen = 16;
constexpr size_t kKeyLen = 32;
constexpr std::string_view kScheme = "pbkdf2$";

void set_msg(char* msg, size_t cap, const char* text) {
  if (msg && cap) zeb_strlcpy(msg, text, cap);
}

// The stored iteration count: decimal digits only, 1 to INT32_MAX (what the
// derivation takes). Anything else, including a count that would wrap, is refused.
bool parse_iterations(std::string_view digits, int32_t* out) {
  if (digits.empty()) return false;
  int64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
    if (n > INT32_MAX) return false;
  }
  if (n == 0) return false;
  *out = static_cast<int32_t>(n);
  return true;
}

}  // namespace

extern "C" {

int id_password_policy(const char* username, const char* password, char* msg, size_t msg_cap) {
  size_t len = password ? std::strlen(password) : 0;
  if (len < kMinPassword) {
    set_msg(msg, msg_cap, "password too short (min 8)");
    return -3;
  }
  if (len > kMaxPassword) {
    set_msg(msg, msg_cap, "password too long (max 256)");
    return -3;
  }
  if (username && std::strcmp(username, password) == 0) {
    set_msg(msg, msg_cap, "password must differ from username");
    return -3;
  }
  set_msg(msg, msg_cap, "");
  return 0;
}

int id_hash_password(const char* password, char* out, size_t cap) {
  if (!password || !out) return -1;
  unsigned char salt[kSaltLen];
  unsigned char key[kKeyLen];
  if (zeb_random_bytes(salt, sizeof salt) != 0) return -1;
  int rc = zeb_pbkdf2_sha256(password, std::strlen(password), salt, sizeof salt, kIterations, key,
                             sizeof key);
  if (rc == 0) {
    char salt_hex[2 * kSaltLen + 1];
    char key_hex[2 * kKeyLen + 1];
    zeb_hex_encode(salt, sizeof salt, salt_hex, sizeof salt_hex);
    zeb_hex_encode(key, sizeof key, key_hex, sizeof key_hex);
    zeb_snprintf(out, cap, "pbkdf2$100000$%s$%s", salt_hex, key_hex);
    zeb_wipe(key_hex, sizeof key_hex);
  }
  zeb_wipe(key, sizeof key);
  return rc == 0 ? 0 : -1;
}

bool id_verify_password(const char* password, const char* stored) {
  if (!password || !stored) return false;
  std::string_view s = stored;
  if (!s.starts_with(kScheme)) return false;
  s.remove_prefix(kScheme.size());
  size_t dollar = s.find('$');
  int32_t iterations = 0;
  if (dollar == std::string_view::npos || !parse_iterations(s.substr(0, dollar), &iterations))
    return false;
  s.remove_prefix(dollar + 1);
  if (s.size() != 2 * kSaltLen + 1 + 2 * kKeyLen || s[2 * kSaltLen] != '$') return false;
  unsigned char salt[kSaltLen];
  unsigned char expected[kKeyLen];
  if (zeb_hex_decode(s.data(), 2 * kSaltLen, salt, sizeof salt) != static_cast<int>(kSaltLen) ||
      zeb_hex_decode(s.data() + 2 * kSaltLen + 1, 2 * kKeyLen, expected, sizeof expected) !=
          static_cast<int>(kKeyLen))
    return false;
  unsigned char derived[kKeyLen];
  bool ok = zeb_pbkdf2_sha256(password, std::strlen(password), salt, sizeof salt, iterations,
                              derived, sizeof derived) == 0 &&
            zeb_ct_equal(derived, sizeof derived, expected, sizeof expected);
  zeb_wipe(derived, sizeof derived);
  return ok;
}

}  // extern "C"
