// SHA-256, HMAC-SHA-256 and PBKDF2 against published vectors and against
// python's hashlib, each test once on every compression path.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "crypto.h"
#include "run_program.h"
#include "sha256_impl.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const std::string& hex) {
  Bytes out;
  if (hex == "-") return out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string to_hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
  return s;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A valid pointer even for an empty buffer: the functions take null as an error.
const unsigned char* ptr(const Bytes& b) {
  static const unsigned char empty = 0;
  return b.empty() ? &empty : b.data();
}

std::string sha256_hex(const Bytes& m) {
  unsigned char d[32];
  zeb_sha256(ptr(m), m.size(), d);
  return to_hex(d, 32);
}

std::string hmac_hex(const Bytes& key, const Bytes& msg) {
  unsigned char mac[32];
  zeb_hmac_sha256(ptr(key), key.size(), ptr(msg), msg.size(), mac);
  return to_hex(mac, 32);
}

// Derives len bytes into a buffer with a marker after them; fails the test if
// the function wrote past len.
std::string pbkdf2_hex(const Bytes& pw, const Bytes& salt, int32_t iterations, size_t len) {
  std::vector<unsigned char> out(len + 1, 0xa5);
  EXPECT_EQ(zeb_pbkdf2_sha256(ptr(pw), pw.size(), ptr(salt), salt.size(), iterations,
                              out.data(), len),
            0);
  EXPECT_EQ(out[len], 0xa5) << "wrote past the requested length";
  return to_hex(out.data(), len);
}

struct Path {
  const char* name;
  const zeb_crypto::Sha256Impl* impl;  // null: not on this CPU
};

class HashTest : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (!GetParam().impl) GTEST_SKIP() << "this CPU has no SHA extensions";
    zeb_crypto::sha256_impl_select(GetParam().impl);
  }
  void TearDown() override { zeb_crypto::sha256_impl_select(nullptr); }
};

INSTANTIATE_TEST_SUITE_P(
    Paths, HashTest,
    ::testing::Values(Path{"portable", &zeb_crypto::kSha256Portable},
                      Path{"hardware", zeb_crypto::sha256_impl_hardware()}),
    [](const ::testing::TestParamInfo<Path>& info) { return std::string(info.param.name); });

struct DigestCase {
  std::string message;
  const char* digest;
};

TEST_P(HashTest, Sha256KnownDigestsInOneCallByteByByteAndAtEverySplit) {
  const DigestCase cases[] = {
      // FIPS 180-4 examples.
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Padding that fits the last block, just fills it, or spills into another.
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
  };
  for (const DigestCase& c : cases) {
    SCOPED_TRACE("message of " + std::to_string(c.message.size()) + " bytes");
    const unsigned char* m = reinterpret_cast<const unsigned char*>(c.message.data());
    const size_t n = c.message.size();
    unsigned char d[33];
    d[32] = 0x5a;
    zeb_sha256(m, n, d);
    EXPECT_EQ(to_hex(d, 32), c.digest);
    EXPECT_EQ(d[32], 0x5a);

    zeb_sha256_ctx ctx;
    zeb_sha256_init(&ctx);
    for (size_t i = 0; i < n; ++i) zeb_sha256_update(&ctx, m + i, 1);
    zeb_sha256_final(&ctx, d);
    EXPECT_EQ(to_hex(d, 32), c.digest) << "byte by byte";

    // Every split of the short messages; for the long one, a few around block
    // edges.
    std::vector<size_t> cuts = {1, 55, 63, 64, 65, n / 2, n - 64, n - 1};
    if (n < 1000) {
      cuts.clear();
      for (size_t cut = 0; cut <= n; ++cut) cuts.push_back(cut);
    }
    for (size_t cut : cuts) {
      zeb_sha256_init(&ctx);
      zeb_sha256_update(&ctx, m, cut);
      zeb_sha256_update(&ctx, nullptr, 0);  // an empty update looks at nothing
      zeb_sha256_update(&ctx, m + cut, n - cut);
      zeb_sha256_final(&ctx, d);
      ASSERT_EQ(to_hex(d, 32), c.digest) << "split at " << cut;
    }
  }
}

struct HmacCase {
  Bytes key;
  Bytes message;
  const char* mac;  // case 5 is published truncated to 128 bits
};

TEST_P(HashTest, HmacRfc4231Cases) {
  const Bytes key4 = from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819");
  const HmacCase cases[] = {
      {Bytes(20, 0x0b), text("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {text("Jefe"), text("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {key4, Bytes(50, 0xcd), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {Bytes(20, 0x0c), text("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b"},
      {Bytes(131, 0xaa), text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {Bytes(131, 0xaa),
       text("This is a test using a larger than block-size key and a larger than block-size "
            "data. The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  int number = 0;
  for (const HmacCase& c : cases) {
    SCOPED_TRACE("RFC 4231 case " + std::to_string(++number));
    EXPECT_EQ(hmac_hex(c.key, c.message).substr(0, std::strlen(c.mac)), c.mac);
  }
}

TEST_P(HashTest, HmacKeyOfBlockSizeIsUsedAsIsAndLongerKeyByItsDigest) {
  const Bytes msg = text("message");
  Bytes key64(64);
  for (size_t i = 0; i < key64.size(); ++i) key64[i] = static_cast<unsigned char>(i * 7 + 1);
  // RFC 2104 spelled out: SHA-256((K ^ opad) || SHA-256((K ^ ipad) || m)).
  Bytes inner, outer;
  for (unsigned char k : key64) inner.push_back(k ^ 0x36), outer.push_back(k ^ 0x5c);
  inner.insert(inner.end(), msg.begin(), msg.end());
  unsigned char d[32];
  zeb_sha256(inner.data(), inner.size(), d);
  outer.insert(outer.end(), d, d + 32);
  EXPECT_EQ(hmac_hex(key64, msg), sha256_hex(outer));

  Bytes key65 = key64;
  key65.push_back(0x42);
  zeb_sha256(key65.data(), key65.size(), d);
  EXPECT_EQ(hmac_hex(key65, msg), hmac_hex(Bytes(d, d + 32), msg));
}

TEST_P(HashTest, HmacOutputMayBeTheMessageOrKeyBuffer) {
  const Bytes key = text("key of some length"), msg = text("thirty-two bytes of message text");
  const std::string expected = hmac_hex(key, msg);
  Bytes buf = msg;
  zeb_hmac_sha256(key.data(), key.size(), buf.data(), buf.size(), buf.data());
  EXPECT_EQ(to_hex(buf.data(), 32), expected);
  Bytes long_key(100, 0x11);
  const std::string expected_long = hmac_hex(long_key, msg);
  zeb_hmac_sha256(long_key.data(), long_key.size(), msg.data(), msg.size(), long_key.data());
  EXPECT_EQ(to_hex(long_key.data(), 32), expected_long);
}

struct Pbkdf2Case {
  std::string password;
  std::string salt;
  int32_t iterations;
  size_t len;
  const char* key;
};

TEST_P(HashTest, Pbkdf2KnownKeys) {
  const Pbkdf2Case cases[] = {
      // RFC 7914 section 11.
      {"passwd", "salt", 1, 64,
       "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc49ca9cccf179b645991664b3"
       "9d77ef317c71b845b1e30bd509112041d3a19783"},
      {"Password", "NaCl", 80000, 64,
       "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56a1d425a1225833549adb841b"
       "51c9b3176a272bdebba1d078478f62b397f33c8d"},
      // An empty password and salt are valid input.
      {"", "", 2, 32, "97398411d6aea43a77acef92226ab8278d4db0668bd1d7a76a725f7680ac45c5"},
  };
  for (const Pbkdf2Case& c : cases) {
    SCOPED_TRACE(c.password + " / " + c.salt + " / " + std::to_string(c.iterations));
    EXPECT_EQ(pbkdf2_hex(text(c.password), text(c.salt), c.iterations, c.len), c.key);
  }
}

TEST_P(HashTest, Pbkdf2ShorterKeysArePrefixesAndOneIterationIsU1) {
  const Bytes pw = text("password"), salt = text("salt");
  const std::string full = pbkdf2_hex(pw, salt, 3, 64);
  for (size_t len : {1, 32, 33, 64}) {
    SCOPED_TRACE(len);
    EXPECT_EQ(pbkdf2_hex(pw, salt, 3, len), full.substr(0, 2 * len));
  }
  // With one iteration block i is HMAC(password, salt || INT(i)).
  Bytes salt1 = salt, salt2 = salt;
  salt1.insert(salt1.end(), {0, 0, 0, 1});
  salt2.insert(salt2.end(), {0, 0, 0, 2});
  EXPECT_EQ(pbkdf2_hex(pw, salt, 1, 64), hmac_hex(pw, salt1) + hmac_hex(pw, salt2));
}

TEST_P(HashTest, Pbkdf2RefusesBadArgumentsWithoutWriting) {
  const char pw[] = "pw";
  const char salt[] = "salt";
  struct Case {
    const char* what;
    const char* password;
    const char* salt;
    int32_t iterations;
    bool null_out;
    size_t len;
  };
  const Case cases[] = {
      {"null password", nullptr, salt, 1, false, 16}, {"null salt", pw, nullptr, 1, false, 16},
      {"zero iterations", pw, salt, 0, false, 16},    {"negative iterations", pw, salt, -5, false, 16},
      {"null out", pw, salt, 1, true, 16},            {"zero length", pw, salt, 1, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unsigned char out[16];
    std::memset(out, 0xa5, sizeof out);
    EXPECT_EQ(zeb_pbkdf2_sha256(c.password, 2, c.salt, 4, c.iterations, c.null_out ? nullptr : out,
                                c.len),
              -1);
    EXPECT_EQ(Bytes(out, out + sizeof out), Bytes(sizeof out, 0xa5)) << "out was written";
  }
}

// Random cases from python's hashlib and hmac, made once per run.
std::vector<std::string> reference_lines() {
  static const std::vector<std::string> cases =
      lines(command_output("python3 " ZEB_SOURCE_DIR "/tests/crypto/reference.py 20261210 160"));
  return cases;
}

TEST_P(HashTest, MatchesPythonOnRandomInput) {
  const std::vector<std::string> lines = reference_lines();
  ASSERT_GE(lines.size(), 160u * 2 + 40) << "python3 reference cases could not be made";
  for (const std::string& line : lines) {
    SCOPED_TRACE(line.substr(0, 120));
    std::istringstream in(line);
    std::string kind, a, b, c, d;
    in >> kind >> a >> b;
    if (kind == "sha256") {
      EXPECT_EQ(sha256_hex(from_hex(a)), b);
    } else if (kind == "hmac") {
      in >> c;
      EXPECT_EQ(hmac_hex(from_hex(a), from_hex(b)), c);
    } else {
      ASSERT_EQ(kind, "pbkdf2");
      in >> c >> d;
      EXPECT_EQ(pbkdf2_hex(from_hex(a), from_hex(b), std::stoi(c), d.size() / 2), d);
    }
  }
}

}  // namespace
