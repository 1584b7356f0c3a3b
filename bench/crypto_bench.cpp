// Our SHA-256 and PBKDF2 on each compression path, beside OpenSSL's on the same
// inputs. Run once as is (both sides use the SHA extensions where the CPU has
// them) and once with OPENSSL_ia32cap=:~0x20000000 to compare our portable path
// with OpenSSL's code without them.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <vector>

#include "crypto.h"
#include "sha256_impl.h"

namespace {

enum class Impl { kOursHardware, kOursPortable, kOpenSsl };

// Points our hashes at the implementation the case measures. False when the CPU
// has no SHA extensions for the hardware case.
bool use(Impl impl) {
  const zeb_crypto::Sha256Impl* chosen = nullptr;  // automatic
  if (impl == Impl::kOursHardware) {
    chosen = zeb_crypto::sha256_impl_hardware();
    if (!chosen) return false;
  } else if (impl == Impl::kOursPortable) {
    chosen = &zeb_crypto::kSha256Portable;
  }
  zeb_crypto::sha256_impl_select(chosen);
  return true;
}

// The parameters of a new password hash.
constexpr int kIterations = 100000;
constexpr unsigned char kSalt[16] = {0x3c, 0x91, 0x5e, 0x07, 0xd2, 0x44, 0xab, 0x18,
                                     0x6f, 0xe0, 0x29, 0x73, 0xc5, 0x8a, 0x1d, 0xb6};
constexpr char kPassword[] = "correct horse battery staple";

void BM_Pbkdf2(benchmark::State& state, Impl impl) {
  if (!use(impl)) {
    state.SkipWithError("no SHA extensions on this CPU");
    return;
  }
  unsigned char key[32];
  for (auto _ : state) {
    int ok;
    if (impl == Impl::kOpenSsl)
      ok = PKCS5_PBKDF2_HMAC(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, kIterations,
                             EVP_sha256(), sizeof key, key) == 1;
    else
      ok = zeb_pbkdf2_sha256(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, kIterations,
                             key, sizeof key) == 0;
    if (!ok) state.SkipWithError("derivation failed");
    benchmark::DoNotOptimize(key);
  }
  zeb_crypto::sha256_impl_select(nullptr);
}

void BM_Sha256(benchmark::State& state, Impl impl) {
  if (!use(impl)) {
    state.SkipWithError("no SHA extensions on this CPU");
    return;
  }
  const std::vector<unsigned char> data(static_cast<size_t>(state.range(0)), 0xa5);
  unsigned char digest[32];
  for (auto _ : state) {
    if (impl == Impl::kOpenSsl)
      SHA256(data.data(), data.size(), digest);
    else
      zeb_sha256(data.data(), data.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  zeb_crypto::sha256_impl_select(nullptr);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Pbkdf2, ours_hardware, Impl::kOursHardware)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pbkdf2, ours_portable, Impl::kOursPortable)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pbkdf2, openssl, Impl::kOpenSsl)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Sha256, ours_hardware, Impl::kOursHardware)->Arg(64)->Arg(8192);
BENCHMARK_CAPTURE(BM_Sha256, ours_portable, Impl::kOursPortable)->Arg(64)->Arg(8192);
BENCHMARK_CAPTURE(BM_Sha256, openssl, Impl::kOpenSsl)->Arg(64)->Arg(8192);

BENCHMARK_MAIN();
