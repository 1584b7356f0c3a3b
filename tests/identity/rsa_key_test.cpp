#include "rsa_key.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "keys_fixture.h"

namespace {

using keys_test::b64url;
using keys_test::pool_key;
using keys_test::python;

std::string hex(const unsigned char* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
  return s;
}

std::vector<unsigned char> spki_of(const unsigned char* n, size_t n_len, const unsigned char* e,
                                   size_t e_len) {
  br_rsa_public_key pk{const_cast<unsigned char*>(n), n_len, const_cast<unsigned char*>(e), e_len};
  std::vector<unsigned char> out(kSpkiMax + 16, 0xee);
  size_t len = id_spki_encode(nullptr, &pk);
  EXPECT_EQ(id_spki_encode(out.data(), &pk), len);
  EXPECT_EQ(out[len], 0xee) << "wrote past its length";
  out.resize(len);
  return out;
}

// An entry as keys.json loading leaves it: the DER and kid only, not decoded.
id_key_entry loaded(const std::string& kid, const std::string& der) {
  id_key_entry k{};
  std::snprintf(k.kid, sizeof k.kid, "%s", kid.c_str());
  std::memcpy(k.der, der.data(), der.size());
  k.der_len = der.size();
  k.has_der = 1;
  return k;
}

id_key_entry loaded(const id_key_entry& made) {
  return loaded(made.kid, std::string(reinterpret_cast<const char*>(made.der), made.der_len));
}

TEST(RsaKey, GeneratedKeyHasItsIdentifierAndEncoding) {
  const id_key_entry& k = pool_key(0);
  EXPECT_EQ(std::strlen(k.kid), kKidLen);
  EXPECT_STREQ(k.alg, "RS256");
  EXPECT_EQ(k.status, kKeyActive);
  EXPECT_EQ(k.has_der, 1);
  EXPECT_EQ(k.decoded, 1);
  EXPECT_GT(k.der_len, 0u);
  EXPECT_LE(k.der_len, kDerMax);
  ASSERT_EQ(k.n_len, 256u);
  EXPECT_NE(k.n[0] & 0x80, 0);
  EXPECT_EQ(hex(k.e, k.e_len), "010001");

  std::vector<unsigned char> spki = spki_of(k.n, k.n_len, k.e, k.e_len);
  ASSERT_EQ(spki.size(), 292u);
  EXPECT_EQ(hex(spki.data(), 31),
            "30820120" "06092a864886f70d0101010500" "038201" "0f00" "3082010a" "0282010100");
  EXPECT_EQ(hex(spki.data() + 31, 256), hex(k.n, 256));
  EXPECT_EQ(hex(spki.data() + 287, 5), "0203010001");
  unsigned char digest[32];
  zeb_sha256(spki.data(), spki.size(), digest);
  EXPECT_EQ(std::string(k.kid), b64url(digest, 32).substr(0, 16));
}

TEST(RsaKey, TwoGenerationsDiffer) {
  EXPECT_STRNE(pool_key(0).kid, pool_key(1).kid);
  EXPECT_NE(hex(pool_key(0).n, 256), hex(pool_key(1).n, 256));
}

// Processes forked after this one generated a key each make keys of their own: no
// generator state is carried over into them.
TEST(RsaKey, ForkedProcessesGenerateDifferentKeys) {
  ASSERT_EQ(pool_key(0).has_der, 1);
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  std::vector<pid_t> pids;
  for (int i = 0; i < 2; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      id_key_entry k{};
      bool ok = id_key_generate(&k) == 0 && ::write(out[1], k.kid, kKidLen) == kKidLen;
      ::_exit(ok ? 0 : 1);
    }
    pids.push_back(pid);
  }
  ::close(out[1]);
  for (pid_t pid : pids) {
    int status = 0;
    EXPECT_TRUE(pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0);
  }
  char kids[2 * kKidLen];
  ASSERT_EQ(::read(out[0], kids, sizeof kids), static_cast<ssize_t>(sizeof kids));
  ::close(out[0]);
  EXPECT_NE(std::string(kids, kKidLen), std::string(kids + kKidLen, kKidLen));
}

TEST(RsaKey, DecodeProvesTheIdentifierOnceAndRefusesAChangedOne) {
  id_key_entry k = loaded(pool_key(0));
  ASSERT_EQ(id_key_decode(&k), 0);
  EXPECT_EQ(k.decoded, 1);
  EXPECT_EQ(hex(k.n, k.n_len), hex(pool_key(0).n, pool_key(0).n_len));
  EXPECT_EQ(hex(k.e, k.e_len), "010001");
  // A decoded entry is not decoded again: spoiling its DER changes nothing.
  k.der[10] ^= 0xff;
  EXPECT_EQ(id_key_decode(&k), 0);

  for (size_t i = 0; i < kKidLen; ++i) {
    id_key_entry changed = loaded(pool_key(0));
    changed.kid[i] = changed.kid[i] == 'A' ? 'B' : 'A';
    SCOPED_TRACE(changed.kid);
    EXPECT_EQ(id_key_decode(&changed), -1);
    EXPECT_EQ(changed.decoded, 0);
  }
  id_key_entry no_der = loaded(pool_key(0));
  no_der.has_der = 0;
  EXPECT_EQ(id_key_decode(&no_der), -1);
}

TEST(RsaKey, EveryPrefixOfTheDerIsRefused) {
  const id_key_entry& made = pool_key(0);
  for (size_t len = 0; len < made.der_len; ++len) {
    id_key_entry k = loaded(made);
    k.der_len = len;
    ASSERT_EQ(id_key_decode(&k), -1) << len;
  }
}

// Keys made by an independent implementation: a 2048-bit key whose primes are both
// 3 mod 4 is decoded and proven against the identifier derived there; other RSA
// sizes, an EC key, and a key from which BearSSL cannot recover e are refused.
TEST(RsaKey, ForeignKeys) {
  TempDataDir dir;
  struct Case {
    const char* kind;
    int result;
  } cases[] = {{"good", 0}, {"badprimes", -1}, {"rsa1024", -1}, {"rsa3072", -1}, {"ec", -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::string path = dir.path(std::string(c.kind) + ".der");
    std::string kid = lines(python("der " + path + " " + c.kind)).at(0);
    id_key_entry k = loaded(kid, TempDataDir::read_file(path));
    EXPECT_EQ(id_key_decode(&k), c.result);
    if (c.result == 0) {
      EXPECT_EQ(hex(k.e, k.e_len), "010001");
    }
  }
}

TEST(RsaKey, ExponentInFewestBytes) {
  struct Case {
    uint32_t e;
    const char* hex;
  } cases[] = {{3, "03"}, {255, "ff"}, {256, "0100"}, {65537, "010001"}, {(1u << 24) + 1, "01000001"}};
  for (const Case& c : cases) {
    unsigned char out[4];
    size_t n = id_key_exponent_bytes(c.e, out);
    EXPECT_EQ(hex(out, n), c.hex) << c.e;
  }
}

TEST(RsaKey, SpkiEncodingOfSmallAndLimitSizes) {
  const unsigned char one[] = {0x01}, high[] = {0x80}, three[] = {0x03};
  const unsigned char f4[] = {0x01, 0x00, 0x01};
  struct Case {
    const unsigned char* n;
    const char* hex;
  } cases[] = {
      {one, "301806092a864886f70d0101010500" "030900" "3006" "020101" "020103"},
      {high, "301906092a864886f70d0101010500" "030a00" "3007" "02020080" "020103"},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> der = spki_of(c.n, 1, three, 1);
    EXPECT_EQ(hex(der.data(), der.size()), c.hex);
  }
  std::vector<unsigned char> n(1100, 0x11);
  std::vector<unsigned char> der = spki_of(n.data(), 200, three, 1);
  EXPECT_EQ(der.size(), 229u);
  EXPECT_EQ(hex(der.data(), 2), "3081");  // one-byte long form
  // The largest modulus that fits, and one byte more.
  EXPECT_EQ(spki_of(n.data(), 1012, f4, 3).size(), kSpkiMax);
  br_rsa_public_key too_long{n.data(), 1013, const_cast<unsigned char*>(f4), 3};
  EXPECT_EQ(id_spki_encode(nullptr, &too_long), 0u);
  unsigned char untouched = 0xee;
  EXPECT_EQ(id_spki_encode(&untouched, &too_long), 0u);
  EXPECT_EQ(untouched, 0xee);
}

}  // namespace
