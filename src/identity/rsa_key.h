// Private to the key and token code: the record of one signing key, the RSA key
// material behind it and its key identifier. The only header that includes BearSSL.
#pragma once
#include <bearssl.h>

#include <cstddef>
#include <cstdint>

#include "id_keys.h"

struct id_rsa_private_key {
  br_rsa_private_key key;
};
struct id_rsa_public_key {
  br_rsa_public_key key;
};

constexpr int32_t kKeyActive = 1;
constexpr int32_t kKeyRetired = 2;
constexpr unsigned kKeyBits = 2048;
constexpr size_t kKidLen = 16;          // characters of an identifier made here
constexpr size_t kSpkiMax = 1047;       // largest public-key encoding
constexpr size_t kDerMax = 2048;        // largest PKCS#8 DER kept for a key

// One signing key. The decoded private key points into the entry's own decoder:
// a copy of an entry must have `decoded` cleared so that it is decoded again
// where it now lives.
struct id_key_entry {
  char kid[24];
  char alg[8];  // always "RS256"
  int64_t created;
  int32_t status;   // kKeyActive or kKeyRetired
  int32_t has_der;  // 1 when der holds the private key
  size_t der_len;
  unsigned char der[kDerMax];  // PKCS#8 DER of the RSA private key
  int32_t decoded;             // 1 once decoded and its kid proven in this process
  br_skey_decoder_context decoder;
  unsigned char n[257];  // modulus, big-endian
  unsigned char e[4];    // public exponent, big-endian, fewest bytes
  size_t n_len;
  size_t e_len;
};

// Encodes the public key as DER: a SEQUENCE of the rsaEncryption OID, NULL and a
// BIT STRING holding the RSAPublicKey (no AlgorithmIdentifier SEQUENCE around the
// OID). Writes to dst when not null. Returns the length (292 for a 2048-bit key
// with exponent 65537), or 0 when the two INTEGERs exceed 1024 bytes or the whole
// 1047.
size_t id_spki_encode(unsigned char* dst, const br_rsa_public_key* pk);

// Writes the key identifier of a public key (the first 16 base64url characters of
// the SHA-256 of its public-key encoding) and a NUL to kid. Returns 0, or -1 when
// the key cannot be encoded.
int id_key_kid(const br_rsa_public_key* pk, char kid[kKidLen + 1]);

// Writes e big-endian in the fewest bytes that hold it (1 to 4) to out and
// returns that count.
size_t id_key_exponent_bytes(uint32_t e, unsigned char out[4]);

// Fills *k with a new 2048-bit key (exponent 65537), active, created now, and
// decoded. Returns 0, or -1 with *k partly written.
int id_key_generate(id_key_entry* k);

// Decodes the entry's DER and proves that its kid belongs to the key (at once when
// already done). Returns 0, or -1 when the DER does not decode to a 2048-bit RSA
// key whose public exponent can be recovered, or the kid does not match.
int id_key_decode(id_key_entry* k);
