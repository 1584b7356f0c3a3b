// SHA-256 compression (FIPS 180-4 section 6.2.2): a portable word-oriented
// version and one for the x86 SHA extensions, chosen once at run time.
#include <atomic>

#include "crypto.h"
#include "sha256_impl.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ZEB_SHA256_X86 1
#endif

namespace zeb_crypto {
namespace {

alignas(16) constexpr uint32_t k256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t ror(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

// The eight working variables rotate through the macro's parameters instead of
// being moved, and the schedule lives in a 16-word ring (word i replaces word
// i - 16), computed in the round that first needs it. Each sum of three
// rotations is written as nested rotations (fewer register copies on machines
// with two-operand rotates), and Maj(a, b, c) as b ^ ((a ^ b) & (b ^ c)), where
// b ^ c is the previous round's a ^ b.
#define ZEB_SHA256_ROUND(a, b, c, d, e, f, g, h, i)                                  \
  do {                                                                               \
    if ((i) >= 16) {                                                                 \
      const uint32_t w15 = w[((i) - 15) & 15], w2 = w[((i) - 2) & 15];               \
      w[(i) & 15] += (ror(w15 ^ ror(w15, 11), 7) ^ (w15 >> 3)) + w[((i) - 7) & 15] + \
                     (ror(w2 ^ ror(w2, 2), 17) ^ (w2 >> 10));                        \
    }                                                                                \
    h += ror(e ^ ror(e ^ ror(e, 14), 5), 6) + (g ^ (e & (f ^ g))) + k256[i] +        \
         w[(i) & 15];                                                                \
    d += h;                                                                          \
    const uint32_t ab = a ^ b;                                                       \
    h += ror(a ^ ror(a ^ ror(a, 9), 11), 2) + (b ^ (ab & bc));                       \
    bc = ab;                                                                         \
  } while (0)

#define ZEB_SHA256_EIGHT(j)                          \
  do {                                               \
    ZEB_SHA256_ROUND(a, b, c, d, e, f, g, h, j + 0); \
    ZEB_SHA256_ROUND(h, a, b, c, d, e, f, g, j + 1); \
    ZEB_SHA256_ROUND(g, h, a, b, c, d, e, f, j + 2); \
    ZEB_SHA256_ROUND(f, g, h, a, b, c, d, e, j + 3); \
    ZEB_SHA256_ROUND(e, f, g, h, a, b, c, d, j + 4); \
    ZEB_SHA256_ROUND(d, e, f, g, h, a, b, c, j + 5); \
    ZEB_SHA256_ROUND(c, d, e, f, g, h, a, b, j + 6); \
    ZEB_SHA256_ROUND(b, c, d, e, f, g, h, a, j + 7); \
  } while (0)

namespace {

// One compression of the message words w (consumed as the schedule).
__attribute__((always_inline)) inline void compress_words(uint32_t state[8], uint32_t w[16]) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint32_t bc = b ^ c;
  ZEB_SHA256_EIGHT(0);
  ZEB_SHA256_EIGHT(8);
  ZEB_SHA256_EIGHT(16);
  ZEB_SHA256_EIGHT(24);
  ZEB_SHA256_EIGHT(32);
  ZEB_SHA256_EIGHT(40);
  ZEB_SHA256_EIGHT(48);
  ZEB_SHA256_EIGHT(56);
  state[0] += a; state[1] += b; state[2] += c; state[3] += d;
  state[4] += e; state[5] += f; state[6] += g; state[7] += h;
}

#undef ZEB_SHA256_EIGHT
#undef ZEB_SHA256_ROUND

void compress_portable(uint32_t state[8], const unsigned char* blocks, size_t nblocks) {
  for (; nblocks > 0; --nblocks, blocks += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(blocks + 4 * i);
    compress_words(state, w);
  }
}

// After the first iteration HMAC hashes a 32-byte message behind a key block,
// so words 8..15 of the block are always its padding and length (768 bits).
constexpr uint32_t kDigestPadding[8] = {0x80000000, 0, 0, 0, 0, 0, 0, 768};

void pbkdf2_iterate_portable(const uint32_t inner[8], const uint32_t outer[8], uint32_t u[8],
                             uint32_t t[8], uint32_t n) {
  uint32_t w[16], s[8];
  for (; n > 0; --n) {
    for (int i = 0; i < 8; ++i) w[i] = u[i], w[8 + i] = kDigestPadding[i], s[i] = inner[i];
    compress_words(s, w);
    for (int i = 0; i < 8; ++i) w[i] = s[i], w[8 + i] = kDigestPadding[i], u[i] = outer[i];
    compress_words(u, w);
    for (int i = 0; i < 8; ++i) t[i] ^= u[i];
  }
  zeb_wipe(w, sizeof w);
  zeb_wipe(s, sizeof s);
}

}  // namespace

const Sha256Impl kSha256Portable = {compress_portable, pbkdf2_iterate_portable};

#ifdef ZEB_SHA256_X86
namespace {

#define ZEB_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// The SHA extensions keep the state as two vectors, ABEF and CDGH (A in the top
// lane), where memory order puts A in the bottom lane of the first vector.
ZEB_SHA_TARGET inline void words_to_abef(__m128i dcba, __m128i hgfe, __m128i& abef,
                                         __m128i& cdgh) {
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
  abef = _mm_alignr_epi8(cdab, efgh, 8);
  cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);
}

ZEB_SHA_TARGET inline void abef_to_words(__m128i abef, __m128i cdgh, __m128i& dcba,
                                         __m128i& hgfe) {
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
  dcba = _mm_blend_epi16(feba, dchg, 0xf0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
}

// One compression: m holds the 16 message words, four to a vector in memory
// order, and is consumed as the schedule.
ZEB_SHA_TARGET __attribute__((always_inline)) inline void compress_vectors(__m128i& abef,
                                                                          __m128i& cdgh,
                                                                          __m128i m[4]) {
  const __m128i abef_in = abef, cdgh_in = cdgh;
#pragma GCC unroll 16
  for (int g = 0; g < 16; ++g) {
    // m[g % 4] holds words 4g..4g+3; rnds2 takes two rounds' words plus constants.
    const __m128i wk =
        _mm_add_epi32(m[g & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(k256 + 4 * g)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0e));
    if (g < 12) {
      // Words 4g+16..4g+19 from words 4g.., 4g+9.. and 4g+14..
      __m128i next = _mm_sha256msg1_epu32(m[g & 3], m[(g + 1) & 3]);
      next = _mm_add_epi32(next, _mm_alignr_epi8(m[(g + 3) & 3], m[(g + 2) & 3], 4));
      m[g & 3] = _mm_sha256msg2_epu32(next, m[(g + 3) & 3]);
    }
  }
  abef = _mm_add_epi32(abef, abef_in);
  cdgh = _mm_add_epi32(cdgh, cdgh_in);
}

ZEB_SHA_TARGET inline void load_state(const uint32_t st[8], __m128i& abef, __m128i& cdgh) {
  words_to_abef(_mm_loadu_si128(reinterpret_cast<const __m128i*>(st)),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(st + 4)), abef, cdgh);
}

ZEB_SHA_TARGET inline void store_words(uint32_t st[8], __m128i lo, __m128i hi) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(st), lo);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(st + 4), hi);
}

ZEB_SHA_TARGET void compress_shani(uint32_t state[8], const unsigned char* blocks,
                                   size_t nblocks) {
  const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i abef, cdgh;
  load_state(state, abef, cdgh);
  for (; nblocks > 0; --nblocks, blocks += 64) {
    __m128i m[4];
    for (int i = 0; i < 4; ++i)
      m[i] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), bswap);
    compress_vectors(abef, cdgh, m);
  }
  __m128i lo, hi;
  abef_to_words(abef, cdgh, lo, hi);
  store_words(state, lo, hi);
}

// The whole loop stays in registers: the digest of one compression becomes the
// message of the next without a trip through memory.
ZEB_SHA_TARGET void pbkdf2_iterate_shani(const uint32_t inner[8], const uint32_t outer[8],
                                         uint32_t u[8], uint32_t t[8], uint32_t n) {
  __m128i inner_abef, inner_cdgh, outer_abef, outer_cdgh;
  load_state(inner, inner_abef, inner_cdgh);
  load_state(outer, outer_abef, outer_cdgh);
  const __m128i pad_lo = _mm_set_epi32(0, 0, 0, static_cast<int>(kDigestPadding[0]));
  const __m128i pad_hi = _mm_set_epi32(static_cast<int>(kDigestPadding[7]), 0, 0, 0);
  __m128i u_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u));
  __m128i u_hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + 4));
  __m128i t_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
  __m128i t_hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 4));
  for (; n > 0; --n) {
    __m128i abef = inner_abef, cdgh = inner_cdgh;
    __m128i m[4] = {u_lo, u_hi, pad_lo, pad_hi};
    compress_vectors(abef, cdgh, m);
    abef_to_words(abef, cdgh, m[0], m[1]);
    m[2] = pad_lo;
    m[3] = pad_hi;
    abef = outer_abef;
    cdgh = outer_cdgh;
    compress_vectors(abef, cdgh, m);
    abef_to_words(abef, cdgh, u_lo, u_hi);
    t_lo = _mm_xor_si128(t_lo, u_lo);
    t_hi = _mm_xor_si128(t_hi, u_hi);
  }
  store_words(u, u_lo, u_hi);
  store_words(t, t_lo, t_hi);
}

#undef ZEB_SHA_TARGET

const Sha256Impl kSha256Shani = {compress_shani, pbkdf2_iterate_shani};

bool cpu_has_sha_extensions() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = ecx & (1u << 9), sse41 = ecx & (1u << 19);
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return ssse3 && sse41 && (ebx & (1u << 29));
}

}  // namespace
#endif

const Sha256Impl* sha256_impl_hardware() {
#ifdef ZEB_SHA256_X86
  static const bool present = cpu_has_sha_extensions();
  return present ? &kSha256Shani : nullptr;
#else
  return nullptr;
#endif
}

namespace {

const Sha256Impl* automatic() {
  const Sha256Impl* hw = sha256_impl_hardware();
  return hw ? hw : &kSha256Portable;
}

// Null until the first hash, so that no static initialiser order matters; the
// choice is the same for every caller, so racing first calls agree.
std::atomic<const Sha256Impl*> g_active{nullptr};

}  // namespace

const Sha256Impl* sha256_impl_active() {
  const Sha256Impl* impl = g_active.load(std::memory_order_relaxed);
  if (!impl) {
    impl = automatic();
    g_active.store(impl, std::memory_order_relaxed);
  }
  return impl;
}

void sha256_impl_select(const Sha256Impl* impl) {
  g_active.store(impl ? impl : automatic(), std::memory_order_relaxed);
}

}  // namespace zeb_crypto
