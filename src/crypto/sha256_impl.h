// Private to the crypto unit (and its tests and benchmarks): the SHA-256
// compression implementations and the choice between them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zeb_crypto {

// Runs the compression over nblocks consecutive 64-byte blocks, adding the result
// into state.
using Sha256Compress = void (*)(uint32_t state[8], const unsigned char* blocks, size_t nblocks);

// One way of running SHA-256 compressions. Every implementation gives results
// identical to every other on every input.
struct Sha256Impl {
  Sha256Compress compress;
  // Runs n PBKDF2-HMAC-SHA-256 iterations: each one hashes u (the previous U,
  // as eight words) under the HMAC key whose inner and outer chaining values are
  // given, as two compressions of one padded block, then stores the result in u
  // and XORs it into t.
  void (*pbkdf2_iterate)(const uint32_t inner[8], const uint32_t outer[8], uint32_t u[8],
                         uint32_t t[8], uint32_t n);
};

// Plain C++, for every machine.
extern const Sha256Impl kSha256Portable;

// The x86 SHA extensions implementation, or null when this CPU (or build) has none.
const Sha256Impl* sha256_impl_hardware();

// The implementation every hash of this unit uses: the hardware one when
// present, unless sha256_impl_select chose another. Never null.
const Sha256Impl* sha256_impl_active();

// Makes every hash of this unit use impl from now on (tests and benchmarks use
// it to pin one path); null goes back to the automatic choice. Not meant to be
// called while other threads are hashing.
void sha256_impl_select(const Sha256Impl* impl);

}  // namespace zeb_crypto
