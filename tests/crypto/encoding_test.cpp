// base64url and hexadecimal: tables of vectors and edge cases, prefixes of valid
// input, and the out-buffer contract checked with poisoned buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto.h"

namespace {

using namespace std::string_literals;

constexpr unsigned char kMarker = 0xa5;

// cap bytes of marker plus one canary byte past the capacity.
std::vector<unsigned char> poisoned(size_t cap) { return std::vector<unsigned char>(cap + 1, kMarker); }

// True when every byte from index from on still holds the marker.
bool untouched_from(const std::vector<unsigned char>& buf, size_t from) {
  for (size_t i = from; i < buf.size(); ++i)
    if (buf[i] != kMarker) return false;
  return true;
}

std::string as_string(const std::vector<unsigned char>& buf, size_t n) {
  return std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
}

char* chars(std::vector<unsigned char>& buf) { return reinterpret_cast<char*>(buf.data()); }

struct EncodeCase {
  std::string data;
  std::string text;
};

TEST(Base64url, EncodesWithoutPaddingAndOnlyIntoEnoughRoom) {
  const EncodeCase cases[] = {
      // RFC 4648 section 10, in the URL alphabet without padding.
      {"", ""},
      {"f", "Zg"},
      {"fo", "Zm8"},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg"},
      {"fooba", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy"},
      // Values 62 and 63 take the URL-safe characters.
      {"\xfb\xef\xbf\xfb", "---_-w"},
      {"\0\0\0"s, "AAAA"},
  };
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE(c.text);
    const size_t n = c.text.size();
    std::vector<unsigned char> buf = poisoned(n + 1);
    EXPECT_EQ(zeb_base64url_encode(c.data.data(), c.data.size(), chars(buf), n + 1),
              static_cast<int>(n));
    EXPECT_EQ(as_string(buf, n + 1), c.text + '\0');
    EXPECT_TRUE(untouched_from(buf, n + 1));

    buf = poisoned(n);
    EXPECT_EQ(zeb_base64url_encode(c.data.data(), c.data.size(), chars(buf), n), -1);
    EXPECT_TRUE(untouched_from(buf, 0)) << "written although refused";
  }
}

struct DecodeCase {
  std::string text;
  size_t cap;
  int rc;
  std::string bytes;  // what out holds afterwards
};

TEST(Base64url, DecodesBothAlphabetsAndRefusesStrangers) {
  const DecodeCase cases[] = {
      {"Zm9vYmFy", 16, 0, "foobar"},
      {"Zm9vYg==", 16, 0, "foob"},
      {"Zm9vYmE=", 16, 0, "fooba"},
      {"", 16, 0, ""},
      {"TWE", 16, 0, "Ma"},
      {"TWE=", 16, 0, "Ma"},
      {"+++/+w==", 16, 0, "\xfb\xef\xbf\xfb"},
      {"---_-w", 16, 0, "\xfb\xef\xbf\xfb"},
      // Line breaks and blanks take no place, wherever they stand.
      {" Zm9v\r\nYm Fy\n", 16, 0, "foobar"},
      // A lone data character at the end carries no byte.
      {"Zm9vY", 16, 0, "foo"},
      // Each group stands alone, so padding may sit in the middle...
      {"Zg==Zg==", 16, 0, "ff"},
      // ...and a group of fewer than two data characters ends the text unread.
      {"Zm9vA===%%", 16, 0, "foo"},
      // Output past the capacity is dropped, not an error.
      {"Zm9vYmFy", 4, 0, "foob"},
      {"Zg", 0, 0, ""},
      {"Zm9v\tYmFy", 16, -1, ""},
      {"Zm9v.", 16, -1, ""},
      {"Zm%9v", 16, -1, ""},
      {"Zm9v\x80w", 16, -1, ""},
      {"Zm\0v"s, 16, -1, ""},
      {"Zm9vYmFy%", 4, -1, ""},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text) + " into " + std::to_string(c.cap));
    std::vector<unsigned char> buf = poisoned(c.cap);
    size_t len = 999;
    EXPECT_EQ(zeb_base64url_decode(c.text.data(), c.text.size(), buf.data(), c.cap, &len), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(len, c.bytes.size());
      EXPECT_EQ(as_string(buf, c.bytes.size()), c.bytes);
      EXPECT_TRUE(untouched_from(buf, c.bytes.size()));
    } else {
      EXPECT_EQ(len, 999u) << "length stored on failure";
      EXPECT_TRUE(untouched_from(buf, c.cap));
    }
  }
}

TEST(Base64url, EncodedBytesOfEveryValueAndLengthDecodeBack) {
  std::vector<unsigned char> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 167 + 13);
  for (size_t n = 0; n <= data.size(); n += (n < 70 ? 1 : 23)) {
    SCOPED_TRACE(n);
    std::string text(n * 4 / 3 + 4, '\0');
    const int len = zeb_base64url_encode(data.data(), n, text.data(), text.size());
    ASSERT_GE(len, 0);
    std::vector<unsigned char> back(n + 1);
    size_t back_len = 0;
    ASSERT_EQ(zeb_base64url_decode(text.data(), static_cast<size_t>(len), back.data(), back.size(),
                                   &back_len),
              0);
    EXPECT_EQ(back_len, n);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), back.begin()));
  }
}

TEST(Decoders, EveryPrefixOfValidInputDecodesToAPrefixOrFailsCleanly) {
  const std::string data = "foobarbaz!";
  const std::string b64 = "Zm9vYmFyYmF6IQ";
  for (size_t k = 0; k <= b64.size(); ++k) {
    SCOPED_TRACE("base64url prefix " + std::to_string(k));
    const size_t expect = k / 4 * 3 + (k % 4 >= 2 ? k % 4 - 1 : 0);
    std::vector<unsigned char> buf = poisoned(16);
    EXPECT_EQ(zeb_base64url_decode(b64.data(), k, buf.data(), 16, nullptr), 0);
    EXPECT_EQ(as_string(buf, expect), data.substr(0, expect));
    EXPECT_TRUE(untouched_from(buf, expect));
  }
  const std::string hex = "00ff10a7";
  for (size_t k = 0; k <= hex.size(); ++k) {
    SCOPED_TRACE("hex prefix " + std::to_string(k));
    std::vector<unsigned char> buf = poisoned(4);
    const int rc = zeb_hex_decode(hex.data(), k, buf.data(), 4);
    if (k % 2) {
      EXPECT_EQ(rc, -1);
      EXPECT_TRUE(untouched_from(buf, 0));
    } else {
      EXPECT_EQ(rc, static_cast<int>(k / 2));
      EXPECT_EQ(as_string(buf, k / 2), std::string("\x00\xff\x10\xa7", 4).substr(0, k / 2));
      EXPECT_TRUE(untouched_from(buf, k / 2));
    }
  }
}

TEST(Hex, EncodesLowerCaseAndWritesNothingWithoutRoom) {
  const EncodeCase cases[] = {{"", ""}, {"\0"s, "00"}, {"\x00\x0a\xff\x5c"s, "000aff5c"}, {"Az", "417a"}};
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE(c.text);
    const size_t n = c.text.size();
    std::vector<unsigned char> buf = poisoned(n + 1);
    zeb_hex_encode(c.data.data(), c.data.size(), chars(buf), n + 1);
    EXPECT_EQ(as_string(buf, n + 1), c.text + '\0');
    EXPECT_TRUE(untouched_from(buf, n + 1));

    buf = poisoned(n);
    zeb_hex_encode(c.data.data(), c.data.size(), chars(buf), n);
    EXPECT_TRUE(untouched_from(buf, 0)) << "written without room for text and NUL";
  }
}

TEST(Hex, DecodesEitherCaseAndRefusesBadText) {
  const DecodeCase cases[] = {
      {"0A0b", 2, 2, "\x0a\x0b"},
      {"ABCDEFabcdef", 8, 6, "\xab\xcd\xef\xab\xcd\xef"},
      {"", 0, 0, ""},
      {"0A0b", 1, -1, ""},   // too little room: nothing written
      {"abc", 8, -1, ""},    // odd length
      {"0g", 8, -1, ""},
      {"0A 0", 8, -1, "\x0a"},  // the bytes before a bad digit are written
      {"0x10", 8, -1, ""},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<unsigned char> buf = poisoned(c.cap);
    EXPECT_EQ(zeb_hex_decode(c.text.data(), c.text.size(), buf.data(), c.cap), c.rc);
    EXPECT_EQ(as_string(buf, c.bytes.size()), c.bytes);
    EXPECT_TRUE(untouched_from(buf, c.bytes.size()));
  }
}

}  // namespace
