// Signed tokens: verification of RS256 and HS256 tokens, RS256 signing and the
// three kinds of token the provider mints.
#include <yyjson.h>

#include <cstring>

#include "crypto.h"
#include "identity_common.h"
#include "platform.h"
#include "rsa_key.h"
#include "store.h"
#include "zeb_cgi.h"

using zeb::DocPtr;
using zeb::JsonText;
using zeb::MutDocPtr;

namespace {

constexpr size_t kHeaderMax = 511;
constexpr size_t kClaimsMax = 4095;
constexpr size_t kRsaSigLen = kKeyBits / 8;
constexpr size_t kHmacLen = 32;
constexpr size_t kHashLen = 32;
constexpr size_t kHeaderTextCap = 256;   // encoded header
constexpr size_t kClaimsTextCap = 4096;  // encoded claim set and its NUL
constexpr uint32_t kDefaultLifetime = 3600;

// Decodes a segment of at most limit bytes into buf (limit + 2 bytes), NUL-
// terminated. Decoding one byte more than the limit makes a longer part fail
// instead of being cut to a prefix that might still check. Returns the length, or
// -1.
long decode_part(const char* text, size_t len, unsigned char* buf, size_t limit) {
  size_t n = 0;
  if (zeb_base64url_decode(text, len, buf, limit + 1, &n) != 0 || n > limit) return -1;
  buf[n] = '\0';
  return static_cast<long>(n);
}

DocPtr parse_object(const unsigned char* text, size_t len) {
  DocPtr doc(yyjson_read(reinterpret_cast<const char*>(text), len, YYJSON_READ_NOFLAG));
  if (doc && !yyjson_is_obj(yyjson_doc_get_root(doc.get()))) doc.reset();
  return doc;
}

const char* str_member(yyjson_val* obj, const char* name) {
  yyjson_val* v = yyjson_obj_get(obj, name);
  return yyjson_is_str(v) ? yyjson_get_str(v) : "";
}

// A JSON integer that fits in signed 64 bits; false for anything else.
bool int_member(yyjson_val* obj, const char* name, int64_t* out) {
  yyjson_val* v = yyjson_obj_get(obj, name);
  if (yyjson_is_sint(v)) {
    *out = yyjson_get_sint(v);
    return true;
  }
  if (yyjson_is_uint(v) && yyjson_get_uint(v) <= static_cast<uint64_t>(INT64_MAX)) {
    *out = static_cast<int64_t>(yyjson_get_uint(v));
    return true;
  }
  return false;
}

int check_hs256(const char* input, size_t input_len, const unsigned char* sig, size_t sig_len) {
  if (sig_len != kHmacLen) return -1;
  unsigned char secret[32];
  if (id_get_secret_key(secret) != 0) return -1;
  unsigned char mac[kHmacLen];
  zeb_hmac_sha256(secret, sizeof secret, input, input_len, mac);
  zeb_wipe(secret, sizeof secret);
  return zeb_ct_equal(mac, kHmacLen, sig, kHmacLen) ? 0 : -2;
}

int check_rs256(const char* input, size_t input_len, const unsigned char* sig, size_t sig_len,
                const char* kid) {
  if (sig_len != kRsaSigLen) return -1;
  const id_rsa_public_key* pk = nullptr;
  if (kid[0] == '\0' || id_keys_find(kid, nullptr, &pk) != 0) return -2;
  unsigned char hash[kHashLen];
  zeb_sha256(input, input_len, hash);
  // The check only recovers the hash that the signature carries; it proves nothing
  // about this token until that hash is compared with the token's own.
  unsigned char signed_hash[kHashLen];
  if (br_rsa_i31_pkcs1_vrfy(sig, sig_len, BR_HASH_OID_SHA256, kHashLen, &pk->key, signed_hash) != 1) {
    return -2;
  }
  return zeb_ct_equal(hash, kHashLen, signed_hash, kHashLen) ? 0 : -2;
}

void fill_claims(yyjson_val* c, id_jwt_claims* out) {
  std::memset(out, 0, sizeof *out);
  zeb_strlcpy(out->iss, str_member(c, "iss"), sizeof out->iss);
  zeb_strlcpy(out->sub, str_member(c, "sub"), sizeof out->sub);
  const char* user = yyjson_obj_get(c, "username") ? "username" : "preferred_username";
  zeb_strlcpy(out->username, str_member(c, user), sizeof out->username);
  zeb_strlcpy(out->email, str_member(c, "email"), sizeof out->email);
  zeb_strlcpy(out->aud, str_member(c, "aud"), sizeof out->aud);
  zeb_strlcpy(out->scope, str_member(c, "scope"), sizeof out->scope);
  zeb_strlcpy(out->jti, str_member(c, "jti"), sizeof out->jti);
  zeb_strlcpy(out->token_use, str_member(c, "token_use"), sizeof out->token_use);
  if (!int_member(c, "exp", &out->exp)) out->exp = 0;
  if (!int_member(c, "iat", &out->iat)) out->iat = 0;
}

// A claim set under construction: claims are added in call order, and any
// failure to add one makes the whole set fail rather than be signed incomplete.
class ClaimSet {
 public:
  ClaimSet() : doc_(yyjson_mut_doc_new(nullptr)) {
    root_ = doc_ ? yyjson_mut_obj(doc_.get()) : nullptr;
    if (root_) yyjson_mut_doc_set_root(doc_.get(), root_);
    ok_ = root_ != nullptr;
  }
  void text(const char* name, const char* value) {
    ok_ = ok_ && yyjson_mut_obj_add_strcpy(doc_.get(), root_, name, value);
  }
  // Adds the claim only when value is not null.
  void text_if_given(const char* name, const char* value) {
    if (value) text(name, value);
  }
  // Adds the claim only when value is not null and not empty.
  void text_if(const char* name, const char* value) {
    if (value && value[0]) text(name, value);
  }
  void time(const char* name, int64_t value) {
    ok_ = ok_ && yyjson_mut_obj_add_int(doc_.get(), root_, name, value);
  }
  void fail() { ok_ = false; }
  // Signs the compact text of the set into out. Returns 0 or -1.
  int sign(char* out, size_t cap) {
    if (!ok_) return -1;
    JsonText json(yyjson_mut_write(doc_.get(), YYJSON_WRITE_NOFLAG, nullptr), &std::free);
    if (!json) return -1;
    return id_jwt_sign_rs256(json.get(), out, cap);
  }

 private:
  MutDocPtr doc_;
  yyjson_mut_val* root_ = nullptr;
  bool ok_ = false;
};

const char* or_empty(const char* s) { return s ? s : ""; }

// The leading claims of both forms of ID token; sub is left out when null.
void add_id_claims(ClaimSet& c, const char* iss, const char* sub, const char* username,
                   const char* email, const char* aud, const char* nonce) {
  c.text_if_given("iss", iss);
  c.text_if_given("sub", sub);
  c.text("aud", or_empty(aud));
  c.text("preferred_username", or_empty(username));
  c.text_if("email", email);
  c.text_if("nonce", nonce);
}

void add_times(ClaimSet& c, int64_t now, uint32_t lifetime) {
  c.time("iat", now);
  c.time("exp", now + static_cast<int64_t>(lifetime ? lifetime : kDefaultLifetime));
}

}  // namespace

extern "C" int id_jwt_verify(const char* token, id_jwt_claims* claims) {
  if (token == nullptr || token[0] == '\0') return -1;
  const char* dot1 = std::strchr(token, '.');
  const char* dot2 = dot1 ? std::strchr(dot1 + 1, '.') : nullptr;
  if (dot2 == nullptr) return -1;

  unsigned char header[kHeaderMax + 2];
  long header_len = decode_part(token, static_cast<size_t>(dot1 - token), header, kHeaderMax);
  DocPtr hdoc = header_len < 0 ? nullptr : parse_object(header, static_cast<size_t>(header_len));
  if (!hdoc) return -1;
  yyjson_val* h = yyjson_doc_get_root(hdoc.get());
  char alg[16];
  char kid[24];
  zeb_strlcpy(alg, str_member(h, "alg"), sizeof alg);
  zeb_strlcpy(kid, str_member(h, "kid"), sizeof kid);
  if (alg[0] == '\0') return -1;

  unsigned char sig[kRsaSigLen + 2];
  long sig_len = decode_part(dot2 + 1, std::strlen(dot2 + 1), sig, kRsaSigLen);
  if (sig_len < 0) return -1;
  size_t input_len = static_cast<size_t>(dot2 - token);
  int rc;
  if (std::strcmp(alg, "HS256") == 0) {
    rc = check_hs256(token, input_len, sig, static_cast<size_t>(sig_len));
  } else if (std::strcmp(alg, "RS256") == 0) {
    rc = check_rs256(token, input_len, sig, static_cast<size_t>(sig_len), kid);
  } else {
    return -1;  // an unsecured token too
  }
  if (rc != 0) return rc;

  unsigned char body[kClaimsMax + 2];
  long body_len = decode_part(dot1 + 1, static_cast<size_t>(dot2 - dot1 - 1), body, kClaimsMax);
  DocPtr cdoc = body_len < 0 ? nullptr : parse_object(body, static_cast<size_t>(body_len));
  if (!cdoc) return -1;
  yyjson_val* c = yyjson_doc_get_root(cdoc.get());
  int64_t exp = 0;
  if (int_member(c, "exp", &exp) && exp != 0 && exp < zeb_time_now()) return -3;
  if (claims) fill_claims(c, claims);
  return 0;
}

extern "C" int id_jwt_sign_rs256(const char* claims, char* out, size_t cap) {
  if (claims == nullptr || out == nullptr) return -1;
  const id_rsa_private_key* sk = nullptr;
  char kid[24];
  if (id_keys_get_active(&sk, nullptr, kid, sizeof kid) != 0) return -1;
  char header[128];
  int header_len = zeb_snprintf(header, sizeof header, "{\"alg\":\"RS256\",\"typ\":\"JWT\",\"kid\":\"%s\"}", kid);
  if (header_len < 0 || static_cast<size_t>(header_len) >= sizeof header) return -1;

  // The signing input is built in place: encoded header, ".", encoded claim set.
  char input[kHeaderTextCap + kClaimsTextCap];
  int h64 = zeb_base64url_encode(header, static_cast<size_t>(header_len), input, kHeaderTextCap);
  if (h64 < 0) return -1;
  input[h64] = '.';
  int c64 = zeb_base64url_encode(claims, std::strlen(claims), input + h64 + 1, kClaimsTextCap);
  if (c64 < 0) return -1;
  size_t input_len = static_cast<size_t>(h64) + 1 + static_cast<size_t>(c64);

  unsigned char hash[kHashLen];
  zeb_sha256(input, input_len, hash);
  unsigned char sig[kRsaSigLen];
  if ((sk->key.n_bitlen + 7) / 8 != kRsaSigLen ||
      br_rsa_i31_pkcs1_sign(BR_HASH_OID_SHA256, hash, kHashLen, &sk->key, sig) != 1) {
    return -1;
  }
  if (input_len + 1 >= cap) return -1;
  std::memcpy(out, input, input_len);
  out[input_len] = '.';
  return zeb_base64url_encode(sig, sizeof sig, out + input_len + 1, cap - input_len - 1) < 0 ? -1 : 0;
}

extern "C" int id_jwt_mint_access_token(const char* iss, const char* sub, const char* username,
                                        const char* email, const char* client_id,
                                        const char* scope, uint32_t lifetime, char* out,
                                        size_t cap) {
  int64_t now = zeb_time_now();
  char jti[32] = "";
  ClaimSet c;
  // A failed random source fails the token instead of giving it an unfilled jti.
  if (zeb_random_token(jti, sizeof jti, 12) != 0) c.fail();
  c.text_if_given("iss", iss);
  c.text_if_given("sub", sub);
  c.text("username", or_empty(username));
  c.text("preferred_username", or_empty(username));
  c.text_if("email", email);
  c.text_if("client_id", client_id);
  c.text_if("aud", client_id);
  c.text("scope", scope && scope[0] ? scope : "openid profile");
  c.text("jti", jti);
  c.text("token_use", "access");
  add_times(c, now, lifetime);
  return c.sign(out, cap);
}

extern "C" int id_jwt_mint_id_token(const char* iss, const char* sub, const char* username,
                                    const char* email, const char* aud, const char* nonce,
                                    uint32_t lifetime, char* out, size_t cap) {
  int64_t now = zeb_time_now();
  ClaimSet c;
  add_id_claims(c, iss, sub, username, email, aud, nonce);
  add_times(c, now, lifetime);
  return c.sign(out, cap);
}

extern "C" int id_jwt_mint_id_token_v2(const char* iss, const char* sub, const char* username,
                                       const char* email, const char* aud, const char* nonce,
                                       const char* access_token, int64_t auth_time,
                                       uint32_t lifetime, char* out, size_t cap) {
  int64_t now = zeb_time_now();
  ClaimSet c;
  add_id_claims(c, iss, or_empty(sub), username, email, aud, nonce);
  if (auth_time > 0) c.time("auth_time", auth_time);
  if (access_token && access_token[0]) {
    unsigned char digest[kHashLen];
    zeb_sha256(access_token, std::strlen(access_token), digest);
    char at_hash[32];
    if (zeb_base64url_encode(digest, kHashLen / 2, at_hash, sizeof at_hash) < 0) c.fail();
    else c.text("at_hash", at_hash);
  }
  c.text("token_use", "id");
  add_times(c, now, lifetime);
  return c.sign(out, cap);
}
