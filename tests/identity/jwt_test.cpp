#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hostile_tokens.h"
#include "id_keys.h"
#include "identity_common.h"
#include "keys_fixture.h"

namespace {

using hostile_tokens::rs256_header;
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

std::string signed_claims(const std::string& claims) {
  std::string out(8192, '\0');
  EXPECT_EQ(id_jwt_sign_rs256(claims.c_str(), out.data(), out.size()), 0);
  return out.c_str();
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

// Every hostile token around two claim sets, one with a member and the empty one.
// A refused token leaves the claims untouched, and the result does not depend on
// whether claims are asked for.
TEST_F(JwtTest, HostileAndOddTokens) {
  for (const char* claims : {"{\"sub\":\"x\"}", "{}"}) {
    for (const hostile_tokens::Case& c : hostile_tokens::cases(pool_key(0), pool_key(1), claims, kNow)) {
      SCOPED_TRACE(std::string(c.name) + " around " + claims);
      id_jwt_claims out;
      std::memset(&out, 'z', sizeof out);
      id_jwt_claims untouched = out;
      int rc = id_jwt_verify(c.token.c_str(), &out);
      EXPECT_EQ(rc, c.result);
      if (rc != 0) {
        EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0);
      }
      EXPECT_EQ(id_jwt_verify(c.token.c_str(), nullptr), rc);
    }
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
