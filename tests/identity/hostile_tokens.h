// Hostile and odd tokens around one claim set, with the result id_jwt_verify must
// give for each. Shared by the token tests and the sign-out program's tests, which
// use the same tokens as ID token hints.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "crypto.h"
#include "keys_fixture.h"
#include "rsa_key.h"

namespace hostile_tokens {

struct Case {
  const char* name;
  std::string token;
  int result;
  // The result holds only while the clock reads `now` (an expiry one second
  // ahead or at the current second); a program run later may see -3.
  bool pinned_to_now = false;
};

// The claim set `claims` (a JSON object text) with one more member.
inline std::string with_member(const std::string& claims, const std::string& member) {
  size_t close = claims.rfind('}');
  bool empty = claims.find_first_not_of(" {", 0) == close;
  return claims.substr(0, close) + (empty ? "" : ",") + member + claims.substr(close);
}

inline std::string rs256_header(const std::string& kid) {
  return "{\"alg\":\"RS256\",\"typ\":\"JWT\",\"kid\":\"" + kid + "\"}";
}

// Signs an arbitrary signing input, so that odd headers and claim sets get good
// signatures.
inline std::string sign_input(const std::string& input, const id_key_entry& key) {
  unsigned char hash[32], sig[256];
  zeb_sha256(input.data(), input.size(), hash);
  EXPECT_EQ(br_rsa_i31_pkcs1_sign(BR_HASH_OID_SHA256, hash, 32, br_skey_decoder_get_rsa(&key.decoder), sig), 1u);
  return input + "." + keys_test::b64url(sig, sizeof sig);
}

inline std::string token_of(const std::string& header, const std::string& claims, const id_key_entry& key) {
  return sign_input(keys_test::b64url(header) + "." + keys_test::b64url(claims), key);
}

inline std::string hs256_token(const std::string& header, const std::string& claims, const void* key,
                               size_t key_len, size_t mac_len = 32) {
  std::string input = keys_test::b64url(header) + "." + keys_test::b64url(claims);
  unsigned char mac[32];
  zeb_hmac_sha256(key, key_len, input.data(), input.size(), mac);
  return input + "." + keys_test::b64url(mac, mac_len);
}

// The standard SubjectPublicKeyInfo of a key: ours with the AlgorithmIdentifier
// SEQUENCE put back. What an attacker would use as an HMAC key.
inline std::string standard_spki(const id_key_entry& k) {
  br_rsa_public_key pk{const_cast<unsigned char*>(k.n), k.n_len, const_cast<unsigned char*>(k.e), k.e_len};
  unsigned char ours[kSpkiMax];
  size_t len = id_spki_encode(ours, &pk);
  std::string der = "\x30\x82\x01\x22\x30\x0d";
  der.append(reinterpret_cast<char*>(ours) + 4, len - 4);
  EXPECT_EQ(der.size(), 294u);
  return der;
}

inline std::string pem(const std::string& der) {
  std::string b64 = keys_test::b64url(der);
  for (char& ch : b64) ch = ch == '-' ? '+' : ch == '_' ? '/' : ch;
  while (b64.size() % 4) b64 += '=';
  std::string out = "-----BEGIN PUBLIC KEY-----\n";
  for (size_t i = 0; i < b64.size(); i += 64) out += b64.substr(i, 64) + "\n";
  return out + "-----END PUBLIC KEY-----\n";
}

// The tokens, for a verifier whose active key is `active`, which also knows the
// retired key `retired`, and whose clock reads `now`. `claims` is a claim set
// without "exp"; each token carries it (with an expiry where the case says so),
// so that only the hostile part can make it fail.
inline std::vector<Case> cases(const id_key_entry& active, const id_key_entry& retired, const std::string& claims,
                               int64_t now) {
  using keys_test::b64url;
  using keys_test::b64url_decode;
  auto exp = [&](const std::string& value) { return with_member(claims, "\"exp\":" + value); };
  auto rs = [&](const std::string& c) { return token_of(rs256_header(active.kid), c, active); };
  const std::string good = rs(exp(std::to_string(now + 1)));
  const std::string other = rs(with_member(claims, "\"other\":true"));
  const std::string h = b64url(rs256_header(active.kid));
  const std::string body = good.substr(good.find('.') + 1, good.rfind('.') - good.find('.') - 1);
  const std::string sig_text = good.substr(good.rfind('.') + 1);
  const std::string sig = b64url_decode(sig_text);
  std::string flipped = sig;
  flipped[100] ^= 0x01;
  auto with_alg = [&](const std::string& alg_member) {
    return token_of("{" + alg_member + "\"typ\":\"JWT\",\"kid\":\"" + active.kid + "\"}", claims, active);
  };
  const std::string spki = standard_spki(active);
  const std::string spki_pem = pem(spki);
  const std::string expired = rs(exp("1"));  // a bad signature is named before expiry
  const std::string hs_header = "{\"alg\":\"HS256\",\"typ\":\"JWT\",\"kid\":\"" + std::string(active.kid) + "\"}";
  const std::string changed = b64url(with_member(exp(std::to_string(now + 1)), "\"changed\":1"));

  return {
      {"good", good, 0, true},
      {"signed by a retired key", token_of(rs256_header(retired.kid), claims, retired), 0},
      {"empty", "", -1},
      {"alg none, no signature", b64url("{\"alg\":\"none\"}") + "." + body + ".", -1},
      {"alg none, signed", with_alg("\"alg\":\"none\","), -1},
      {"alg None", with_alg("\"alg\":\"None\","), -1},
      {"alg empty", with_alg("\"alg\":\"\","), -1},
      {"alg rs256", with_alg("\"alg\":\"rs256\","), -1},
      {"alg RS384", with_alg("\"alg\":\"RS384\","), -1},
      {"alg HS512", with_alg("\"alg\":\"HS512\","), -1},
      {"alg a number", with_alg("\"alg\":256,"), -1},
      {"alg missing", with_alg(""), -1},
      {"alg RS256 and more", with_alg("\"alg\":\"RS256RS256RS256RS256\","), -1},
      {"HS256 keyed with the public key DER", hs256_token(hs_header, claims, spki.data(), spki.size()), -2},
      {"HS256 keyed with the public key PEM", hs256_token(hs_header, claims, spki_pem.data(), spki_pem.size()), -2},
      {"HS256 of 31 bytes", hs256_token(hs_header, claims, spki.data(), spki.size(), 31), -1},
      {"unknown kid", token_of(rs256_header("AAAAAAAAAAAAAAAA"), claims, active), -2},
      {"no kid", token_of("{\"alg\":\"RS256\"}", claims, active), -2},
      {"empty kid", token_of(rs256_header(""), claims, active), -2},
      {"kid too long", token_of(rs256_header(std::string(active.kid) + "0123456789"), claims, active), -2},
      {"kid not a string", token_of("{\"alg\":\"RS256\",\"kid\":16}", claims, active), -2},
      {"kid of the other key", token_of(rs256_header(retired.kid), claims, active), -2},
      {"signature of 255 bytes", h + "." + body + "." + b64url(sig.substr(0, 255)), -1},
      {"signature of 257 bytes", h + "." + body + "." + b64url(sig + "\x01"), -1},
      {"signature of another token", h + "." + body + other.substr(other.rfind('.')), -2},
      {"signature with one bit changed", h + "." + body + "." + b64url(flipped), -2},
      {"claims changed", h + "." + changed + "." + sig_text, -2},
      {"expired and badly signed", expired.substr(0, expired.rfind('.') + 1) + b64url(flipped), -2},
      {"two segments", h + "." + body, -1},
      {"four segments", good + ".x", -1},
      {"five segments", good + ".x.y", -1},
      {"header bad base64url", "%%." + body + "." + sig_text, -1},
      {"signature bad base64url", h + "." + body + "." + sig_text.substr(0, 300) + "*", -1},
      {"claims bad base64url", sign_input(h + ".e30*", active), -1},
      {"empty header", sign_input("." + body, active), -1},
      {"header not an object", token_of("[\"RS256\"]", claims, active), -1},
      {"header not JSON", token_of("{alg:RS256}", claims, active), -1},
      {"header too long", token_of(rs256_header(active.kid) + std::string(600, ' '), claims, active), -1},
      {"claims an array", rs("[]"), -1},
      {"claims a string", rs("\"sub\""), -1},
      {"claims null", rs("null"), -1},
      {"claims not JSON", rs(claims.substr(0, claims.size() - 1) + ","), -1},
      {"claims with a comment", rs(with_member(claims, "/*x*/\"c\":1")), -1},
      {"claims too long", rs(with_member(claims, "\"a\":\"" + std::string(4100, 'a') + "\"")), -1},
      {"claims empty", rs(""), -1},
      {"exp a string", rs(exp("\"1\"")), 0},
      {"exp a fraction", rs(exp("1.5")), 0},
      {"exp 0", rs(exp("0")), 0},
      {"exp negative", rs(exp("-1")), -3},
      {"exp one second past", rs(exp(std::to_string(now - 1))), -3},
      {"exp the current second", rs(exp(std::to_string(now))), 0, true},
      {"exp beyond 2038", rs(exp("4102444800")), 0},
      {"exp beyond 64 bits", rs(exp("18446744073709551615")), 0},
      {"no exp, however old", rs(with_member(claims, "\"iat\":1")), 0},
  };
}

}  // namespace hostile_tokens
