// The compression implementations agree with each other, the unit uses the one
// selected, and the automatic choice follows the CPU.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto.h"
#include "sha256_impl.h"

namespace {

using zeb_crypto::kSha256Portable;
using zeb_crypto::Sha256Impl;
using State = std::array<uint32_t, 8>;

TEST(Sha256Compress, HardwareAndPortableAgreeOnRandomStatesAndBlocks) {
  const Sha256Impl* hw = zeb_crypto::sha256_impl_hardware();
  if (!hw) GTEST_SKIP() << "this CPU has no SHA extensions";
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    State a, b;
    for (uint32_t& w : a) w = rng();
    b = a;
    std::vector<unsigned char> blocks(64 * (1 + trial % 9));
    for (unsigned char& c : blocks) c = static_cast<unsigned char>(rng());
    kSha256Portable.compress(a.data(), blocks.data(), blocks.size() / 64);
    hw->compress(b.data(), blocks.data(), blocks.size() / 64);
    ASSERT_EQ(a, b);

    State inner, outer, u1, t1;
    for (State* s : {&inner, &outer, &u1, &t1})
      for (uint32_t& w : *s) w = rng();
    State u2 = u1, t2 = t1;
    const uint32_t n = trial % 4;
    kSha256Portable.pbkdf2_iterate(inner.data(), outer.data(), u1.data(), t1.data(), n);
    hw->pbkdf2_iterate(inner.data(), outer.data(), u2.data(), t2.data(), n);
    ASSERT_EQ(u1, u2);
    ASSERT_EQ(t1, t2);
  }
}

// Forwards to the portable code, counting what the unit asked for.
int g_blocks = 0, g_iterations = 0;
void counting_compress(uint32_t state[8], const unsigned char* blocks, size_t nblocks) {
  g_blocks += static_cast<int>(nblocks);
  kSha256Portable.compress(state, blocks, nblocks);
}
void counting_iterate(const uint32_t inner[8], const uint32_t outer[8], uint32_t u[8],
                      uint32_t t[8], uint32_t n) {
  g_iterations += static_cast<int>(n);
  kSha256Portable.pbkdf2_iterate(inner, outer, u, t, n);
}
const Sha256Impl kCounting = {counting_compress, counting_iterate};

TEST(Sha256Compress, EveryHashUsesTheSelectedImplementation) {
  unsigned char reference[32], out[32];
  zeb_pbkdf2_sha256("pw", 2, "salt", 4, 10, reference, 32);

  zeb_crypto::sha256_impl_select(&kCounting);
  EXPECT_EQ(zeb_crypto::sha256_impl_active(), &kCounting);
  std::vector<unsigned char> msg(200, 'x');
  zeb_sha256(msg.data(), msg.size(), out);
  EXPECT_EQ(g_blocks, 4);  // 200 bytes and padding
  zeb_pbkdf2_sha256("pw", 2, "salt", 4, 10, out, 32);
  EXPECT_EQ(g_iterations, 9);  // all but U1
  EXPECT_EQ(0, std::memcmp(out, reference, 32));

  zeb_crypto::sha256_impl_select(nullptr);
  const Sha256Impl* hw = zeb_crypto::sha256_impl_hardware();
  EXPECT_EQ(zeb_crypto::sha256_impl_active(), hw ? hw : &kSha256Portable);
}

TEST(Sha256Compress, HardwareIsFoundWhereTheCpuHasTheExtensions) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {
  }
  if (line.empty()) GTEST_SKIP() << "no CPU flags to compare with";
  std::istringstream words(line);
  bool sha = false, sse41 = false, ssse3 = false;
  for (std::string w; words >> w;) {
    sha |= w == "sha_ni";
    sse41 |= w == "sse4_1";
    ssse3 |= w == "ssse3";
  }
  EXPECT_EQ(zeb_crypto::sha256_impl_hardware() != nullptr, sha && sse41 && ssse3);
}

}  // namespace
