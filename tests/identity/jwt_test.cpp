#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "id_keys.h"
#include "identity_common.h"
#include "keys_fixture.h"

namespace {

using keys_test::b64url;
using keys_test::b64url_decode;
using keys_test::FixedClock;
using keys_test::keys_json;
using keys_test::KeysTest;
using keys_test::pool_key;
using keys_test::python;
using keys_test::stored;

constexpr int64_t kNow = 1700000000;

struct Parts {
  std::string header, claims, sig;  // header and claims decoded, sig as text
};

Parts split(const std::string& token) {
  size_t d1 = token.find('.'), d2 = token.find('.', d1 + 1);
  return {b64url_decode(token.substr(0, d1)), b64url_decode(token.substr(d1 + 1, d2 - d1 - 1)),
          token.substr(d2 + 1)};
}

// Signs an arbitrary signing input with a pool key, so that tests can give good
// signatures to odd headers and claim sets.
std::string sign_input(const std::string& input, int key = 0) {
  unsigned char hash[32], sig[256];
  zeb_sha256(input.data(), input.size(), hash);
  EXPECT_EQ(br_rsa_i31_pkcs1_sign(BR_HASH_OID_SHA256, hash, 32,
                                  br_skey_decoder_get_rsa(&pool_key(key).decoder), sig),
            1u);
  return input + "." + b64url(sig, sizeof sig);
}

std::string rs256_header(const std::string& kid) {
  return "{\"alg\":\"RS256\",\"typ\":\"JWT\",\"kid\":\"" + kid + "\"}";
}

std::string token_of(const std::string& header, const std::string& claims, int key = 0) {
  return sign_input(b64url(header) + "." + b64url(claims), key);
}

std::string signed_claims(const std::string& claims) {
  std::string out(8192, '\0');
  EXPECT_EQ(id_jwt_sign_rs256(claims.c_str(), out.data(), out.size()), 0);
  return out.c_str();
}

std::string hs256_token(const std::string& header, const std::string& claims, const void* key,
                        size_t key_len, size_t mac_len = 32) {
  std::string input = b64url(header) + "." + b64url(claims);
  unsigned char mac[32];
  zeb_hmac_sha256(key, key_len, input.data(), input.size(), mac);
  return input + "." + b64url(mac, mac_len);
}

// Pool key 0 active, pool key 1 retired, at a fixed time.
class JwtTest : public KeysTest {
 protected:
  void SetUp() override {
    KeysTest::SetUp();
    write_keys(keys_json(pool_key(0).kid, {stored(pool_key(0), "active"), stored(pool_key(1))}));
  }
  FixedClock clock{kNow};
  const std::string kid0 = pool_key(0).kid;
  const std::string kid1 = pool_key(1).kid;
};

std::string mint(const std::function<int(char*, size_t)>& fn) {
  char out[8192];
  return fn(out, sizeof out) == 0 ? out : "(failed)";
}

TEST_F(JwtTest, MintedTokensHaveTheExactHeaderAndClaimsAndVerify) {
  struct Case {
    const char* name;
    std::function<int(char*, size_t)> mint;
    std::string claims;  // "<jti>" stands for the token's own jti
  } cases[] = {
      {"access, every argument",
       [](char* o, size_t c) {
         return id_jwt_mint_access_token("https://id.test", "usr_1", "al\"ice", "a@x.test",
                                         "client_7", "openid email", 60, o, c);
       },
       "{\"iss\":\"https://id.test\",\"sub\":\"usr_1\",\"username\":\"al\\\"ice\","
       "\"preferred_username\":\"al\\\"ice\",\"email\":\"a@x.test\",\"client_id\":\"client_7\","
       "\"aud\":\"client_7\",\"scope\":\"openid email\",\"jti\":\"<jti>\",\"token_use\":\"access\","
       "\"iat\":1700000000,\"exp\":1700000060}"},
      {"access, nulls and empties",
       [](char* o, size_t c) {
         return id_jwt_mint_access_token(nullptr, nullptr, nullptr, "", nullptr, "", 0, o, c);
       },
       "{\"username\":\"\",\"preferred_username\":\"\",\"scope\":\"openid profile\",\"jti\":\"<jti>\","
       "\"token_use\":\"access\",\"iat\":1700000000,\"exp\":1700003600}"},
      {"access, null scope",
       [](char* o, size_t c) {
         return id_jwt_mint_access_token("i", "s", "u", nullptr, "", nullptr, 1, o, c);
       },
       "{\"iss\":\"i\",\"sub\":\"s\",\"username\":\"u\",\"preferred_username\":\"u\","
       "\"scope\":\"openid profile\",\"jti\":\"<jti>\",\"token_use\":\"access\","
       "\"iat\":1700000000,\"exp\":1700000001}"},
      {"id, every argument",
       [](char* o, size_t c) {
         return id_jwt_mint_id_token("https://id.test", "usr_1", "alice", "a@x.test", "client_7",
                                     "n-1", 4294967295u, o, c);
       },
       "{\"iss\":\"https://id.test\",\"sub\":\"usr_1\",\"aud\":\"client_7\","
       "\"preferred_username\":\"alice\",\"email\":\"a@x.test\",\"nonce\":\"n-1\","
       "\"iat\":1700000000,\"exp\":5994967295}"},
      {"id, nulls",
       [](char* o, size_t c) {
         return id_jwt_mint_id_token(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, o, c);
       },
       "{\"aud\":\"\",\"preferred_username\":\"\",\"iat\":1700000000,\"exp\":1700003600}"},
      {"id v2, every argument",
       [](char* o, size_t c) {
         return id_jwt_mint_id_token_v2("https://id.test", "usr_1", "alice", "a@x.test",
                                        "client_7", "n-1", "at-123", 1699999000, 300, o, c);
       },
       "{\"iss\":\"https://id.test\",\"sub\":\"usr_1\",\"aud\":\"client_7\","
       "\"preferred_username\":\"alice\",\"email\":\"a@x.test\",\"nonce\":\"n-1\","
       "\"auth_time\":1699999000,\"at_hash\":\"pZOyhFN0Z9eQivPyniH1Gg\",\"token_use\":\"id\","
       "\"iat\":1700000000,\"exp\":1700000300}"},
      {"id v2, nulls and empties",
       [](char* o, size_t c) {
         return id_jwt_mint_id_token_v2(nullptr, nullptr, nullptr, "", nullptr, "", "", 0, 0, o, c);
       },
       "{\"sub\":\"\",\"aud\":\"\",\"preferred_username\":\"\",\"token_use\":\"id\","
       "\"iat\":1700000000,\"exp\":1700003600}"},
      {"id v2, no access token",
       [](char* o, size_t c) {
         return id_jwt_mint_id_token_v2("i", "s", "u", nullptr, "a", nullptr, nullptr, -5, 0, o, c);
       },
       "{\"iss\":\"i\",\"sub\":\"s\",\"aud\":\"a\",\"preferred_username\":\"u\",\"token_use\":\"id\","
       "\"iat\":1700000000,\"exp\":1700003600}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string token = mint(c.mint);
    ASSERT_NE(token, "(failed)");
    Parts p = split(token);
    EXPECT_EQ(p.header, rs256_header(kid0));
    EXPECT_EQ(token.substr(0, token.find('.')), b64url(rs256_header(kid0)));
    EXPECT_EQ(p.sig.size(), 342u);
    std::string expected = c.claims;
    size_t at = expected.find("<jti>");
    if (at != std::string::npos) {
      size_t jti_at = p.claims.find("\"jti\":\"") + 7;
      std::string jti = p.claims.substr(jti_at, p.claims.find('"', jti_at) - jti_at);
      EXPECT_EQ(jti.size(), 16u);
      expected.replace(at, 5, jti);
    }
    EXPECT_EQ(p.claims, expected);
    id_jwt_claims claims;
    EXPECT_EQ(id_jwt_verify(token.c_str(), &claims), 0);
    EXPECT_EQ(claims.iat, kNow);
  }
}

TEST_F(JwtTest, AccessTokenIdentifiersAreFreshAndNeedTheRandomSource) {
  auto jti = [] {
    std::string t = mint([](char* o, size_t c) {
      return id_jwt_mint_access_token("i", "s", "u", nullptr, nullptr, nullptr, 0, o, c);
    });
    id_jwt_claims claims{};
    EXPECT_EQ(id_jwt_verify(t.c_str(), &claims), 0);
    return std::string(claims.jti);
  };
  std::string a = jti(), b = jti();
  EXPECT_EQ(a.size(), 16u);
  EXPECT_EQ(b.size(), 16u);
  EXPECT_NE(a, b);
  g_platform.getrandom = fail_getrandom;
  char out[4096];
  EXPECT_EQ(id_jwt_mint_access_token("i", "s", "u", nullptr, nullptr, nullptr, 0, out, sizeof out), -1);
}

TEST_F(JwtTest, SizeLimitsOfClaimsAndOutput) {
  auto claims_of_size = [](size_t n) { return "{\"x\":\"" + std::string(n - 8, 'a') + "\"}"; };
  std::string out(8192, '\0');
  EXPECT_EQ(id_jwt_sign_rs256(claims_of_size(3071).c_str(), out.data(), out.size()), 0);
  EXPECT_EQ(id_jwt_sign_rs256(claims_of_size(3072).c_str(), out.data(), out.size()), -1);

  std::string token = signed_claims("{\"sub\":\"x\"}");
  EXPECT_EQ(id_jwt_sign_rs256("{\"sub\":\"x\"}", out.data(), token.size()), -1);
  std::string exact(token.size() + 2, '#');
  EXPECT_EQ(id_jwt_sign_rs256("{\"sub\":\"x\"}", exact.data(), token.size() + 1), 0);
  EXPECT_EQ(exact.substr(0, token.size() + 1), token + std::string(1, '\0'));
  EXPECT_EQ(exact.back(), '#');
  EXPECT_EQ(id_jwt_sign_rs256(nullptr, out.data(), out.size()), -1);
}

TEST_F(JwtTest, ClaimsAreCopiedByTheirReadingRules) {
  std::string long_text(300, 'q');
  struct Case {
    const char* name;
    std::string claims;
    std::function<void(const id_jwt_claims&)> check;
  } cases[] = {
      {"preferred_username alone",
       "{\"preferred_username\":\"pu\",\"sub\":7,\"aud\":[\"a\",\"b\"]}",
       [](const id_jwt_claims& c) {
         EXPECT_STREQ(c.username, "pu");
         EXPECT_STREQ(c.sub, "");
         EXPECT_STREQ(c.aud, "");
       }},
      {"username wins", "{\"preferred_username\":\"pu\",\"username\":\"u\"}",
       [](const id_jwt_claims& c) { EXPECT_STREQ(c.username, "u"); }},
      {"first member of a name", "{\"iss\":\"one\",\"iss\":\"two\",\"exp\":5000000000,\"exp\":1}",
       [](const id_jwt_claims& c) {
         EXPECT_STREQ(c.iss, "one");
         EXPECT_EQ(c.exp, 5000000000);
       }},
      {"texts cut to fit",
       "{\"scope\":\"" + long_text + "\",\"token_use\":\"identity\",\"jti\":\"j\",\"email\":\"e\"}",
       [&](const id_jwt_claims& c) {
         EXPECT_EQ(std::string(c.scope), long_text.substr(0, 255));
         EXPECT_STREQ(c.token_use, "identit");
         EXPECT_STREQ(c.jti, "j");
         EXPECT_STREQ(c.email, "e");
       }},
      {"times that are not integers", "{\"exp\":\"9\",\"iat\":1.5}",
       [](const id_jwt_claims& c) {
         EXPECT_EQ(c.exp, 0);
         EXPECT_EQ(c.iat, 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string token = signed_claims(c.claims);
    id_jwt_claims claims;
    std::memset(&claims, 'z', sizeof claims);
    ASSERT_EQ(id_jwt_verify(token.c_str(), &claims), 0);
    c.check(claims);
    EXPECT_EQ(id_jwt_verify(token.c_str(), nullptr), 0);
  }
}

// BearSSL's check only recovers the hash that a signature carries. A signature of
// another token by the same key passes it; the token must still be refused because
// the recovered hash is not this token's.
TEST_F(JwtTest, ASignatureOfAnotherTokenIsRefused) {
  std::string a = signed_claims("{\"sub\":\"alice\"}");
  std::string b = signed_claims("{\"sub\":\"mallory\"}");
  std::string forged = b.substr(0, b.rfind('.')) + a.substr(a.rfind('.'));
  std::string sig = b64url_decode(a.substr(a.rfind('.') + 1));
  const id_rsa_public_key* pk = nullptr;
  ASSERT_EQ(id_keys_find(kid0.c_str(), nullptr, &pk), 0);
  unsigned char recovered[32];
  EXPECT_EQ(br_rsa_i31_pkcs1_vrfy(reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                                  BR_HASH_OID_SHA256, 32, &pk->key, recovered),
            1u);
  EXPECT_EQ(id_jwt_verify(a.c_str(), nullptr), 0);
  EXPECT_EQ(id_jwt_verify(forged.c_str(), nullptr), -2);
}

// The standard SubjectPublicKeyInfo of a key: ours with the AlgorithmIdentifier
// SEQUENCE put back. What an attacker would use as an HMAC key.
std::string standard_spki(const id_key_entry& k) {
  br_rsa_public_key pk{const_cast<unsigned char*>(k.n), k.n_len, const_cast<unsigned char*>(k.e), k.e_len};
  unsigned char ours[kSpkiMax];
  size_t len = id_spki_encode(ours, &pk);
  std::string der = "\x30\x82\x01\x22\x30\x0d";
  der.append(reinterpret_cast<char*>(ours) + 4, len - 4);
  EXPECT_EQ(der.size(), 294u);
  return der;
}

std::string pem(const std::string& der) {
  std::string b64 = b64url(der);
  for (char& ch : b64) ch = ch == '-' ? '+' : ch == '_' ? '/' : ch;
  while (b64.size() % 4) b64 += '=';
  std::string out = "-----BEGIN PUBLIC KEY-----\n";
  for (size_t i = 0; i < b64.size(); i += 64) out += b64.substr(i, 64) + "\n";
  return out + "-----END PUBLIC KEY-----\n";
}

TEST_F(JwtTest, HostileAndOddTokens) {
  const std::string good = signed_claims("{\"sub\":\"x\",\"exp\":1700000001}");
  const std::string other = signed_claims("{\"sub\":\"y\"}");
  const std::string h = b64url(rs256_header(kid0));
  const std::string body = good.substr(good.find('.') + 1, good.rfind('.') - good.find('.') - 1);
  const std::string sig_text = good.substr(good.rfind('.') + 1);
  const std::string sig = b64url_decode(sig_text);
  std::string flipped = sig;
  flipped[100] ^= 0x01;
  auto with_alg = [&](const std::string& alg_member) {
    return token_of("{" + alg_member + "\"typ\":\"JWT\",\"kid\":\"" + kid0 + "\"}", "{\"sub\":\"x\"}");
  };
  auto rs = [&](const std::string& claims) { return token_of(rs256_header(kid0), claims); };
  const std::string spki = standard_spki(pool_key(0));
  const std::string spki_pem = pem(spki);
  const std::string expired = rs("{\"exp\":1}");  // a bad signature is named before expiry
  std::string hs_header = "{\"alg\":\"HS256\",\"typ\":\"JWT\",\"kid\":\"" + kid0 + "\"}";

  struct Case {
    const char* name;
    std::string token;
    int result;
  } cases[] = {
      {"good", good, 0},
      {"signed by a retired key", token_of(rs256_header(kid1), "{\"sub\":\"x\"}", 1), 0},
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
      {"HS256 keyed with the public key DER", hs256_token(hs_header, "{}", spki.data(), spki.size()), -2},
      {"HS256 keyed with the public key PEM",
       hs256_token(hs_header, "{}", spki_pem.data(), spki_pem.size()), -2},
      {"HS256 of 31 bytes", hs256_token(hs_header, "{}", spki.data(), spki.size(), 31), -1},
      {"unknown kid", token_of(rs256_header("AAAAAAAAAAAAAAAA"), "{}"), -2},
      {"no kid", token_of("{\"alg\":\"RS256\"}", "{}"), -2},
      {"empty kid", token_of(rs256_header(""), "{}"), -2},
      {"kid too long", token_of(rs256_header(kid0 + "0123456789"), "{}"), -2},
      {"kid not a string", token_of("{\"alg\":\"RS256\",\"kid\":16}", "{}"), -2},
      {"kid of the other key", token_of(rs256_header(kid1), "{}"), -2},
      {"signature of 255 bytes", h + "." + body + "." + b64url(sig.substr(0, 255)), -1},
      {"signature of 257 bytes", h + "." + body + "." + b64url(sig + "\x01"), -1},
      {"signature of another token", h + "." + body + other.substr(other.rfind('.')), -2},
      {"signature with one bit changed", h + "." + body + "." + b64url(flipped), -2},
      {"claims changed", h + "." + b64url("{\"sub\":\"z\",\"exp\":1700000001}") + "." + sig_text, -2},
      {"expired and badly signed", expired.substr(0, expired.rfind('.') + 1) + b64url(flipped), -2},
      {"two segments", h + "." + body, -1},
      {"four segments", good + ".x", -1},
      {"five segments", good + ".x.y", -1},
      {"header bad base64url", "%%." + body + "." + sig_text, -1},
      {"signature bad base64url", h + "." + body + "." + sig_text.substr(0, 300) + "*", -1},
      {"claims bad base64url", sign_input(h + ".e30*"), -1},
      {"empty header", sign_input("." + body), -1},
      {"header not an object", token_of("[\"RS256\"]", "{}"), -1},
      {"header not JSON", token_of("{alg:RS256}", "{}"), -1},
      {"header too long", token_of(rs256_header(kid0) + std::string(600, ' '), "{}"), -1},
      {"claims an array", rs("[]"), -1},
      {"claims a string", rs("\"sub\""), -1},
      {"claims null", rs("null"), -1},
      {"claims not JSON", rs("{\"sub\":"), -1},
      {"claims with a comment", rs("{/*x*/}"), -1},
      {"claims too long", rs("{\"a\":\"" + std::string(4100, 'a') + "\"}"), -1},
      {"claims empty", rs(""), -1},
      {"exp a string", rs("{\"exp\":\"1\"}"), 0},
      {"exp a fraction", rs("{\"exp\":1.5}"), 0},
      {"exp 0", rs("{\"exp\":0}"), 0},
      {"exp negative", rs("{\"exp\":-1}"), -3},
      {"exp one second past", rs("{\"exp\":1699999999}"), -3},
      {"exp the current second", rs("{\"exp\":1700000000}"), 0},
      {"exp beyond 2038", rs("{\"exp\":4102444800}"), 0},
      {"exp beyond 64 bits", rs("{\"exp\":18446744073709551615}"), 0},
      {"no exp, however old", rs("{\"iat\":1}"), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    id_jwt_claims claims;
    std::memset(&claims, 'z', sizeof claims);
    id_jwt_claims untouched = claims;
    int rc = id_jwt_verify(c.token.c_str(), &claims);
    EXPECT_EQ(rc, c.result);
    if (rc != 0) {
      EXPECT_EQ(std::memcmp(&claims, &untouched, sizeof claims), 0);
    }
    EXPECT_EQ(id_jwt_verify(c.token.c_str(), nullptr), rc);
  }
  EXPECT_EQ(id_jwt_verify(nullptr, nullptr), -1);
}

TEST_F(JwtTest, RotationChangesTheSigningKeyAndPruningEndsTheOldOne) {
  std::string before = signed_claims("{\"sub\":\"x\"}");
  ASSERT_EQ(id_keys_rotate(), 0);
  char kid[24];
  ASSERT_EQ(id_keys_get_active(nullptr, nullptr, kid, sizeof kid), 0);
  ASSERT_NE(kid, kid0);
  std::string after = signed_claims("{\"sub\":\"x\"}");
  EXPECT_EQ(split(after).header, rs256_header(kid));
  EXPECT_EQ(id_jwt_verify(before.c_str(), nullptr), 0);
  EXPECT_EQ(id_jwt_verify(after.c_str(), nullptr), 0);
  keys_test::g_fixed_now = zeb_platform_default.time() + 1;  // after the new key's creation
  EXPECT_EQ(id_keys_prune(0), 2);
  EXPECT_EQ(id_jwt_verify(before.c_str(), nullptr), -2);
  EXPECT_EQ(id_jwt_verify(after.c_str(), nullptr), 0);
}

// ---- against an independent implementation ------------------------------------

TEST_F(JwtTest, OurTokensVerifyWithCryptography) {
  std::vector<std::string> tokens{
      mint([](char* o, size_t c) {
        return id_jwt_mint_access_token("i", "s", "u", "e", "c", "openid", 0, o, c);
      }),
      mint([](char* o, size_t c) {
        return id_jwt_mint_id_token("i", "s", "u", "e", "c", "n", 0, o, c);
      }),
      mint([](char* o, size_t c) {
        return id_jwt_mint_id_token_v2("i", "s", "u", "e", "c", "n", "at", 5, 0, o, c);
      }),
      signed_claims("{\"sub\":\"" + std::string(3000, 'x') + "\"}"),
  };
  std::string tampered = tokens[0];
  tampered[tampered.find('.') + 3] ^= 1;
  tokens.push_back(tampered);
  std::string jwks = dir.path("jwks.json");
  char* text = id_keys_jwks_json();
  ASSERT_TRUE(text);
  TempDataDir::write_file(jwks, text);
  std::free(text);
  std::string args = "verify " + jwks;
  for (const std::string& t : tokens) args += " " + t;
  EXPECT_EQ(lines(python(args)), (std::vector<std::string>{"ok", "ok", "ok", "ok", "bad"}));
}

TEST_F(JwtTest, ForeignKeysAreProvenUsedAndPublishedOrRefused) {
  std::string good_der = dir.path("good.der"), bad_der = dir.path("bad.der");
  std::string good = lines(python("der " + good_der + " good")).at(0);
  std::string bad = lines(python("der " + bad_der + " badprimes")).at(0);
  keys_test::StoredKey g{good, TempDataDir::read_file(good_der), 1700000000, "active"};
  keys_test::StoredKey b{bad, TempDataDir::read_file(bad_der), 1700000000, "retired"};
  write_keys(keys_json(good, {b, g}));
  zeb::keys_forget();

  std::vector<std::string> theirs =
      lines(python("sign " + good_der + " " + good + " '{\"sub\":\"py\",\"exp\":1700000000}' " +
                   "'{\"sub\":\"py\",\"exp\":1699999999}'"));
  std::vector<std::string> by_bad = lines(python("sign " + bad_der + " " + bad + " '{\"sub\":\"py\"}'"));
  ASSERT_EQ(theirs.size(), 2u);
  ASSERT_EQ(by_bad.size(), 1u);
  id_jwt_claims claims{};
  EXPECT_EQ(id_jwt_verify(theirs[0].c_str(), &claims), 0);
  EXPECT_STREQ(claims.sub, "py");
  EXPECT_EQ(id_jwt_verify(theirs[1].c_str(), nullptr), -3);
  EXPECT_EQ(id_jwt_verify(by_bad[0].c_str(), nullptr), -2);

  char* text = id_keys_jwks_json();
  ASSERT_TRUE(text);
  std::string jwks = text;
  std::free(text);
  EXPECT_EQ(jwks.find(bad), std::string::npos);
  EXPECT_NE(jwks.find(good), std::string::npos);

  // The foreign key signs our tokens, and the other side accepts them.
  std::string ours = signed_claims("{\"sub\":\"c\"}");
  EXPECT_EQ(split(ours).header, rs256_header(good));
  TempDataDir::write_file(dir.path("jwks.json"), jwks);
  EXPECT_EQ(lines(python("verify " + dir.path("jwks.json") + " " + ours)),
            (std::vector<std::string>{"ok"}));
}

TEST_F(JwtTest, Hs256TokensOfPythonsHmacVerify) {
  unsigned char secret[32];
  ASSERT_EQ(id_get_secret_key(secret), 0);
  TempDataDir::write_file(dir.path("other.key"), std::string(32, 'k'));
  std::vector<std::string> t = lines(python(
      "hs256 " + dir.path("secret.key") + " '{\"sub\":\"h\",\"token_use\":\"id\"}' '{\"exp\":1}'"));
  std::vector<std::string> other = lines(python("hs256 " + dir.path("other.key") + " '{}'"));
  ASSERT_EQ(t.size(), 2u);
  ASSERT_EQ(other.size(), 1u);
  id_jwt_claims claims{};
  EXPECT_EQ(id_jwt_verify(t[0].c_str(), &claims), 0);
  EXPECT_STREQ(claims.sub, "h");
  EXPECT_STREQ(claims.token_use, "id");
  EXPECT_EQ(id_jwt_verify(t[1].c_str(), nullptr), -3);
  EXPECT_EQ(id_jwt_verify(other[0].c_str(), nullptr), -2);
  // A 40-byte secret.key is keyed with its first 32 bytes.
  TempDataDir::write_file(dir.path("secret.key"), std::string(32, 'k') + "8 more b");
  EXPECT_EQ(id_jwt_verify(other[0].c_str(), nullptr), 0);
}

}  // namespace
