// The signing keys of the provider: keys.json with its per-process key table,
// rotation, pruning, the key listing and the public key set, and secret.key, the
// HS256 secret. Every key operation first loads the table (once per process),
// creating keys.json with one fresh key when it is missing or does not parse.
#pragma once
#include <cstddef>
#include <cstdint>

extern "C" {

// The RSA key objects handed out below. Their layout is the RSA library's and is
// visible only to the key and token code; elsewhere they are opaque handles.
struct id_rsa_private_key;
struct id_rsa_public_key;

// Loads the key table from keys.json, or creates keys.json with one new active
// key when the file is missing or does not parse. Returns 0 when the table is
// loaded (at once after the first success in this process), -1 otherwise.
int id_keys_load_or_create(void);

// Hands out the active key. Each out argument may be null; kid gets the key's
// identifier cut to kid_cap. The handles point to copies owned by this function,
// valid until it is called again or the table changes. Returns 0, or -1 (nothing
// written) when there is no active key that decodes and proves its identifier.
int id_keys_get_active(const id_rsa_private_key** sk, const id_rsa_public_key** pk, char* kid,
                       size_t kid_cap);

// Hands out the key whose identifier is kid, active or retired, as above (the
// copies are this function's own). Returns 0, or -1 when kid is null or empty or
// no key with it decodes and proves its identifier.
int id_keys_find(const char* kid, const id_rsa_private_key** sk, const id_rsa_public_key** pk);

// The public key set: a JSON array of the RS256 public keys (JWK members kty, use,
// alg, kid, n, e) of every key that decodes, in table order. Returns new text the
// caller frees with free(), or null on failure.
char* id_keys_jwks_json(void);

// The key listing: a JSON array of {kid, created, alg, status} for every key in the
// table, whether it decodes or not. Returns new text the caller frees with free(),
// or null on failure.
char* id_keys_list_json(void);

// Retires the active key and saves a new active one, working on keys.json as it
// is under its lock. Returns 0 when saved; -1 when the table is full (8 keys) or
// any step fails, keys.json then being left as it was.
int id_keys_rotate(void);

// Removes every retired key created more than days * 86400 seconds ago (the active
// key never). Returns the number removed (0 without writing when none), or -1 when
// a step fails, keys.json then being left as it was.
int id_keys_prune(int32_t days);

// Copies the 32-byte HS256 secret of secret.key into out, creating the file with
// 32 random bytes (mode 0600, under the lock secret.key.lock) when it is missing or
// shorter. A longer file's first 32 bytes are the secret. Returns 0, or -1 with
// out zeroed when the secret could not be read or durably created.
int id_get_secret_key(unsigned char out[32]);

}  // extern "C"
