// The signing keys and tokens beside OpenSSL's libcrypto doing the same work:
// key generation, decoding and proving a stored key, RS256 signing, and the
// verification of a sign-out's ID token hint from a cold key table. The
// *_BearSslCalls cases run only the library calls of our path, so that the cost of
// our own code around them is the difference.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstring>
#include <string>

#include "crypto.h"
#include "id_keys.h"
#include "identity_common.h"
#include "keys_internal.h"

namespace {

// A data directory with one keys.json made by the first key operation, and an
// ID token hint signed with its key.
struct World {
  std::string dir;
  id_key_entry key{};  // the stored key as loading leaves it, not decoded
  std::string token;

  World() {
    char tmpl[] = "/tmp/zeb-keys-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    setenv("IDENTITY_DATA_DIR", dir.c_str(), 1);
    if (chdir(dir.c_str()) != 0) std::abort();
    char out[4096];
    if (id_jwt_mint_id_token_v2("https://id.example", "usr_AbCdEfGhIjK", "alice", "alice@example.com",
                                "client_AbCdEfGhIjK", "n-0S6_WzA2Mj", nullptr, 1700000000, 3600,
                                out, sizeof out) != 0) {
      std::abort();
    }
    token = out;
    key = zeb::g_keys[0];
    key.decoded = 0;
  }
  ~World() {
    std::string cmd = "rm -rf " + dir;
    if (std::system(cmd.c_str()) != 0) std::abort();
  }
};

World& world() {
  static World w;
  return w;
}

std::string signing_input(const std::string& token) { return token.substr(0, token.rfind('.')); }

std::string signature(const std::string& token) {
  std::string sig_text = token.substr(token.rfind('.') + 1);
  std::string sig(512, '\0');
  size_t n = 0;
  zeb_base64url_decode(sig_text.data(), sig_text.size(), reinterpret_cast<unsigned char*>(sig.data()),
                       sig.size(), &n);
  sig.resize(n);
  return sig;
}

EVP_PKEY* openssl_key(const id_key_entry& k) {
  const unsigned char* p = k.der;
  return d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(k.der_len));
}

// ---- key generation ----------------------------------------------------------------

void BM_KeyGenerate_Ours(benchmark::State& state) {
  id_key_entry k;
  for (auto _ : state) {
    if (id_key_generate(&k) != 0) state.SkipWithError("generation failed");
    benchmark::DoNotOptimize(k.kid);
  }
}
BENCHMARK(BM_KeyGenerate_Ours)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_KeyGenerate_OpenSsl(benchmark::State& state) {
  for (auto _ : state) {
    EVP_PKEY* k = EVP_RSA_gen(2048);
    if (!k) state.SkipWithError("generation failed");
    EVP_PKEY_free(k);
  }
}
BENCHMARK(BM_KeyGenerate_OpenSsl)->Unit(benchmark::kMillisecond)->Iterations(20);

// ---- decoding and proving a stored key ------------------------------------------

void BM_KeyDecode_Ours(benchmark::State& state) {
  id_key_entry k = world().key;
  for (auto _ : state) {
    k.decoded = 0;
    if (id_key_decode(&k) != 0) state.SkipWithError("decode failed");
  }
}
BENCHMARK(BM_KeyDecode_Ours)->Unit(benchmark::kMicrosecond);

void BM_KeyDecode_BearSslCalls(benchmark::State& state) {
  id_key_entry k = world().key;
  unsigned char n[257];
  for (auto _ : state) {
    br_skey_decoder_init(&k.decoder);
    br_skey_decoder_push(&k.decoder, k.der, k.der_len);
    const br_rsa_private_key* sk = br_skey_decoder_get_rsa(&k.decoder);
    benchmark::DoNotOptimize(br_rsa_i31_compute_modulus(n, sk));
    benchmark::DoNotOptimize(br_rsa_i31_compute_pubexp(sk));
  }
}
BENCHMARK(BM_KeyDecode_BearSslCalls)->Unit(benchmark::kMicrosecond);

// The same proof with libcrypto: parse the PKCS#8, encode the public key, hash it.
void BM_KeyDecode_OpenSsl(benchmark::State& state) {
  const id_key_entry& k = world().key;
  for (auto _ : state) {
    EVP_PKEY* key = openssl_key(k);
    unsigned char* spki = nullptr;
    int len = i2d_PUBKEY(key, &spki);
    unsigned char digest[32];
    zeb_sha256(spki, static_cast<size_t>(len), digest);
    benchmark::DoNotOptimize(digest);
    OPENSSL_free(spki);
    EVP_PKEY_free(key);
  }
}
BENCHMARK(BM_KeyDecode_OpenSsl)->Unit(benchmark::kMicrosecond);

// ---- RS256 signature ------------------------------------------------------------------

const char kClaims[] =
    "{\"iss\":\"https://id.example\",\"sub\":\"usr_AbCdEfGhIjK\",\"aud\":\"client_AbCdEfGhIjK\","
    "\"preferred_username\":\"alice\",\"email\":\"alice@example.com\",\"nonce\":\"n-0S6_WzA2Mj\","
    "\"auth_time\":1700000000,\"token_use\":\"id\",\"iat\":1700000000,\"exp\":1700003600}";

void BM_Sign_Ours(benchmark::State& state) {
  world();
  char out[4096];
  for (auto _ : state) {
    if (id_jwt_sign_rs256(kClaims, out, sizeof out) != 0) state.SkipWithError("sign failed");
  }
}
BENCHMARK(BM_Sign_Ours)->Unit(benchmark::kMillisecond);

void BM_Sign_BearSslCalls(benchmark::State& state) {
  const br_rsa_private_key* sk = br_skey_decoder_get_rsa(&zeb::g_keys[0].decoder);
  unsigned char hash[32] = {1}, sig[256];
  for (auto _ : state) benchmark::DoNotOptimize(br_rsa_i31_pkcs1_sign(BR_HASH_OID_SHA256, hash, 32, sk, sig));
}
BENCHMARK(BM_Sign_BearSslCalls)->Unit(benchmark::kMillisecond);

void BM_Sign_OpenSsl(benchmark::State& state) {
  EVP_PKEY* key = openssl_key(world().key);
  std::string input = signing_input(world().token);
  unsigned char sig[256];
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = sizeof sig;
    EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
    if (EVP_DigestSign(ctx, sig, &len, reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1) {
      state.SkipWithError("sign failed");
    }
    EVP_MD_CTX_free(ctx);
  }
  EVP_PKEY_free(key);
}
BENCHMARK(BM_Sign_OpenSsl)->Unit(benchmark::kMillisecond);

// ---- verification of a hint, from a cold key table ----------------------------------

// What one sign-out process pays: load keys.json, decode and prove the key, verify.
void BM_VerifyHint_Ours(benchmark::State& state) {
  const char* token = world().token.c_str();
  for (auto _ : state) {
    zeb::keys_forget();
    if (id_jwt_verify(token, nullptr) != 0) state.SkipWithError("verify failed");
  }
}
BENCHMARK(BM_VerifyHint_Ours)->Unit(benchmark::kMicrosecond);

// The same with the table already in memory but the key not yet decoded: the file
// read and parse left out.
void BM_VerifyHint_Ours_TableLoaded(benchmark::State& state) {
  const char* token = world().token.c_str();
  for (auto _ : state) {
    for (int i = 0; i < zeb::g_nkeys; ++i) zeb::g_keys[i].decoded = 0;
    if (id_jwt_verify(token, nullptr) != 0) state.SkipWithError("verify failed");
  }
}
BENCHMARK(BM_VerifyHint_Ours_TableLoaded)->Unit(benchmark::kMicrosecond);

// Only the BearSSL calls of that path: key decoding, modulus and exponent recovery,
// the signature check.
void BM_VerifyHint_BearSslCalls(benchmark::State& state) {
  id_key_entry k = world().key;
  std::string sig = signature(world().token);
  unsigned char hash[32];
  for (auto _ : state) {
    br_skey_decoder_init(&k.decoder);
    br_skey_decoder_push(&k.decoder, k.der, k.der_len);
    const br_rsa_private_key* sk = br_skey_decoder_get_rsa(&k.decoder);
    size_t n_len = br_rsa_i31_compute_modulus(k.n, sk);
    uint32_t e = br_rsa_i31_compute_pubexp(sk);
    unsigned char e_bytes[3] = {static_cast<unsigned char>(e >> 16), static_cast<unsigned char>(e >> 8),
                                static_cast<unsigned char>(e)};
    br_rsa_public_key pk{k.n, n_len, e_bytes, 3};
    benchmark::DoNotOptimize(br_rsa_i31_pkcs1_vrfy(reinterpret_cast<const unsigned char*>(sig.data()),
                                                   sig.size(), BR_HASH_OID_SHA256, 32, &pk, hash));
  }
}
BENCHMARK(BM_VerifyHint_BearSslCalls)->Unit(benchmark::kMicrosecond);

// The libcrypto way of the same job: read and parse keys.json, decode the DER of the
// key, prove its identifier, verify the signature.
void BM_VerifyHint_OpenSsl(benchmark::State& state) {
  const std::string& token = world().token;
  std::string input = signing_input(token);
  std::string path = world().dir + "/keys.json";
  for (auto _ : state) {
    yyjson_doc* doc = yyjson_read_file(path.c_str(), 0, nullptr, nullptr);
    yyjson_val* k = yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc), "keys"));
    yyjson_val* der_text = yyjson_obj_get(k, "priv_der_b64");
    unsigned char der[2048];
    size_t der_len = 0;
    zeb_base64url_decode(yyjson_get_str(der_text), yyjson_get_len(der_text), der, sizeof der, &der_len);
    yyjson_doc_free(doc);
    const unsigned char* p = der;
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der_len));
    unsigned char* spki = nullptr;
    int spki_len = i2d_PUBKEY(key, &spki);
    unsigned char digest[32];
    zeb_sha256(spki, static_cast<size_t>(spki_len), digest);
    OPENSSL_free(spki);
    std::string sig = signature(token);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key);
    if (EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                         reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1) {
      state.SkipWithError("verify failed");
    }
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
  }
}
BENCHMARK(BM_VerifyHint_OpenSsl)->Unit(benchmark::kMicrosecond);

// Only the signature checks, with keys at hand.
void BM_Verify_BearSslCall(benchmark::State& state) {
  const id_rsa_public_key* pk = nullptr;
  world();
  id_keys_find(zeb::g_keys[0].kid, nullptr, &pk);
  std::string sig = signature(world().token);
  unsigned char hash[32];
  for (auto _ : state) {
    benchmark::DoNotOptimize(br_rsa_i31_pkcs1_vrfy(reinterpret_cast<const unsigned char*>(sig.data()),
                                                   sig.size(), BR_HASH_OID_SHA256, 32, &pk->key, hash));
  }
}
BENCHMARK(BM_Verify_BearSslCall)->Unit(benchmark::kMicrosecond);

void BM_Verify_OpenSsl(benchmark::State& state) {
  EVP_PKEY* key = openssl_key(world().key);
  std::string input = signing_input(world().token);
  std::string sig = signature(world().token);
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key);
    benchmark::DoNotOptimize(EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(sig.data()),
                                              sig.size(), reinterpret_cast<const unsigned char*>(input.data()),
                                              input.size()));
    EVP_MD_CTX_free(ctx);
  }
  EVP_PKEY_free(key);
}
BENCHMARK(BM_Verify_OpenSsl)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
