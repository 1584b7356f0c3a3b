// The cost of a sign-in: checking a stored password hash beside the bare PBKDF2
// derivation it must not add to, and whole sign-in-shaped sequences over user
// stores of 1000 and 100000 users.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "crypto.h"
#include "identity_common.h"
#include "platform.h"

namespace {

// The parameters of a new password hash, as in crypto_bench.
constexpr int kIterations = 100000;
constexpr unsigned char kSalt[16] = {0x3c, 0x91, 0x5e, 0x07, 0xd2, 0x44, 0xab, 0x18,
                                     0x6f, 0xe0, 0x29, 0x73, 0xc5, 0x8a, 0x1d, 0xb6};
constexpr char kPassword[] = "correct horse battery staple";

// The stored string of kPassword with kSalt.
std::string stored_hash() {
  unsigned char key[32];
  zeb_pbkdf2_sha256(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, kIterations, key,
                    sizeof key);
  char salt_hex[33], key_hex[65];
  zeb_hex_encode(kSalt, sizeof kSalt, salt_hex, sizeof salt_hex);
  zeb_hex_encode(key, sizeof key, key_hex, sizeof key_hex);
  return std::string("pbkdf2$100000$") + salt_hex + "$" + key_hex;
}

void BM_Pbkdf2Bare(benchmark::State& state) {
  unsigned char key[32];
  for (auto _ : state) {
    zeb_pbkdf2_sha256(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, kIterations, key,
                      sizeof key);
    benchmark::DoNotOptimize(key);
  }
}

void BM_VerifyPassword(benchmark::State& state) {
  const std::string stored = stored_hash();
  for (auto _ : state) {
    bool ok = id_verify_password(kPassword, stored.c_str());
    if (!ok) state.SkipWithError("the stored hash did not verify");
    benchmark::DoNotOptimize(ok);
  }
}

// A data directory with n users (all with the same stored hash) in users.json.
class UserDir {
 public:
  explicit UserDir(int n) {
    char tmpl[] = "/tmp/zeb-users-bench-XXXXXX";
    root_ = mkdtemp(tmpl);
    setenv("IDENTITY_DATA_DIR", root_.c_str(), 1);
    const std::string hash = stored_hash();
    std::string json = "[";
    for (int i = 0; i < n; ++i) {
      char rec[512];
      std::snprintf(rec, sizeof rec,
                    "%s\n  {\"id\":\"usr_%010d\",\"username\":\"user%d\",\"email\":"
                    "\"user%d@example.org\",\"pass_hash\":\"%s\",\"role\":\"user\","
                    "\"created\":1700000000,\"last_login\":1700000000}",
                    i ? "," : "", i, i, i, hash.c_str());
      json += rec;
    }
    json += "\n]\n";
    std::FILE* f = std::fopen((root_ + "/users.json").c_str(), "w");
    std::fwrite(json.data(), 1, json.size(), f);
    std::fclose(f);
  }
  ~UserDir() { std::system(("rm -rf '" + root_ + "'").c_str()); }

 private:
  std::string root_;
};

int64_t g_now = 1700000000;
int64_t bench_time() { return g_now; }

// Find the user, check the (wrong) password, record the failure. The clock moves
// 700 s per round so that every failure starts a new run and the address store
// stays at its steady size instead of growing with the iteration count.
void BM_FailedSignIn(benchmark::State& state) {
  UserDir dir(static_cast<int>(state.range(0)));
  g_platform.time = bench_time;
  std::string name = "user" + std::to_string(state.range(0) - 1);  // the last one
  for (auto _ : state) {
    g_now += 700;
    id_user u;
    if (!id_user_find_by_username_ci(name.c_str(), &u)) state.SkipWithError("user not found");
    bool ok = id_login_allowed(u.username, nullptr, nullptr, 0) &&
              id_verify_password("wrong password", u.pass_hash);
    if (!ok) id_login_failed(u.username, "192.0.2.1");
    benchmark::DoNotOptimize(ok);
  }
  g_platform.time = zeb_platform_default.time;
}

// The lookup alone: what the store's size costs a sign-in.
void BM_FindUser(benchmark::State& state) {
  UserDir dir(static_cast<int>(state.range(0)));
  std::string name = "user" + std::to_string(state.range(0) - 1);
  for (auto _ : state) {
    id_user u;
    benchmark::DoNotOptimize(id_user_find_by_username_ci(name.c_str(), &u));
  }
}

BENCHMARK(BM_Pbkdf2Bare)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyPassword)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FailedSignIn)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindUser)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
