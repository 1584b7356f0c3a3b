#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zeb_cgi.h"

namespace {

constexpr char kMarker = '#';
constexpr char kCanary = '@';

// Calls fill(out, cap) on a buffer poisoned with a marker and followed by a canary
// byte; checks that nothing was written past cap and that the text ends inside it.
std::string with_buffer(size_t cap, const std::function<void(char*, size_t)>& fill) {
  std::vector<char> buf(cap + 1, kMarker);
  buf[cap] = kCanary;
  fill(buf.data(), cap);
  EXPECT_EQ(buf[cap], kCanary) << "wrote past the capacity";
  const char* end = static_cast<const char*>(std::memchr(buf.data(), 0, cap));
  if (!end) {
    ADD_FAILURE() << "no NUL within the capacity";
    return "";
  }
  return std::string(buf.data(), static_cast<size_t>(end - buf.data()));
}

// Everything fn writes to a memory stream.
std::string written(const std::function<void(FILE*)>& fn) {
  char* data = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&data, &size);
  fn(f);
  std::fclose(f);
  std::string s(data, size);
  std::free(data);
  return s;
}

struct BufferCase {
  const char* src;
  size_t cap;
  const char* want;
};

// Runs fn(src, out, cap) for every case under the out-buffer checks.
template <size_t N>
void check_cases(const BufferCase (&cases)[N], void (*fn)(const char*, char*, size_t)) {
  for (const BufferCase& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.src ? c.src : "(null)") << " cap " << c.cap);
    EXPECT_EQ(with_buffer(c.cap, [&](char* out, size_t cap) { fn(c.src, out, cap); }), c.want);
  }
}

TEST(HtmlEscape, EscapesFiveCharactersAndKeepsAnEightByteReserve) {
  const BufferCase cases[] = {
      {"a<b", 16, "a&lt;b"},
      {"a<b", 8, ""},
      {"a<b", 10, "a&lt;"},  // "<" passes 1 + 8 < 10 and takes four bytes
      {"abc", 9, "a"},
      {"&<>\"'", 64, "&amp;&lt;&gt;&quot;&#39;"},
      {"caf\xc3\xa9", 16, "caf\xc3\xa9"},
      {nullptr, 16, ""},
      {"", 16, ""},
  };
  check_cases(cases, html_escape);
}

TEST(HtmlEscape, StreamAndDupGiveTheWholeText) {
  const std::string long_text = std::string(300, '<') + "Tom & Jerry's \"x\"";
  std::string want;
  for (int i = 0; i < 300; ++i) want += "&lt;";
  want += "Tom &amp; Jerry&#39;s &quot;x&quot;";

  EXPECT_EQ(written([&](FILE* f) { html_escape_f(f, long_text.c_str()); }), want);
  EXPECT_EQ(written([](FILE* f) { html_escape_f(f, nullptr); }), "");

  for (const char* src : {"Tom & Jerry", long_text.c_str(), "", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(src ? src : "(null)");
    char* dup = html_escape_dup(src);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(std::string(dup), written([&](FILE* f) { html_escape_f(f, src); }));
    std::free(dup);
  }
  char* dup = html_escape_dup("Tom & Jerry");
  EXPECT_STREQ(dup, "Tom &amp; Jerry");
  std::free(dup);
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytes) {
  const struct {
    const char* src;
    const char* want;
  } cases[] = {
      {"say \"hi\"", "say \\\"hi\\\""},
      {"a\\b", "a\\\\b"},
      {"l\nr\rt\t", "l\\nr\\rt\\t"},
      {"\x01", "\\u0001"},
      {"\x08\x0c\x1f", "\\u0008\\u000c\\u001f"},
      {" \x7f", " \x7f"},
      {"\xc3\xa9\xff", "\xc3\xa9\xff"},
      {"/<>&'", "/<>&'"},
      {nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(written([&](FILE* f) { json_escape_f(f, c.src); }), c.want);
  }
}

TEST(UrlEncode, KeepsUnreservedBytesAndAFourByteReserve) {
  const BufferCase cases[] = {
      {"a b/c", 64, "a%20b%2Fc"},
      {"a b/c", 4, ""},
      {"a b", 5, "a"},
      {"  ", 7, "%20"},
      {"AZaz09-._~", 64, "AZaz09-._~"},
      {"+&=?%", 64, "%2B%26%3D%3F%25"},
      {"\xc3\xa9", 64, "%C3%A9"},
      {nullptr, 8, ""},
  };
  check_cases(cases, url_encode);
}

TEST(Strlcpy, CopiesAtMostCapMinusOneBytes) {
  const BufferCase cases[] = {
      {"0123456789", 4, "012"},
      {"0123456789", 11, "0123456789"},
      {"0123456789", 10, "012345678"},
      {"x", 1, ""},
      {nullptr, 4, ""},
  };
  check_cases(cases, [](const char* src, char* out, size_t cap) { zeb_strlcpy(out, src, cap); });
}

TEST(Snprintf, TerminatesAndReturnsTheFullLength) {
  int r = 0;
  EXPECT_EQ(with_buffer(4, [&](char* out, size_t cap) { r = zeb_snprintf(out, cap, "%d-%s", 12, "abc"); }),
            "12-");
  EXPECT_EQ(r, 6);
  EXPECT_EQ(with_buffer(16, [&](char* out, size_t cap) { r = zeb_snprintf(out, cap, "%d-%s", 12, "abc"); }),
            "12-abc");
  EXPECT_EQ(r, 6);
  EXPECT_EQ(zeb_snprintf(nullptr, 16, "x"), -1);
  char one = kCanary;
  EXPECT_EQ(zeb_snprintf(&one, 0, "x"), -1);
  EXPECT_EQ(one, kCanary);
}

TEST(Rtrim, RemovesOnlyBlanksTabsAndLineEnds) {
  const struct {
    const char* src;
    const char* want;
  } cases[] = {
      {"x \t\n", "x"}, {"x\r\n", "x"}, {" x ", " x"}, {"x\v", "x\v"},
      {"x\f", "x\f"},  {" \t ", ""},   {"", ""},      {"a b", "a b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src);
    std::string s = c.src;
    zeb_rtrim(s.data());
    EXPECT_STREQ(s.c_str(), c.want);
  }
  zeb_rtrim(nullptr);
}

TEST(Validators, AllowOnlyTheirByteSetsAndNoDoubleDot) {
  const struct {
    const char* text;
    int repo_name;
    int ref;
  } cases[] = {
      {"my-repo.b2", 1, 1},
      {"refs/heads/main", 0, 1},
      {"tag:v1_0", 0, 1},
      {"a/b", 0, 1},
      {"a..b", 0, 0},
      {"refs/../x", 0, 0},
      {"a b", 0, 0},
      {"a\\b", 0, 0},
      {"caf\xc3\xa9", 0, 0},
      {".", 1, 1},
      {"", 0, 0},
      {nullptr, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(zeb_valid_repo_name(c.text), c.repo_name);
    EXPECT_EQ(zeb_valid_ref(c.text), c.ref);
  }
}

TEST(PathJoin, AddsOneSeparatorAndCutsToFit) {
  const struct {
    const char* dir;
    const char* file;
    size_t cap;
    const char* want;
  } cases[] = {
      {"data", "users.json", 64, "data/users.json"},
      {"data/", "users.json", 64, "data/users.json"},
      {"data\\", "users.json", 64, "data\\users.json"},
      {"", "users.json", 64, "users.json"},
      {nullptr, "users.json", 64, "users.json"},
      {"data", nullptr, 64, "data/"},
      {"data", "../x", 64, "data/../x"},
      {"data", "users.json", 8, "data/us"},
      {"data", "users.json", 6, "data/"},
      {"data", "users.json", 5, "data"},
      {"data", "users.json", 3, "da"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.dir ? c.dir : "(null)") << " + " << (c.file ? c.file : "(null)")
                                    << " cap " << c.cap);
    EXPECT_EQ(with_buffer(c.cap, [&](char* out, size_t cap) { zeb_path_join(out, cap, c.dir, c.file); }),
              c.want);
  }
}

TEST(OutBuffers, NullOrZeroCapacityIsLeftAlone) {
  char byte = kCanary;
  html_escape("a", &byte, 0);
  url_encode("a", &byte, 0);
  zeb_strlcpy(&byte, "a", 0);
  zeb_path_join(&byte, 0, "d", "f");
  EXPECT_EQ(byte, kCanary);
  html_escape("a", nullptr, 8);
  url_encode("a", nullptr, 8);
  zeb_strlcpy(nullptr, "a", 8);
  zeb_path_join(nullptr, 8, "d", "f");
}

}  // namespace
