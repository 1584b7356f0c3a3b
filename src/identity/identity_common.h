// The identity core's public interface. Plain functions and fixed-size records;
// records belong to the caller and are filled by the callee, texts cut silently to
// fit. Results: 0 success, -1 (or an operation's own negative code) failure.
#pragma once
#include <cstddef>
#include <cstdint>

typedef struct yyjson_doc yyjson_doc;
typedef struct yyjson_mut_doc yyjson_mut_doc;

extern "C" {

// ---- configuration ------------------------------------------------------------

struct id_config {
  char data_dir[1024];
  char base_url[256];  // no trailing "/"
  int32_t port;
  char admin_secret[256];  // empty when not configured
};

// Fills *cfg completely from the defaults, ./config.json and the IDENTITY_*
// variables (later wins), and creates the data directory. Never fails.
void id_get_config(id_config* cfg);

// ---- stores and locks ------------------------------------------------------------

// Writes the path of store file `name` in the data directory to out.
void id_get_file_path(const char* name, char* out, size_t cap);
// Parses the whole store file without a lock. Returns a document the caller frees
// with yyjson_doc_free, or null when the file is missing, unreadable or invalid.
yyjson_doc* id_load_json_file(const char* name);
// Replaces the store file durably with the pretty-printed document. Returns 0, or
// -1 with the old file left as it was.
int id_save_json_file(const char* name, yyjson_mut_doc* doc);

struct id_lock {
  char lock_path[1040];
  int lock_held;    // 1 while held
  int lock_handle;  // open lock file, -1 when not open
};

// Takes the exclusive lock of store `name`, trying retries + 1 times 5 ms apart.
// Returns 0 when held, -1 otherwise (lock->lock_held stays 0).
int id_lock_acquire_wait(id_lock* lock, const char* name, int retries);
// id_lock_acquire_wait with 2000 retries.
int id_lock_acquire(id_lock* lock, const char* name);
// Releases a held lock. Returns 0 when it was not held, else 1 when the lock file
// closed cleanly and 0 when closing failed (non-zero on success).
int id_lock_release(id_lock* lock);

// ---- server log and client address ---------------------------------------------

// Writes the address of the current request's client (REMOTE_ADDR, else the first
// X-Forwarded-For entry, else "?") to out.
void id_client_ip(char* out, size_t cap);

// ---- request parameters -------------------------------------------------------

// The value of request parameter `name`: the query string's when present and not
// empty, else the POST body's (form or JSON). Points into a static ring of 8
// buffers; never null.
const char* id_param(const char* name);
// Copies the parameter's value (possibly empty) into out. Returns 0, or -1 when out
// is null, cap is 0 or the value does not fit (out left untouched).
int id_param_copy(const char* name, char* out, size_t cap);

// ---- signed tokens ----------------------------------------------------------------

// The claims of a verified token. A claim that is absent or not a string leaves
// its text empty (cut to fit); exp and iat are 0 unless the claim is a JSON integer.
struct id_jwt_claims {
  char iss[256];
  char sub[256];
  char username[256];  // "username" when present, else "preferred_username"
  char email[256];
  char aud[256];
  char scope[256];
  char jti[256];
  char token_use[8];
  int64_t exp;
  int64_t iat;
};

// Checks a compact RS256 (key of the key table named by "kid") or HS256
// (secret.key) token: its signature and expiry, nothing else. Returns 0 when valid
// and fills *claims (may be null); -1 malformed or unacceptable, -2 bad signature
// or no usable key, -3 expired, *claims then untouched. May create keys.json or
// secret.key when they are missing.
int id_jwt_verify(const char* token, id_jwt_claims* claims);

// Signs a claim set (NUL-terminated JSON text of at most 3071 bytes, not inside
// out) RS256 with the active key. Returns 0 when out holds the whole token and
// its NUL; -1 otherwise, out then undefined.
int id_jwt_sign_rs256(const char* claims, char* out, size_t cap);

// Mints an access token issued now for lifetime seconds (3600 when 0) with a
// fresh 16-character "jti" and token_use "access"; iss and sub are left out when
// null, username reads as "" when null, email and client_id (also "aud") are left
// out when null or empty, scope defaults to "openid profile". Returns 0 with the
// token in out, or -1, out then undefined.
int id_jwt_mint_access_token(const char* iss, const char* sub, const char* username,
                             const char* email, const char* client_id, const char* scope,
                             uint32_t lifetime, char* out, size_t cap);

// Mints an ID token without token_use: iss and sub left out when null, aud and
// username "" when null, email and nonce left out when null or empty. Returns 0
// with the token in out, or -1, out then undefined.
int id_jwt_mint_id_token(const char* iss, const char* sub, const char* username,
                         const char* email, const char* aud, const char* nonce,
                         uint32_t lifetime, char* out, size_t cap);

// Mints an ID token with token_use "id", as above but with sub "" when null,
// auth_time when it is > 0 and "at_hash" of access_token when that is not null or
// empty. Returns 0 with the token in out, or -1, out then undefined.
int id_jwt_mint_id_token_v2(const char* iss, const char* sub, const char* username,
                            const char* email, const char* aud, const char* nonce,
                            const char* access_token, int64_t auth_time, uint32_t lifetime,
                            char* out, size_t cap);

}  // extern "C"
