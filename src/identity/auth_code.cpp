// Authorization codes in the "auth_codes" object of tokens.json: issue, and a
// single redemption attempt with client, redirect URI and PKCE checks.
#include <cstring>
#include <string>
#include <string_view>

#include "crypto.h"
#include "platform.h"
#include "store.h"
#include "tokens.h"
#include "zeb_cgi.h"

namespace {

constexpr int64_t kCodeLifetime = 600;

// The whole stored text of a member (embedded NULs included), "" when it is
// missing or not a string.
std::string member_text(yyjson_mut_val* rec, const char* key) {
  yyjson_mut_val* v = zeb::json_member(rec, key);
  if (!yyjson_mut_is_str(v)) return {};
  return std::string(yyjson_mut_get_str(v), yyjson_mut_get_len(v));
}

bool same(std::string_view stored, const char* given) { return stored == std::string_view(given); }

// What redemption takes out of a code record before the record is removed.
struct Stored {
  std::string user_id, username, client_id, redirect_uri, scope, code_challenge,
      code_challenge_method, nonce;
  int64_t auth_time = 0;
  int64_t expires_at = 0;
};

Stored read_code(yyjson_mut_val* rec) {
  Stored s;
  s.user_id = member_text(rec, "user_id");
  s.username = member_text(rec, "username");
  s.client_id = member_text(rec, "client_id");
  s.redirect_uri = member_text(rec, "redirect_uri");
  s.scope = member_text(rec, "scope");
  s.code_challenge = member_text(rec, "code_challenge");
  s.code_challenge_method = member_text(rec, "code_challenge_method");
  s.nonce = member_text(rec, "nonce");
  s.auth_time = zeb::json_int(rec, "auth_time");
  s.expires_at = zeb::json_int(rec, "expires_at");
  return s;
}

// True when the verifier answers the stored challenge. Both comparisons run over
// the whole length so that timing tells nothing about how much of it matched.
bool pkce_ok(const Stored& s, const char* verifier) {
  if (!verifier || !*verifier) return false;
  const std::string& challenge = s.code_challenge;
  if (s.code_challenge_method == "S256") {
    unsigned char digest[32];
    char encoded[64];
    zeb_sha256(verifier, std::strlen(verifier), digest);
    int n = zeb_base64url_encode(digest, sizeof digest, encoded, sizeof encoded);
    if (n < 0) return false;
    return zeb_ct_equal(encoded, static_cast<size_t>(n), challenge.data(), challenge.size());
  }
  // "plain" and every other name, "s256" included, compare the verifier itself.
  return zeb_ct_equal(verifier, std::strlen(verifier), challenge.data(), challenge.size());
}

void fill_record(const Stored& s, id_auth_code_record* out) {
  std::memset(out, 0, sizeof *out);
  zeb_strlcpy(out->user_id, s.user_id.c_str(), sizeof out->user_id);
  zeb_strlcpy(out->username, s.username.c_str(), sizeof out->username);
  zeb_strlcpy(out->client_id, s.client_id.c_str(), sizeof out->client_id);
  zeb_strlcpy(out->redirect_uri, s.redirect_uri.c_str(), sizeof out->redirect_uri);
  zeb_strlcpy(out->scope, s.scope.c_str(), sizeof out->scope);
  zeb_strlcpy(out->code_challenge, s.code_challenge.c_str(), sizeof out->code_challenge);
  zeb_strlcpy(out->code_challenge_method, s.code_challenge_method.c_str(),
              sizeof out->code_challenge_method);
  zeb_strlcpy(out->nonce, s.nonce.c_str(), sizeof out->nonce);
  out->auth_time = s.auth_time;
}

}  // namespace

extern "C" {

int id_auth_code_create_v(const char* user_id, const char* username, const char* client_id,
                          const char* redirect_uri, const char* scope, const char* code_challenge,
                          const char* code_challenge_method, const char* nonce, int64_t auth_time,
                          char* out_code, size_t cap) {
  char code[256];
  if (zeb::random_id("code_", 24, code, sizeof code) != 0) return -1;
  bool stored = false;
  int rc = zeb::tokens_update([&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    // An "auth_codes" of another type cannot hold the code: hand out none that
    // could never be redeemed, and leave the file as it is.
    yyjson_mut_val* codes = zeb::json_obj(root, "auth_codes");
    if (!codes) return zeb::Change::Discard;
    int64_t now = zeb_time_now();
    yyjson_mut_val* rec = yyjson_mut_obj(doc);
    if (user_id) yyjson_mut_obj_add_strcpy(doc, rec, "user_id", user_id);
    if (username) yyjson_mut_obj_add_strcpy(doc, rec, "username", username);
    if (client_id) yyjson_mut_obj_add_strcpy(doc, rec, "client_id", client_id);
    if (redirect_uri) yyjson_mut_obj_add_strcpy(doc, rec, "redirect_uri", redirect_uri);
    yyjson_mut_obj_add_strcpy(doc, rec, "scope", scope && *scope ? scope : "openid profile");
    yyjson_mut_obj_add_strcpy(doc, rec, "code_challenge", code_challenge ? code_challenge : "");
    yyjson_mut_obj_add_strcpy(
        doc, rec, "code_challenge_method",
        code_challenge_method && *code_challenge_method ? code_challenge_method : "plain");
    if (nonce && *nonce) yyjson_mut_obj_add_strcpy(doc, rec, "nonce", nonce);
    if (auth_time > 0) yyjson_mut_obj_add_sint(doc, rec, "auth_time", auth_time);
    yyjson_mut_obj_add_sint(doc, rec, "expires_at", now + kCodeLifetime);
    yyjson_mut_obj_add(codes, yyjson_mut_strcpy(doc, code), rec);
    stored = true;
    return zeb::Change::Save;
  });
  if (rc != 0 || !stored) return -1;
  if (out_code && cap > 0) zeb_strlcpy(out_code, code, cap);
  return 0;
}

int id_auth_code_create(const char* user_id, const char* username, const char* client_id,
                        const char* redirect_uri, const char* scope, const char* code_challenge,
                        const char* code_challenge_method, char* out_code, size_t cap) {
  return id_auth_code_create_v(user_id, username, client_id, redirect_uri, scope, code_challenge,
                               code_challenge_method, nullptr, 0, out_code, cap);
}

int id_auth_code_consume(const char* code, const char* client_id, const char* redirect_uri,
                         const char* code_verifier, id_auth_code_record* out) {
  if (!code || !*code || !client_id || !*client_id) return -1;
  size_t code_len = std::strlen(code);
  bool found = false;
  Stored s;
  int64_t now = 0;
  int rc = zeb::tokens_update([&](yyjson_mut_doc*, yyjson_mut_val* root) {
    yyjson_mut_val* codes = zeb::json_obj(root, "auth_codes");
    yyjson_mut_val* rec = zeb::json_obj(codes, code);
    if (!rec) return zeb::Change::Discard;
    s = read_code(rec);
    now = zeb_time_now();
    // The code is used up by this attempt whatever the checks decide, so that a
    // code that leaked with a wrong client or verifier cannot be tried again.
    yyjson_mut_obj_iter it = yyjson_mut_obj_iter_with(codes);
    while (yyjson_mut_val* key = yyjson_mut_obj_iter_next(&it)) {
      if (yyjson_mut_equals_strn(key, code, code_len)) yyjson_mut_obj_iter_remove(&it);
    }
    found = true;
    return zeb::Change::Save;
  });
  // A removal that was not written would let the same code be redeemed again.
  if (rc != 0 || !found) return -1;

  if (s.expires_at < now) return -2;
  if (s.client_id.empty() || !same(s.client_id, client_id)) return -3;
  // Compared in full: a cut copy would refuse a long URI that matches, or accept
  // one that differs only past the cut.
  if (redirect_uri && *redirect_uri && !s.redirect_uri.empty() &&
      !same(s.redirect_uri, redirect_uri))
    return -4;
  if (!s.code_challenge.empty() && !pkce_ok(s, code_verifier)) return -5;
  if (out) fill_record(s, out);
  return 0;
}

}  // extern "C"
