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

// ---- sessions and the session cookie ----
// Sessions live 86400 seconds in the "sessions" object of tokens.json, keyed by
// their id "sess_" + 32 random base64url characters.

// Creates a session for user_id and username (either may be null: the member is
// then left out). Returns 0 with the id copied into out (may be null; cut to cap),
// or -1 (out untouched) when no id could be made or the store was not saved.
int id_session_create(const char* user_id, const char* username, char* out, size_t cap);
// True when session_id names a stored session that has not expired (it is good
// through the second of its expiry). Then copies its user id and username into the
// out buffers that are given (null or cap 0: skipped); a member the record lacks
// leaves its buffer untouched. False for a null or empty id and any store problem.
bool id_session_verify(const char* session_id, char* user_id, size_t user_cap, char* username,
                       size_t name_cap);
// Deletes the session (an unknown id is no error). Returns 0 when the store was
// saved, -1 for a null or empty id or a store failure.
int id_session_delete(const char* session_id);
// Deletes every session whose user id is user_id. Returns 0 when the store was
// saved, -1 for a null or empty user id or a store failure.
int id_session_delete_by_user(const char* user_id);
// Copies the value of the first id_session cookie of HTTP_COOKIE into out (cut to
// cap - 1 bytes, not decoded). True when at least one byte was copied; out is not
// written when there is no id_session cookie.
bool id_get_cookie_session(char* out, size_t cap);
// Writes the Set-Cookie header line of id_session with value (null: empty) and
// max_age, marked Secure when HTTP_X_FORWARDED_PROTO is https (any case) or the
// base URL starts with "https://".
void id_set_session_cookie(const char* value, int max_age);
// Writes the header line that deletes the id_session cookie (empty, Max-Age=0).
void id_clear_session_cookie(void);

// ---- refresh tokens ----
// Refresh tokens ("rt_" + 43 random base64url characters) live 2419200 seconds in
// the "refresh" array of tokens.json. Each is good for one rotation; a family is
// the chain descending from one issue, named by its first token.

// One refresh token as lookup and rotation report it; texts cut to 255 bytes.
struct id_refresh_record {
  char token[256];
  char user_id[256];
  char username[256];
  char client_id[256];
  char scope[256];
  char family[256];  // the token itself when the stored record names none
  int64_t expires_at;
};

// Issues a token (user_id null: the record has no user; scope null or empty:
// "openid profile"). Returns 0 with the token copied into out_token (may be null),
// or -1 with nothing handed out.
int id_refresh_token_create(const char* user_id, const char* username, const char* client_id,
                            const char* scope, char* out_token, size_t cap);
// Uses token up and issues its successor in the same family. client_id (null or
// empty: not checked) must match the token's client when it has one. Returns 0
// with the successor in out_token and out (each may be null); -1 when the token is
// unknown or on failure (outs untouched; -1 before the token is used up leaves it
// live); -2 expired; -3 another client (both still use the token up); -4 the token
// was already retired and its family has been revoked.
int id_refresh_token_rotate(const char* token, const char* client_id, char* out_token, size_t cap,
                            id_refresh_record* out);
// Removes the token's record. Returns 0, or -1 when no record holds it or on failure.
int id_refresh_token_revoke(const char* token);
// Removes every token of user_id. Returns 0 (also when there were none), or -1 for
// a null or empty user id or a store failure.
int id_refresh_token_revoke_by_user(const char* user_id);
// True when a record (expired or not) holds token; then fills out (may be null)
// whole. Reads without a lock; out is untouched when false.
bool id_refresh_token_find(const char* token, id_refresh_record* out);
// Removes every live token of the family that token belongs to (live or retired).
// With client_id given and not empty, only when one of those tokens is that
// client's. Returns the number removed; 0 also for every failure.
int id_refresh_token_revoke_family(const char* token, const char* client_id);

// ---- authorization codes ----
// Codes ("code_" + 32 random base64url characters) live 600 seconds in the
// "auth_codes" object of tokens.json and are good for one redemption attempt.

// One redeemed code as id_auth_code_consume reports it; cleared, then filled.
struct id_auth_code_record {
  char user_id[256];
  char username[256];
  char client_id[256];
  char redirect_uri[256];
  char scope[256];
  char code_challenge[256];
  char code_challenge_method[32];
  char nonce[256];
  int64_t auth_time;
};

// Issues a code. Texts may be null (left out; scope then "openid profile",
// code_challenge "", code_challenge_method "plain"); nonce is left out when null or
// empty, auth_time when not > 0. Returns 0 with the code in out_code (may be null),
// or -1 with nothing handed out.
int id_auth_code_create_v(const char* user_id, const char* username, const char* client_id,
                          const char* redirect_uri, const char* scope, const char* code_challenge,
                          const char* code_challenge_method, const char* nonce, int64_t auth_time,
                          char* out_code, size_t cap);
// id_auth_code_create_v without nonce and auth_time.
int id_auth_code_create(const char* user_id, const char* username, const char* client_id,
                        const char* redirect_uri, const char* scope, const char* code_challenge,
                        const char* code_challenge_method, char* out_code, size_t cap);
// Uses the code up (its removal is saved before any check), then checks it.
// Returns 0 with *out (may be null) filled; -1 unknown code or failure (a code whose
// removal could not be saved is never honoured); -2 expired; -3 another client;
// -4 another redirect URI; -5 the PKCE verifier does not match.
int id_auth_code_consume(const char* code, const char* client_id, const char* redirect_uri,
                         const char* code_verifier, id_auth_code_record* out);

// The sessions, refresh tokens (each also masked) and rotated entries of
// tokens.json as compact JSON; with user_id given and not empty only that user's
// sessions and tokens (rotated entries always). "{}" when the text cannot be made.
// The caller frees the text with free().
char* id_refresh_token_list_json_scoped(const char* user_id);
// id_refresh_token_list_json_scoped for every user.
char* id_refresh_token_list_json(void);

// ---- revoked token identifiers ----

// Adds jti to revoked.json until exp, replacing an earlier entry of it, after
// dropping the entries whose exp has passed. Returns 0, or -1.
int id_revoke_add_jti(const char* jti, int64_t exp, const char* sub, const char* client_id);
// True when jti is on the list and its exp (0: none) has not been reached.
bool id_revoke_is_jti(const char* jti);

// ---- clients and redirect URIs ----

// A registered client, filled by id_client_find_by_id. The public mark is the field
// is_public ("public" is a keyword in C++).
struct id_client {
  char client_id[256];
  char name[256];
  char secret[256];             // empty for a public client
  char redirect_uris[8][256];   // the first eight registered URIs
  int32_t redirect_uri_count;   // entries filled in redirect_uris, 0 to 8
  char scopes[256];
  bool is_public;
};

// Registers a client with one redirect URI; scopes null or empty means "openid
// profile"; a confidential client (is_public false) gets a secret. Returns 0 and
// copies the id and the secret ("" for a public client) to the out buffers that are
// given; -1 for a missing name or URI or a store failure, -3 for a URI that
// id_redirect_uri_check refuses (outs untouched). msg (may be null) is cleared
// and receives the reason of a refusal.
int id_client_create(const char* name, const char* redirect_uri, const char* scopes,
                     char* client_id_out, size_t client_id_cap, char* secret_out,
                     size_t secret_cap, bool is_public, char* msg, size_t msg_cap);
// Removes the client. Returns 0, or -1 when it is not registered or the store
// cannot be read or saved (nothing written).
int id_client_delete(const char* client_id);
// True when the client is registered; then fills *out (may be null), zeroed first.
bool id_client_find_by_id(const char* client_id, id_client* out);
// True when both the stored and the presented secret are non-empty and equal; the
// comparison takes time that depends only on the longer length.
bool id_client_verify_secret(const id_client* client, const char* presented);
// The registry as a compact JSON array with each secret replaced by its first 8
// bytes ("secret_prefix") and "public" always present; "[]" when the store is
// missing or unreadable. The caller frees the text with free().
char* id_client_list_json(void);

// Accepts a redirect URI for registration: absolute http:// or https:// (scheme in
// any case) with a host, no white space or control bytes, no fragment. Returns 0
// or -3; msg (may be null) is cleared and receives the reason of a refusal.
int id_redirect_uri_check(const char* uri, char* msg, size_t msg_cap);
// True when uri equals one of the client's registered redirect URIs byte for byte.
bool id_client_validate_redirect_uri(const id_client* client, const char* uri);

// ---- client authentication ----

// Splits the Basic credentials of HTTP_AUTHORIZATION into id and secret (cut to
// their capacities). Returns 0, or -1 (outs untouched) when there are none.
int id_parse_basic_auth(char* id_out, size_t id_cap, char* secret_out, size_t secret_cap);
// Authenticates the calling client from the form's id and secret (either may be
// null) or, when the form gives no id, from Basic credentials (*basic, may be null,
// is then set to 1). Returns 0 with the client copied to *out (may be null), or -1
// with the reason in msg (may be null).
int id_authenticate_client(const char* form_id, const char* form_secret, id_client* out,
                           unsigned char* basic, char* msg, size_t msg_cap);

// ---- consent and scope lists ----
// Scope lists: tokens separated by runs of blanks, tabs and commas, compared byte
// for byte. consents.json: user id -> client id -> {"scopes", "granted"}.

// Writes the requested tokens that allowed (null or empty: "openid profile email")
// holds, in request order, without repeats, blank-separated, to out; stops at the
// first token that does not fit.
void id_scope_intersect(const char* requested, const char* allowed, char* out, size_t cap);
// True when the user's consent for the client grants every requested token
// (requested null: any consent at all).
bool id_consent_covers(const char* user_id, const char* client_id, const char* requested);
// Widens the user's consent for the client by scopes (may be null or empty) and
// stamps it now. Returns 0, or -1.
int id_consent_set(const char* user_id, const char* client_id, const char* scopes);
// Removes the user's consent for the client. Returns 0 (also when there was none),
// or -1.
int id_consent_revoke(const char* user_id, const char* client_id);
// Every consent as a compact JSON array of {"user_id","client_id","scopes",
// "granted"}; "[]" when the store is absent or unreadable. The caller frees the
// text with free().
char* id_consent_list_json(void);

// ---- users and passwords ----
// users.json: an array of user objects in order of creation. Roles are "owner",
// "admin" (the administrator roles) and "user"; the first user of an empty store
// is always "owner".

// One user as the lookups report it; zeroed, then filled, texts cut to fit.
struct id_user {
  char id[256];
  char username[256];
  char email[256];
  char pass_hash[256];
  char role[24];  // normalised: "owner", "admin" or "user"
  int64_t created;
  int64_t last_login;
};

// Password rules: 8 to 256 bytes and not equal to username (may be null). Returns 0,
// or -3 with the reason in msg (used when msg is not null and msg_cap not 0).
int id_password_policy(const char* username, const char* password, char* msg, size_t msg_cap);
// Writes a fresh "pbkdf2$100000$<salt hex>$<hash hex>" string (111 bytes) to out,
// cut to cap. Returns 0, or -1 (out untouched) for a null argument or a failure of
// the random source or the derivation.
int id_hash_password(const char* password, char* out, size_t cap);
// True when password derives the hash of stored, with the stored iteration count;
// false for every malformed string. The final comparison takes constant time.
bool id_verify_password(const char* password, const char* stored);

// Creates a user; email and role may be null (role: "owner" or "admin" in any case,
// else "user"; ignored for the first user, who is "owner"). Returns 0 with the new
// id ("usr_" + 11 characters) in id_out (may be null); -1 missing input or a
// hashing, random, lock or save failure; -2 the name is taken (ignoring case);
// -3 invalid input. msg (may be null) is cleared and gets the reason of -1 for
// missing input, -2 and -3.
int id_user_create_role(const char* username, const char* password, const char* email,
                        const char* role, char* id_out, size_t id_cap, char* msg, size_t msg_cap);
// id_user_create_role without a requested role.
int id_user_create_v(const char* username, const char* password, const char* email, char* id_out,
                     size_t id_cap, char* msg, size_t msg_cap);
// id_user_create_role without a requested role or message.
int id_user_create(const char* username, const char* password, const char* email, char* id_out,
                   size_t id_cap);
// 0 when email (may be null or empty: none) is acceptable, else -3 with the reason
// in msg.
int id_email_check(const char* email, char* msg, size_t msg_cap);
// The normalised role name of role (may be null): "owner", "admin" or "user".
const char* id_role_name(const char* role);
// Lookups read users.json without its lock. True when found; then *out (may be
// null) is filled.
bool id_user_find_by_username(const char* username, id_user* out);
bool id_user_find_by_username_ci(const char* username, id_user* out);
bool id_user_find_by_id(const char* user_id, id_user* out);
// True when the user exists with the role "admin" or "owner".
bool id_user_is_admin_by_id(const char* user_id);
// The number of users with an administrator role.
int id_user_admin_count(void);
// True when the user is an administrator and the only one.
bool id_user_is_last_admin(const char* user_id);
// Replaces the user's password hash, keeping every other member. Returns 0; -1
// missing input, unknown user or a failure; -3 the policy refused the password.
// msg (may be null) is cleared and receives the reason.
int id_user_set_password(const char* user_id, const char* password, char* msg, size_t msg_cap);
// Every user as a compact JSON array without password hashes; "[]" for an absent or
// unreadable store, null when out of memory. The caller frees the text with free().
char* id_user_list_json(void);
// Removes the user, then ends its sessions and revokes its refresh tokens. Returns
// 0 when the user was removed and saved, -1 otherwise (nothing else is touched
// when there was no such user).
int id_user_delete(const char* user_id);

// ---- sign-in throttling ----
// login_attempts.json counts failures per account ("acc_" + username, case
// sensitive); from the third failure of a run (failures at most 600 s apart) the
// account is locked for 30 s, doubling up to 900 s. login_attempts_ip.json keeps
// the failures of the last 600 s per client address; 20 of them put the address
// over its budget.

// 1 when the account may try to sign in (also for a null or empty username); 0
// when it is locked, with the wait in msg. unused is not looked at.
int id_login_allowed(const char* username, const char* unused, char* msg, size_t msg_cap);
// Records a failed sign-in for the account (skipped when username is null or empty)
// and for the address (skipped when ip is null or empty), and logs it.
void id_login_failed(const char* username, const char* ip);
// id_login_failed, then id_login_ip_over_budget(ip).
bool id_login_failed_and_throttled(const char* username, const char* ip);
// True when ip has 20 or more failures newer than now - 600.
bool id_login_ip_over_budget(const char* ip);
// 0 when ip is within its budget, else the seconds (1 to 600) until its oldest
// counted failure leaves the window.
int id_login_ip_retry_after(const char* ip);
// Clears the account's record (the address's failures stay).
void id_login_success(const char* username);

// ---- roles and the admin guard ----

// id_session_verify that also tells the role of the session's user ("owner",
// "admin" or "user"). Out buffers may be null; nothing is written when false.
bool id_session_verify_role(const char* session_id, char* user_id, size_t user_cap,
                            char* username, size_t name_cap, char* role, size_t role_cap);
// True when user_id (may be null) is an administrator, or else when the request's
// X-Identity-Admin header equals the configured admin secret. A wrong secret is
// written to server.log.
bool id_api_admin_ok(const id_config* cfg, const char* user_id);

// ---- audit log ----

// Appends an event to audit_log.json, keeping the newest 2000. Only event is
// required; null texts are stored as "", a null or empty ip as "?". Returns 0, or
// -1 after writing the reason to server.log (callers go on regardless).
int id_audit_record(const char* event, const char* user_id, const char* username,
                    const char* ip, const char* detail);
// The newest max_events events (200 when max_events < 1), newest first, as a
// compact JSON array; "[]" when the log is missing or unreadable. The caller frees
// the text with free().
char* id_audit_list_json(int max_events);
// The number of entries in the log; 0 when it is missing or not an array.
int id_audit_count(void);
// Removes the oldest events until at most keep (negative counts as 0) remain.
// Returns the number removed (0 without writing when there is nothing to remove),
// or -1 when the log cannot be locked or saved.
int id_audit_prune(int keep);

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
