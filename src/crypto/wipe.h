// Private to the crypto unit: clearing secrets from memory that is about to go
// out of scope.
#pragma once
#include <cstddef>
#include <cstring>

namespace zeb_crypto {

// Zeroes n bytes at p in a way the compiler may not drop as a dead store.
inline void wipe(void* p, size_t n) {
  std::memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

}  // namespace zeb_crypto
