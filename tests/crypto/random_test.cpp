// Random bytes and tokens: sizes, alphabet, that the token is the encoding of
// what the source gave, and failures of the source through the platform seam.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "crypto.h"
#include "fault.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

TEST(RandomToken, HasTheLengthOfEachIdentifierAndOnlyUrlSafeCharacters) {
  const struct {
    size_t nbytes;
    size_t length;
  } cases[] = {{8, 11}, {16, 22}, {24, 32}, {32, 43}, {12, 16}, {0, 0}, {100, 134}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nbytes);
    std::set<std::string> seen;
    for (int i = 0; i < 4; ++i) {
      char out[200];
      ASSERT_EQ(zeb_random_token(out, c.length + 1, c.nbytes), 0);
      const std::string token(out);
      EXPECT_EQ(token.size(), c.length);
      EXPECT_EQ(token.find_first_not_of(kAlphabet), std::string::npos) << token;
      seen.insert(token);
    }
    if (c.nbytes >= 8) {
      EXPECT_EQ(seen.size(), 4u) << "repeated tokens";
    }
  }
}

// A source that yields the bytes 0, 1, 2, ... from g_next on, in short reads.
unsigned char g_next = 0;
long counting_source(void* buf, size_t len) {
  const size_t n = len > 1 ? len / 2 : len;
  for (size_t i = 0; i < n; ++i) static_cast<unsigned char*>(buf)[i] = g_next++;
  return static_cast<long>(n);
}

TEST(RandomToken, IsTheBase64urlOfTheSourceBytes) {
  PlatformFault fault;
  fault.ops().getrandom = counting_source;
  for (size_t nbytes : {24, 100}) {  // stack buffer and heap buffer
    SCOPED_TRACE(nbytes);
    g_next = 0;
    char token[200];
    ASSERT_EQ(zeb_random_token(token, sizeof token, nbytes), 0);
    unsigned char bytes[100];
    for (size_t i = 0; i < nbytes; ++i) bytes[i] = static_cast<unsigned char>(i);
    char expected[200];
    ASSERT_GT(zeb_base64url_encode(bytes, nbytes, expected, sizeof expected), 0);
    EXPECT_STREQ(token, expected);
  }
}

TEST(RandomToken, RefusesTooSmallRoomWithoutWriting) {
  char out[12];
  std::memset(out, 'X', sizeof out);
  EXPECT_EQ(zeb_random_token(out, 11, 8), -1);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'X'));
  EXPECT_EQ(zeb_random_token(out, 12, 8), 0);
  EXPECT_EQ(std::strlen(out), 11u);
}

TEST(Random, FailingSourceIsAFailureAndLeavesOutAlone) {
  PlatformFault fault;
  fault.ops().getrandom = fail_getrandom;
  for (size_t nbytes : {16, 100}) {
    SCOPED_TRACE(nbytes);
    char out[200];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(zeb_random_token(out, sizeof out, nbytes), -1);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'X'));
  }
  unsigned char buf[32];
  EXPECT_EQ(zeb_random_bytes(buf, sizeof buf), -1);
}

TEST(RandomBytes, FillsTheBufferAndRefusesANegativeLength) {
  unsigned char a[32] = {}, b[32] = {};
  ASSERT_EQ(zeb_random_bytes(a, sizeof a), 0);
  ASSERT_EQ(zeb_random_bytes(b, sizeof b), 0);
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  EXPECT_EQ(zeb_random_bytes(a, 0), 0);
  EXPECT_EQ(zeb_random_bytes(a, -1), -1);
}

}  // namespace
