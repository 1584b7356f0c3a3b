// Token verification with a fixed key table and HS256 secret (fuzz/jwt_keys/, a
// key made for this harness only) and a clock held at the second the seed tokens
// were minted. The first byte picks how the rest becomes a token:
//   0  the rest is the token text;
//   1  header JSON NUL claims JSON, encoded and signed HS256 with the fixed secret,
//      so that mutations reach the claims past a valid signature;
//   2  claims JSON, signed RS256 by id_jwt_sign_rs256.
#include <string>
#include <string_view>
#include <vector>

#include "crypto.h"
#include "fuzz_support.h"
#include "id_keys.h"
#include "identity_common.h"

namespace {

unsigned char g_secret[32];

std::string b64(std::string_view s) {
  std::string out((s.size() + 2) / 3 * 4 + 1, '\0');
  int n = zeb_base64url_encode(s.data(), s.size(), out.data(), out.size());
  FUZZ_CHECK(n >= 0);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string hs256_token(const std::string& header, const std::string& claims) {
  std::string input = b64(header) + "." + b64(claims);
  unsigned char mac[32];
  zeb_hmac_sha256(g_secret, sizeof g_secret, input.data(), input.size(), mac);
  return input + "." + b64(std::string_view(reinterpret_cast<char*>(mac), sizeof mac));
}

std::string member(const std::string& json, const char* name) {
  yyjson_doc* doc = yyjson_read(json.data(), json.size(), 0);
  yyjson_val* v = doc ? yyjson_obj_get(yyjson_doc_get_root(doc), name) : nullptr;
  std::string out = yyjson_is_str(v) ? yyjson_get_str(v) : "";
  yyjson_doc_free(doc);
  return out;
}

// An accepted HS256 token carries the MAC of its first two parts under the secret.
void check_accepted_hs256(const std::string& token) {
  size_t dot1 = token.find('.');
  size_t dot2 = token.find('.', dot1 + 1);
  FUZZ_CHECK(dot1 != std::string::npos && dot2 != std::string::npos);
  std::vector<unsigned char> header(dot1 + 1);
  size_t hn = 0;
  FUZZ_CHECK(zeb_base64url_decode(token.data(), dot1, header.data(), header.size(), &hn) == 0);
  if (member(std::string(reinterpret_cast<char*>(header.data()), hn), "alg") != "HS256") return;
  unsigned char mac[32];
  zeb_hmac_sha256(g_secret, sizeof g_secret, token.data(), dot2, mac);
  unsigned char sig[40];
  size_t sn = 0;
  std::string_view s(token.data() + dot2 + 1);
  FUZZ_CHECK(zeb_base64url_decode(s.data(), s.size(), sig, sizeof sig, &sn) == 0);
  FUZZ_CHECK(sn == 32 && std::memcmp(sig, mac, 32) == 0);
}

int verify(const std::string& token) {
  id_jwt_claims claims;
  std::memset(&claims, 0xa5, sizeof claims);
  id_jwt_claims poison = claims;
  int rc = id_jwt_verify(token.c_str(), &claims);
  FUZZ_CHECK(rc == 0 || rc == -1 || rc == -2 || rc == -3);
  if (rc != 0) {
    FUZZ_CHECK(std::memcmp(&claims, &poison, sizeof claims) == 0);
    return rc;
  }
  for (std::string_view field : {std::string_view(claims.iss, sizeof claims.iss),
                                 std::string_view(claims.sub, sizeof claims.sub),
                                 std::string_view(claims.username, sizeof claims.username),
                                 std::string_view(claims.email, sizeof claims.email),
                                 std::string_view(claims.aud, sizeof claims.aud),
                                 std::string_view(claims.scope, sizeof claims.scope),
                                 std::string_view(claims.jti, sizeof claims.jti),
                                 std::string_view(claims.token_use, sizeof claims.token_use)}) {
    FUZZ_CHECK(field.find('\0') != std::string_view::npos);
  }
  FUZZ_CHECK(claims.exp == 0 || claims.exp >= fuzz::kNow);
  check_accepted_hs256(token.c_str());
  FUZZ_CHECK(id_jwt_verify(token.c_str(), nullptr) == 0);
  return rc;
}

void copy_fixture(const char* name) {
  std::string from = std::string(ZEB_FUZZ_DIR) + "/jwt_keys/" + name;
  size_t len = 0;
  char* text = zeb_file_read(from.c_str(), &len, nullptr);
  if (!text) {
    std::fprintf(stderr, "cannot read %s\n", from.c_str());
    std::abort();
  }
  fuzz::write_store(name, text, len);
  std::free(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::setup();
  copy_fixture("keys.json");
  copy_fixture("secret.key");
  FUZZ_CHECK(id_keys_load_or_create() == 0);
  FUZZ_CHECK(id_get_secret_key(g_secret) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<std::string> f = fuzz::split(data + 1, size - 1, 2);
  switch (data[0] % 3) {
    case 0:
      verify(f[0]);
      break;
    case 1: {
      // The claims may hold NULs; the header cannot.
      int rc = verify(hs256_token(f[0], f[1]));
      if (member(f[0], "alg") == "HS256") FUZZ_CHECK(rc != -2);
      break;
    }
    case 2: {
      std::string claims = std::string(f[0]).c_str();
      char token[8192];
      if (id_jwt_sign_rs256(claims.c_str(), token, sizeof token) == 0) {
        int rc = verify(token);
        FUZZ_CHECK(rc != -2);
      }
      break;
    }
  }
  return 0;
}
