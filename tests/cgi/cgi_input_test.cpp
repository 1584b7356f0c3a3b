#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run_program.h"
#include "temp_dir.h"
#include "zeb_cgi.h"

namespace {

TEST(Env, EmptyCountsAsUnset) {
  const struct {
    std::optional<std::string> value;
    const char* env;
    const char* method;
    const char* path_info;
  } cases[] = {
      {std::nullopt, "dflt", "GET", "/"},
      {"", "dflt", "GET", "/"},
      {"PUT", "PUT", "PUT", "PUT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? "\"" + *c.value + "\"" : "unset");
    ScopedEnv a("ZEB_TEST_VAR", c.value), m("REQUEST_METHOD", c.value), p("PATH_INFO", c.value);
    EXPECT_STREQ(cgi_env("ZEB_TEST_VAR", "dflt"), c.env);
    EXPECT_STREQ(cgi_env("ZEB_TEST_VAR", nullptr), c.value ? c.value->c_str() : "");
    EXPECT_STREQ(cgi_method(), c.method);
    EXPECT_STREQ(cgi_path_info(), c.path_info);
  }
}

TEST(IsPost, LooksAtTheFirstTwoLettersOnly) {
  const struct {
    std::optional<std::string> method;
    int want;
  } cases[] = {
      {"POST", 1}, {"PO", 1},  {"POX", 1},  {"PUT", 0},          {"post", 0},
      {"pOST", 0}, {"P", 0},   {"GET", 0},  {"", 0},             {std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method.value_or("unset"));
    ScopedEnv m("REQUEST_METHOD", c.method);
    EXPECT_EQ(cgi_is_post(), c.want);
  }
}

struct QueryCase {
  std::optional<std::string> query;
  const char* name;
  std::string want;
};

TEST(Query, FindsAndDecodesTheFirstMatchingKey) {
  const QueryCase cases[] = {
      {"a=1&b=2&a=3", "a", "1"},
      {"a=1&b=2&a=3", "b", "2"},
      {"a&b=2", "a", ""},
      {"a&b=2", "b", "2"},
      {"a%62=1", "ab", ""},     // keys are not decoded
      {"a%62=1", "a%62", "1"},
      {"ab=1", "a", ""},
      {"a=1", "ab", ""},
      {"A=1", "a", ""},
      {"=1", "a", ""},
      {"&&a=1&", "a", "1"},
      {"a=&a=2", "a", ""},
      {"a=x=y", "a", "x=y"},
      {"v=x+y%2Bz", "v", "x y+z"},
      {"v=abc%", "v", "abc%"},
      {"v=%zz1", "v", "%zz1"},
      {"v=%4", "v", "%4"},
      {"v=%4&w=1", "v", "%4"},
      {"v=%41", "v", "A"},
      {"v=%4a%4A%4g", "v", "JJ%4g"},
      {"v=%%41", "v", "%A"},
      {"v=a%00b", "v", "a"},
      {"v=%C3%A9", "v", "\xc3\xa9"},
      {"", "a", ""},
      {std::nullopt, "a", ""},
      {"a=1", "", ""},
      {"=1", "", ""},
      {"a=1", nullptr, ""},
  };
  for (const QueryCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.query.value_or("unset") << " / " << (c.name ? c.name : "(null)"));
    ScopedEnv q("QUERY_STRING", c.query);
    const char* v = cgi_query(c.name);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v, c.want);
  }
}

TEST(Query, CutsValuesAt4095Bytes) {
  for (size_t len : {4094u, 4095u, 4096u, 10000u}) {
    SCOPED_TRACE(len);
    ScopedEnv q("QUERY_STRING", "v=" + std::string(len, 'x') + "&w=1");
    EXPECT_EQ(std::strlen(cgi_query("v")), std::min<size_t>(len, 4095));
  }
  ScopedEnv q("QUERY_STRING", "v=" + std::string(5000, '+'));
  EXPECT_EQ(std::string(cgi_query("v")), std::string(4095, ' '));
}

TEST(Query, NinthLookupReusesTheFirstBuffer) {
  ScopedEnv q("QUERY_STRING", "a=1&b=2");
  const char* first = cgi_query("a");
  for (int i = 0; i < 7; ++i) cgi_query("b");
  cgi_query("");  // an empty name does not take a buffer
  cgi_query(nullptr);
  EXPECT_STREQ(first, "1");
  cgi_query("b");
  EXPECT_STREQ(first, "2");
}

TEST(FormValue, WalksTheWholeLengthAndKeepsTheOutBufferContract) {
  const char body[] = "x\0y&v=1&w=abcdef";
  const size_t len = sizeof body - 1;
  char out[8];
  EXPECT_EQ(cgi_form_value(body, len, "v", out, sizeof out), 1);
  EXPECT_STREQ(out, "1");
  EXPECT_EQ(cgi_form_value(body, 3, "v", out, sizeof out), 0);  // stops at the length
  EXPECT_STREQ(out, "");
  EXPECT_EQ(cgi_form_value("a&b", 3, "a", out, sizeof out), 1);
  EXPECT_STREQ(out, "");

  char small[5];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(cgi_form_value(body, len, "w", small, 4), 1);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(small[4], '#');
  EXPECT_EQ(cgi_form_value(body, len, "w", small, 0), 0);
  EXPECT_EQ(small[0], 'a');
}

// Runs cgi_read_post in a child with env and stdin and reports "null", or the
// body's length and bytes, followed by whatever stdin still held.
std::string read_post_in_child(const std::vector<std::string>& env, const std::string& stdin_data) {
  ProgramResult r = run_in_child(
      [&] {
        set_environment(env);
        size_t len = 99;
        char* body = cgi_read_post(&len);
        std::string report = body ? std::to_string(len) + ":" + std::string(body, len) : "null";
        if (!body && len != 0) report += " len not cleared";
        std::free(body);
        char rest[4096];
        ssize_t n;
        report += "|";
        while ((n = ::read(0, rest, sizeof rest)) > 0) report.append(rest, static_cast<size_t>(n));
        std::fwrite(report.data(), 1, report.size(), stdout);
        return 0;
      },
      stdin_data);
  EXPECT_EQ(r.exit_code, 0);
  return r.out;
}

TEST(ReadPost, ReadsExactlyTheDeclaredLengthFromStdin) {
  const struct {
    std::optional<std::string> content_length;
    std::string stdin_data;
    std::string want;
  } cases[] = {
      {std::nullopt, "a=1", "null|a=1"},
      {"", "a=1", "null|a=1"},
      {"0", "a=1", "null|a=1"},
      {"-3", "a=1", "null|a=1"},
      {"abc", "a=1", "null|a=1"},
      {"3abc", "a=1", "null|a=1"},
      {"1048577", "a=1", "null|a=1"},          // above 1 MiB counts as no body
      {"99999999999999999999", "a=1", "null|a=1"},
      {"3", "a=1", "3:a=1|"},
      {"5", "hello world", "5:hello| world"},  // never reads past the declared length
      {"20", "short", "5:short|"},
      {"3", std::string("a\0b", 3), std::string("3:a\0b|", 6)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content_length.value_or("unset"));
    std::vector<std::string> env;
    if (c.content_length) env.push_back("CONTENT_LENGTH=" + *c.content_length);
    EXPECT_EQ(read_post_in_child(env, c.stdin_data), c.want);
  }
  std::string mib(1048576, 'q');
  EXPECT_EQ(read_post_in_child({"CONTENT_LENGTH=1048576"}, mib + "tail"), "1048576:" + mib + "|tail");
}

TEST(ReadPost, BodyFileWinsOverStdinWhenItOpens) {
  TempDataDir dir;
  TempDataDir::write_file(dir.path("body"), "from=file");
  EXPECT_EQ(read_post_in_child({"POST_BODY_FILE=" + dir.path("body"), "CONTENT_LENGTH=3"}, "a=1"),
            "9:from=file|a=1");
  EXPECT_EQ(read_post_in_child({"POST_BODY_FILE=" + dir.path("missing"), "CONTENT_LENGTH=3"}, "a=1"),
            "3:a=1|");
  EXPECT_EQ(read_post_in_child({"POST_BODY_FILE=", "CONTENT_LENGTH=3"}, "a=1"), "3:a=1|");
}

// The body file may be a regular file (sized by seeking) or a pipe (read in
// growing chunks); both keep the 1 MiB bound.
TEST(ReadPost, BodyFileOfAnySizeUpToTheBound) {
  TempDataDir dir;
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A reader that gives up on an oversized body closes the pipe under the writer.
  struct sigaction ignore{}, old{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  for (size_t size : {0u, 1u, 8191u, 8192u, 65536u, 65537u, 200000u, 1048576u, 1048577u, 3000000u}) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 26);
    const bool fits = size <= 1048576;
    TempDataDir::write_file(dir.path("body"), data);
    for (const std::string& path : {dir.path("body"), fifo}) {
      SCOPED_TRACE(testing::Message() << path << " size " << size);
      ScopedEnv file("POST_BODY_FILE", path);
      std::thread writer;
      if (path == fifo) {
        writer = std::thread([&] {
          FILE* f = std::fopen(fifo.c_str(), "wb");
          if (!f) return;
          std::fwrite(data.data(), 1, data.size(), f);
          std::fclose(f);
        });
      }
      size_t len = 99;
      char* body = cgi_read_post(&len);
      if (writer.joinable()) writer.join();
      if (fits) {
        ASSERT_NE(body, nullptr);
        EXPECT_EQ(len, size);
        EXPECT_TRUE(std::string(body, len) == data);
        EXPECT_EQ(body[len], '\0');
      } else {
        EXPECT_EQ(body, nullptr);
        EXPECT_EQ(len, 0u);
      }
      std::free(body);
    }
  }
  ::sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
