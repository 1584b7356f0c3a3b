// Random bytes and random tokens from the kernel's secure source.
#include <cstdlib>
#include <memory>

#include "crypto.h"
#include "platform.h"

extern "C" {

int zeb_random_bytes(void* buf, int32_t len) {
  if (len < 0 || (!buf && len > 0)) return -1;
  return zeb_random_fill(buf, static_cast<size_t>(len)) == 0 ? 0 : -1;
}

int zeb_random_token(char* out, size_t out_cap, size_t nbytes) {
  // Every identifier in use fits the stack buffer; only larger requests allocate.
  unsigned char local[64];
  std::unique_ptr<unsigned char, decltype(&std::free)> heap(nullptr, &std::free);
  unsigned char* bytes = local;
  if (nbytes > sizeof local) {
    heap.reset(static_cast<unsigned char*>(std::malloc(nbytes)));
    if (!heap) return -1;
    bytes = heap.get();
  }
  // The encoder writes nothing when out is too small, so out is untouched on
  // every failure.
  int rc = -1;
  if (zeb_random_fill(bytes, nbytes) == 0)
    rc = zeb_base64url_encode(bytes, nbytes, out, out_cap) < 0 ? -1 : 0;
  zeb_wipe(bytes, nbytes);
  return rc;
}

}  // extern "C"
