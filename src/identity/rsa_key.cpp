// RSA key material of the signing keys: generation, PKCS#8 DER, the public-key
// encoding and the key identifier, and the decoding that proves a stored key.
#include "rsa_key.h"

#include <cstring>

#include "crypto.h"
#include "platform.h"
#include "zeb_cgi.h"

namespace {

constexpr uint32_t kPubExp = 65537;
constexpr size_t kIntsMax = 1024;

// Seeds a generator for one key from the system source behind the platform seam,
// so that a failing source fails key generation instead of weakening it. A fresh
// seed for every key keeps no generator state in the process that a fork could
// hand to two processes at once.
bool drbg_seed(br_hmac_drbg_context* drbg) {
  unsigned char seed[48];
  if (zeb_random_bytes(seed, sizeof seed) != 0) return false;
  br_hmac_drbg_init(drbg, &br_sha256_vtable, seed, sizeof seed);
  zeb_wipe(seed, sizeof seed);
  return true;
}

size_t der_len_size(size_t len) { return len < 128 ? 1 : len < 256 ? 2 : 3; }

unsigned char* put_header(unsigned char* p, unsigned char tag, size_t len) {
  *p++ = tag;
  if (len < 128) {
    *p++ = static_cast<unsigned char>(len);
  } else if (len < 256) {
    *p++ = 0x81;
    *p++ = static_cast<unsigned char>(len);
  } else {
    *p++ = 0x82;
    *p++ = static_cast<unsigned char>(len >> 8);
    *p++ = static_cast<unsigned char>(len);
  }
  return p;
}

// Content size of an INTEGER holding the unsigned big-endian bytes b.
size_t int_body(const unsigned char* b, size_t len) { return len + (len > 0 && (b[0] & 0x80)); }

unsigned char* put_int(unsigned char* p, const unsigned char* b, size_t len) {
  p = put_header(p, 0x02, int_body(b, len));
  if (len > 0 && (b[0] & 0x80)) *p++ = 0x00;
  std::memcpy(p, b, len);
  return p + len;
}

const unsigned char kRsaAlgorithm[13] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7,
                                         0x0d, 0x01, 0x01, 0x01, 0x05, 0x00};

}  // namespace

size_t id_spki_encode(unsigned char* dst, const br_rsa_public_key* pk) {
  size_t n_body = int_body(pk->n, pk->nlen);
  size_t e_body = int_body(pk->e, pk->elen);
  size_t ints = 1 + der_len_size(n_body) + n_body + 1 + der_len_size(e_body) + e_body;
  if (ints > kIntsMax) return 0;
  size_t rsa_pub = 1 + der_len_size(ints) + ints;
  size_t bits_body = 1 + rsa_pub;
  size_t outer_body = sizeof kRsaAlgorithm + 1 + der_len_size(bits_body) + bits_body;
  size_t total = 1 + der_len_size(outer_body) + outer_body;
  if (total > kSpkiMax) return 0;
  if (dst) {
    unsigned char* p = put_header(dst, 0x30, outer_body);
    std::memcpy(p, kRsaAlgorithm, sizeof kRsaAlgorithm);
    p = put_header(p + sizeof kRsaAlgorithm, 0x03, bits_body);
    *p++ = 0x00;  // no unused bits
    p = put_header(p, 0x30, ints);
    p = put_int(p, pk->n, pk->nlen);
    put_int(p, pk->e, pk->elen);
  }
  return total;
}

int id_key_kid(const br_rsa_public_key* pk, char kid[kKidLen + 1]) {
  unsigned char spki[kSpkiMax];
  size_t len = id_spki_encode(nullptr, pk);
  if (len == 0 || id_spki_encode(spki, pk) != len) return -1;
  unsigned char digest[32];
  zeb_sha256(spki, len, digest);
  char text[48];
  if (zeb_base64url_encode(digest, sizeof digest, text, sizeof text) < 0) return -1;
  std::memcpy(kid, text, kKidLen);
  kid[kKidLen] = '\0';
  return 0;
}

size_t id_key_exponent_bytes(uint32_t e, unsigned char out[4]) {
  size_t len = e > 0xffffff ? 4 : e > 0xffff ? 3 : e > 0xff ? 2 : 1;
  for (size_t i = 0; i < len; ++i) out[i] = static_cast<unsigned char>(e >> (8 * (len - 1 - i)));
  return len;
}

int id_key_generate(id_key_entry* k) {
  br_hmac_drbg_context drbg;
  if (!drbg_seed(&drbg)) return -1;
  unsigned char kbuf_priv[BR_RSA_KBUF_PRIV_SIZE(kKeyBits)];
  unsigned char kbuf_pub[BR_RSA_KBUF_PUB_SIZE(kKeyBits)];
  unsigned char d[kKeyBits / 8];
  br_rsa_private_key sk;
  br_rsa_public_key pk;
  // Runs every step and wipes the private material once, whichever step failed.
  int rc = [&]() -> int {
    if (br_rsa_i31_keygen(&drbg.vtable, &sk, kbuf_priv, &pk, kbuf_pub, kKeyBits, kPubExp) != 1 ||
        sk.n_bitlen != kKeyBits || pk.nlen > sizeof k->n || pk.elen > sizeof k->e) {
      return -1;
    }
    size_t d_len = br_rsa_i31_compute_privexp(d, &sk, kPubExp);
    if (d_len == 0) return -1;
    size_t der_len = br_encode_rsa_pkcs8_der(nullptr, &sk, &pk, d, d_len);
    if (der_len == 0 || der_len > kDerMax ||
        br_encode_rsa_pkcs8_der(k->der, &sk, &pk, d, d_len) != der_len) {
      return -1;
    }
    char kid[kKidLen + 1];
    if (id_key_kid(&pk, kid) != 0) return -1;
    std::memset(k->kid, 0, sizeof k->kid);
    std::memcpy(k->kid, kid, sizeof kid);
    zeb_strlcpy(k->alg, "RS256", sizeof k->alg);
    std::memcpy(k->n, pk.n, pk.nlen);
    k->n_len = pk.nlen;
    std::memcpy(k->e, pk.e, pk.elen);
    k->e_len = pk.elen;
    k->der_len = der_len;
    k->has_der = 1;
    k->status = kKeyActive;
    k->created = zeb_time_now();
    k->decoded = 0;
    std::memset(&k->decoder, 0, sizeof k->decoder);
    return 0;
  }();
  zeb_wipe(kbuf_priv, sizeof kbuf_priv);
  zeb_wipe(d, sizeof d);
  zeb_wipe(&drbg, sizeof drbg);
  if (rc != 0) return -1;
  return id_key_decode(k);
}

int id_key_decode(id_key_entry* k) {
  if (k->decoded) return 0;
  if (!k->has_der || k->der_len > kDerMax) return -1;
  br_skey_decoder_init(&k->decoder);
  br_skey_decoder_push(&k->decoder, k->der, k->der_len);
  const br_rsa_private_key* sk = br_skey_decoder_get_rsa(&k->decoder);
  if (br_skey_decoder_last_error(&k->decoder) != 0 || sk == nullptr || sk->n_bitlen != kKeyBits) {
    return -1;
  }
  size_t n_len = br_rsa_i31_compute_modulus(nullptr, sk);
  if (n_len == 0 || n_len > sizeof k->n || br_rsa_i31_compute_modulus(k->n, sk) != n_len) return -1;
  k->n_len = n_len;
  // BearSSL recovers e only when both primes are 3 mod 4 (as in every key it
  // makes); a key without that property is refused here rather than used.
  uint32_t e = br_rsa_i31_compute_pubexp(sk);
  if (e == 0) return -1;
  k->e_len = id_key_exponent_bytes(e, k->e);
  br_rsa_public_key pk = {k->n, k->n_len, k->e, k->e_len};
  char kid[kKidLen + 1];
  if (id_key_kid(&pk, kid) != 0 || std::strcmp(kid, k->kid) != 0) return -1;
  k->decoded = 1;
  return 0;
}
