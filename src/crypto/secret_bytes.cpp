#include "crypto.h"

extern "C" bool zeb_ct_equal(const void* a, size_t a_len, const void* b, size_t b_len) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  size_t n = a_len > b_len ? a_len : b_len;
  // Every position up to the longer length is visited (the shorter side reads as 0
  // past its end) and the differences are decided once at the end, so the time
  // taken tells nothing about where the texts part. The empty asm keeps the
  // compiler from turning the loop into an early exit once diff is non-zero.
  unsigned diff = a_len != b_len;
  for (size_t i = 0; i < n; ++i) {
    unsigned char p = i < a_len ? x[i] : 0;
    unsigned char q = i < b_len ? y[i] : 0;
    diff |= static_cast<unsigned>(p ^ q);
    __asm__ volatile("" : "+r"(diff));
  }
  return diff == 0;
}
