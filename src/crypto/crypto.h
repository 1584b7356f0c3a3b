// SHA-256, HMAC-SHA-256, PBKDF2-HMAC-SHA-256, base64url, hexadecimal and random
// tokens. Nothing here allocates except zeb_random_token for more than 64 bytes;
// contexts belong to the caller and hold no interior pointers, so they may be
// copied. SHA-256 uses the CPU's SHA extensions where it has them.
#pragma once
#include <cstddef>
#include <cstdint>

extern "C" {

struct zeb_sha256_ctx {
  uint32_t state[8];
  uint64_t count;           // message bytes absorbed so far
  unsigned char buffer[64]; // partial block; fill level is count % 64
};

// Starts a digest. Never fails.
void zeb_sha256_init(zeb_sha256_ctx* ctx);
// Absorbs len bytes; len 0 returns at once without looking at data.
void zeb_sha256_update(zeb_sha256_ctx* ctx, const void* data, size_t len);
// Writes the 32-byte digest to out. ctx must be initialised again before reuse.
void zeb_sha256_final(zeb_sha256_ctx* ctx, unsigned char out[32]);
// One-shot digest of data into out (32 bytes).
void zeb_sha256(const void* data, size_t len, unsigned char out[32]);
// HMAC-SHA-256 of msg under key into out (32 bytes).
void zeb_hmac_sha256(const void* key, size_t key_len, const void* msg, size_t msg_len,
                     unsigned char out[32]);
// PBKDF2 with HMAC-SHA-256. Returns 0 with out_len bytes in out, or -1 (out not
// written) for a null password, salt or out, iterations < 1, out_len 0 or a key
// longer than 2^32 - 1 blocks. Empty password or salt (valid pointer) is fine.
int zeb_pbkdf2_sha256(const void* password, size_t password_len, const void* salt,
                      size_t salt_len, int32_t iterations, unsigned char* out, size_t out_len);

// Zeroes n bytes at p in a way the compiler may not drop as a dead store: for
// secrets in memory about to go out of scope.
inline void zeb_wipe(void* p, size_t n) {
  __builtin_memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

// True when the two byte strings are equal. The time taken depends only on the
// longer length, never on where they first differ: for secrets, tags and hashes.
bool zeb_ct_equal(const void* a, size_t a_len, const void* b, size_t b_len);

// Base64url without padding. Returns the number of characters written (NUL not
// counted), or -1 with nothing written when out_cap cannot hold text and NUL.
int zeb_base64url_encode(const void* data, size_t len, char* out, size_t out_cap);
// Decodes base64url or standard base64 (padding optional; CR, LF and blank are
// skipped). Returns 0 and stores the byte count through out_len (may be null), or
// -1 for a byte outside both alphabets. Output beyond out_cap is dropped.
int zeb_base64url_decode(const char* text, size_t text_len, unsigned char* out, size_t out_cap,
                         size_t* out_len);
// Lower-case hex with a NUL; writes nothing when out_cap < 2*len + 1.
void zeb_hex_encode(const void* data, size_t len, char* out, size_t out_cap);
// Returns the number of bytes written (text_len / 2), or -1 for odd length, too
// small out_cap or a non-hex digit.
int zeb_hex_decode(const char* text, size_t text_len, unsigned char* out, size_t out_cap);

// Fills buf with len bytes from the kernel's secure source. Returns 0, or -1
// when the source fails or len is negative (nothing weaker is ever used).
int zeb_random_bytes(void* buf, int32_t len);
// Writes the base64url text of nbytes fresh random bytes to out. Returns 0, or -1
// (out not written) when the source fails or out_cap is too small.
int zeb_random_token(char* out, size_t out_cap, size_t nbytes);

}  // extern "C"
