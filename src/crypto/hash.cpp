// SHA-256 (FIPS 180-4), HMAC-SHA-256 (RFC 2104) and PBKDF2-HMAC-SHA-256
// (RFC 8018) over the compression function chosen in sha256_compress.cpp.
#include <algorithm>
#include <cstring>

#include "crypto.h"
#include "sha256_impl.h"

namespace {

using zeb_crypto::Sha256Compress;

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

void store_be32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

void store_words(const uint32_t words[8], unsigned char out[32]) {
  for (int i = 0; i < 8; ++i) store_be32(out + 4 * i, words[i]);
}

// The chaining values after the padded key XOR 0x36 (inner) and XOR 0x5c (outer)
// have been absorbed: everything about the key that HMAC needs, so a PBKDF2
// iteration starts from a copy instead of hashing the key again.
struct HmacKey {
  uint32_t inner[8];
  uint32_t outer[8];
};

void hmac_prepare(HmacKey* k, const void* key, size_t key_len, Sha256Compress compress) {
  unsigned char block[64] = {};
  if (key_len > 64) {
    zeb_sha256_ctx ctx;
    zeb_sha256_init(&ctx);
    zeb_sha256_update(&ctx, key, key_len);
    zeb_sha256_final(&ctx, block);
    zeb_wipe(&ctx, sizeof ctx);  // its buffer holds the end of the key
  } else if (key_len > 0) {
    std::memcpy(block, key, key_len);
  }
  for (unsigned char& b : block) b ^= 0x36;
  std::memcpy(k->inner, kInitialState, sizeof k->inner);
  compress(k->inner, block, 1);
  for (unsigned char& b : block) b ^= 0x36 ^ 0x5c;
  std::memcpy(k->outer, kInitialState, sizeof k->outer);
  compress(k->outer, block, 1);
  zeb_wipe(block, sizeof block);
}

// A context that has absorbed exactly one block, whose chaining value is state.
void resume_after_key(zeb_sha256_ctx* ctx, const uint32_t state[8]) {
  std::memcpy(ctx->state, state, sizeof ctx->state);
  ctx->count = 64;
}

// A message of 32 bytes after one key block always ends in the same padding, so
// the block that carries it is built once; its first 32 bytes take the message.
void init_digest_block(unsigned char block[64]) {
  std::memset(block, 0, 64);
  block[32] = 0x80;
  block[62] = (64 + 32) * 8 >> 8;  // message length in bits, big-endian
}

// Hashes the 32-byte message in block after the key block behind key_state:
// the digest goes to s and replaces the message in block.
inline void hash_digest_block(const uint32_t key_state[8], unsigned char block[64],
                              uint32_t s[8], Sha256Compress compress) {
  std::memcpy(s, key_state, 32);
  compress(s, block, 1);
  store_words(s, block);
}

}  // namespace

extern "C" {

void zeb_sha256_init(zeb_sha256_ctx* ctx) {
  std::memcpy(ctx->state, kInitialState, sizeof ctx->state);
  ctx->count = 0;
}

void zeb_sha256_update(zeb_sha256_ctx* ctx, const void* data, size_t len) {
  if (len == 0) return;
  const Sha256Compress compress = zeb_crypto::sha256_impl_active()->compress;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  const size_t fill = ctx->count % 64;
  ctx->count += len;
  if (fill > 0) {
    const size_t take = std::min(64 - fill, len);
    std::memcpy(ctx->buffer + fill, p, take);
    if (fill + take < 64) return;
    compress(ctx->state, ctx->buffer, 1);
    p += take;
    len -= take;
  }
  // Whole blocks are compressed straight from the caller's memory.
  if (len >= 64) {
    compress(ctx->state, p, len / 64);
    p += len - len % 64;
    len %= 64;
  }
  if (len > 0) std::memcpy(ctx->buffer, p, len);
}

void zeb_sha256_final(zeb_sha256_ctx* ctx, unsigned char out[32]) {
  const Sha256Compress compress = zeb_crypto::sha256_impl_active()->compress;
  size_t fill = ctx->count % 64;
  ctx->buffer[fill++] = 0x80;
  if (fill > 56) {
    std::memset(ctx->buffer + fill, 0, 64 - fill);
    compress(ctx->state, ctx->buffer, 1);
    fill = 0;
  }
  std::memset(ctx->buffer + fill, 0, 56 - fill);
  const uint64_t bits = ctx->count * 8;
  store_be32(ctx->buffer + 56, static_cast<uint32_t>(bits >> 32));
  store_be32(ctx->buffer + 60, static_cast<uint32_t>(bits));
  compress(ctx->state, ctx->buffer, 1);
  store_words(ctx->state, out);
}

void zeb_sha256(const void* data, size_t len, unsigned char out[32]) {
  zeb_sha256_ctx ctx;
  zeb_sha256_init(&ctx);
  zeb_sha256_update(&ctx, data, len);
  zeb_sha256_final(&ctx, out);
}

void zeb_hmac_sha256(const void* key, size_t key_len, const void* msg, size_t msg_len,
                     unsigned char out[32]) {
  const Sha256Compress compress = zeb_crypto::sha256_impl_active()->compress;
  HmacKey k;
  hmac_prepare(&k, key, key_len, compress);
  zeb_sha256_ctx ctx;
  resume_after_key(&ctx, k.inner);
  zeb_sha256_update(&ctx, msg, msg_len);
  // out is written only at the very end, so it may overlap key or msg.
  unsigned char block[64];
  init_digest_block(block);
  zeb_sha256_final(&ctx, block);
  uint32_t s[8];
  hash_digest_block(k.outer, block, s, compress);
  std::memcpy(out, block, 32);
  zeb_wipe(&k, sizeof k);
  zeb_wipe(&ctx, sizeof ctx);
}

int zeb_pbkdf2_sha256(const void* password, size_t password_len, const void* salt,
                      size_t salt_len, int32_t iterations, unsigned char* out, size_t out_len) {
  if (!password || !salt || iterations < 1 || !out || out_len == 0) return -1;
  // The block index is a 32-bit counter (RFC 8018 caps the key length there).
  if (out_len / 32 + (out_len % 32 != 0) > 0xffffffffu) return -1;

  const zeb_crypto::Sha256Impl* impl = zeb_crypto::sha256_impl_active();
  HmacKey k;
  hmac_prepare(&k, password, password_len, impl->compress);
  // The salt is absorbed once; each block index continues from a copy.
  zeb_sha256_ctx salted;
  resume_after_key(&salted, k.inner);
  zeb_sha256_update(&salted, salt, salt_len);

  unsigned char block[64];
  init_digest_block(block);
  uint32_t u[8], t[8];
  zeb_sha256_ctx ctx;
  size_t done = 0;
  for (uint32_t index = 1; done < out_len; ++index) {
    unsigned char be_index[4];
    store_be32(be_index, index);
    ctx = salted;
    zeb_sha256_update(&ctx, be_index, 4);
    zeb_sha256_final(&ctx, block);
    hash_digest_block(k.outer, block, u, impl->compress);  // U1
    std::memcpy(t, u, sizeof t);
    impl->pbkdf2_iterate(k.inner, k.outer, u, t, static_cast<uint32_t>(iterations - 1));
    store_words(t, block);
    const size_t take = std::min<size_t>(32, out_len - done);
    std::memcpy(out + done, block, take);
    done += take;
  }

  zeb_wipe(&k, sizeof k);
  zeb_wipe(&salted, sizeof salted);
  zeb_wipe(&ctx, sizeof ctx);
  zeb_wipe(block, sizeof block);
  zeb_wipe(u, sizeof u);
  zeb_wipe(t, sizeof t);
  return 0;
}

}  // extern "C"
