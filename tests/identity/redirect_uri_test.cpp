#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "identity_common.h"

namespace {

constexpr const char* kAbsolute = "redirect_uri must be an absolute http:// or https:// URL";
constexpr const char* kWhitespace = "redirect_uri must not contain whitespace";
constexpr const char* kFragment = "redirect_uri must not contain a fragment (#...)";

struct CheckCase {
  const char* uri;
  const char* refusal;  // null: accepted
};

const CheckCase kCheckCases[] = {
    {"https://example.com/cb", nullptr},
    {"HTTPS://example.com/cb", nullptr},
    {"hTtP://localhost:8080/cb?x=1", nullptr},
    {"http://127.0.0.1", nullptr},
    {"http://[::1]:8080/", nullptr},
    {"https://example.com/caf\xC3\xA9/\xE2\x82\xAC", nullptr},
    {nullptr, kAbsolute},
    {"", kAbsolute},
    {"ftp://x", kAbsolute},
    {"http:/x", kAbsolute},
    {"http:x", kAbsolute},
    {"htt://x", kAbsolute},
    {"httpss://x", kAbsolute},
    {"https//x", kAbsolute},
    {" http://x", kAbsolute},
    {"http://", kAbsolute},
    {"https://", kAbsolute},
    {"http:///path", kAbsolute},
    {"http://:80/", kAbsolute},
    {"http://?q", kAbsolute},
    {"http://a b", kWhitespace},
    {"http://a b#frag", kWhitespace},
    {"http://a\tb", kWhitespace},
    {"http://a/\r\n", kWhitespace},
    {"http://a/\x01", kWhitespace},
    {"http://a/\x7F", kWhitespace},
    {"http:// ", kWhitespace},
    {"http://a/#frag", kFragment},
    {"http://a#", kFragment},
    {"http://#x", kFragment},
};

TEST(RedirectUriCheck, CaseTable) {
  for (const CheckCase& c : kCheckCases) {
    SCOPED_TRACE(c.uri ? c.uri : "(null)");
    char msg[128];
    std::memset(msg, 'x', sizeof msg);
    int rc = id_redirect_uri_check(c.uri, msg, sizeof msg);
    EXPECT_EQ(rc, c.refusal ? -3 : 0);
    EXPECT_STREQ(msg, c.refusal ? c.refusal : "");
    EXPECT_EQ(id_redirect_uri_check(c.uri, nullptr, 0), rc);
  }
}

TEST(RedirectUriCheck, MessageIsCutToCapacityAndLeavesTheRestAlone) {
  char msg[16];
  std::memset(msg, '#', sizeof msg);
  EXPECT_EQ(id_redirect_uri_check("ftp://x", msg, 10), -3);
  EXPECT_EQ(std::string(msg), std::string(kAbsolute, 9));
  EXPECT_EQ(msg[10], '#');

  // A capacity of 0 means no message buffer at all.
  std::memset(msg, '#', sizeof msg);
  EXPECT_EQ(id_redirect_uri_check("ftp://x", msg, 0), -3);
  EXPECT_EQ(msg[0], '#');
}

id_client client_with(std::initializer_list<const char*> uris) {
  id_client c{};
  for (const char* u : uris) std::strcpy(c.redirect_uris[c.redirect_uri_count++], u);
  return c;
}

TEST(ValidateRedirectUri, MatchesOnlyExactRegisteredUris) {
  id_client c = client_with({"https://rp.example/cb", "http://localhost:9000/logout"});
  struct {
    const char* uri;
    bool ok;
  } cases[] = {
      {"https://rp.example/cb", true},
      {"http://localhost:9000/logout", true},
      {"https://RP.example/cb", false},
      {"HTTPS://rp.example/cb", false},
      {"https://rp.example/cb/", false},
      {"https://rp.example/cb?x=1", false},
      {"https://rp.example/c", false},
      {"https://rp.example/cb#", false},
      {" https://rp.example/cb", false},
      {"", false},
      {nullptr, false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.uri ? k.uri : "(null)");
    EXPECT_EQ(id_client_validate_redirect_uri(&c, k.uri), k.ok);
  }
  EXPECT_FALSE(id_client_validate_redirect_uri(nullptr, "https://rp.example/cb"));
}

TEST(ValidateRedirectUri, LooksOnlyAtFilledSlots) {
  id_client c = client_with({"https://a/", "https://b/"});
  c.redirect_uri_count = 1;
  EXPECT_TRUE(id_client_validate_redirect_uri(&c, "https://a/"));
  EXPECT_FALSE(id_client_validate_redirect_uri(&c, "https://b/"));

  // An empty slot never matches, and a count beyond the slots is not trusted.
  id_client empty{};
  empty.redirect_uri_count = 1000;
  std::strcpy(empty.redirect_uris[7], "https://last/");
  EXPECT_FALSE(id_client_validate_redirect_uri(&empty, ""));
  EXPECT_TRUE(id_client_validate_redirect_uri(&empty, "https://last/"));
}

}  // namespace
