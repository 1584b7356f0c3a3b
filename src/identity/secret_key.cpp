// secret.key: the 32-byte HS256 secret, created once and never changed.
#include <cstdlib>
#include <cstring>

#include "crypto.h"
#include "id_keys.h"
#include "platform.h"
#include "rsa_key.h"
#include "store.h"
#include "zeb_cgi.h"

namespace {

constexpr const char* kSecretFile = "secret.key";
constexpr size_t kSecretLen = 32;

// True when the file holds at least 32 bytes; they are copied to out. A shorter
// file counts as absent.
bool read_secret(const char* path, unsigned char* out) {
  size_t len = 0;
  char* data = zeb_file_read(path, &len, nullptr);
  if (!data) return false;
  bool ok = len >= kSecretLen;
  if (ok) std::memcpy(out, data, kSecretLen);
  zeb_wipe(data, len);
  std::free(data);
  return ok;
}

}  // namespace

extern "C" int id_get_secret_key(unsigned char out[32]) {
  char path[1024];
  id_get_file_path(kSecretFile, path, sizeof path);
  if (read_secret(path, out)) return 0;
  // Two processes that find no secret at once must not each make their own: the
  // first creates it under the lock, the other reads it once the lock is free.
  zeb::StoreLock lock;
  if (lock.acquire(kSecretFile, zeb::kStoreRetries) == 0) {
    if (read_secret(path, out)) return 0;
    char tmp[1040];
    zeb_snprintf(tmp, sizeof tmp, "%s.tmp", path);
    if (zeb_random_bytes(out, kSecretLen) == 0 && zeb_file_replace(path, tmp, out, kSecretLen) == 0) {
      return 0;
    }
  }
  zeb_wipe(out, kSecretLen);
  return -1;
}
