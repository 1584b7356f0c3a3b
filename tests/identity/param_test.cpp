#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "identity_common.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

// The body is read once per process, so every request runs in its own child, as
// it would under a web server.
struct RequestCase {
  const char* label;
  std::vector<std::string> env;
  std::string body;  // on stdin
  std::vector<const char*> names;
  std::string want;  // the values joined with "|", then "|" and the unread stdin
};

std::string form_post(const std::string& body) { return "CONTENT_LENGTH=" + std::to_string(body.size()); }

RequestCase post(const char* label, const std::string& body, std::vector<const char*> names, std::string want,
                 std::vector<std::string> env = {}) {
  env.push_back("REQUEST_METHOD=POST");
  env.push_back(form_post(body));
  return {label, env, body, std::move(names), std::move(want)};
}

RequestCase json_post(const char* label, const std::string& body, std::vector<const char*> names,
                      std::string want) {
  return post(label, body, std::move(names), std::move(want), {"CONTENT_TYPE=application/json"});
}

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.label; }

class Request : public testing::TestWithParam<RequestCase> {};

TEST_P(Request, LooksUpQueryThenBody) {
  const RequestCase& c = GetParam();
  ProgramResult r = run_in_child(
      [&] {
        set_environment(c.env);
        std::string report;
        for (const char* name : c.names) report += std::string(id_param(name)) + "|";
        char rest[4096];
        ssize_t n;
        while ((n = ::read(0, rest, sizeof rest)) > 0) report.append(rest, static_cast<size_t>(n));
        std::fwrite(report.data(), 1, report.size(), stdout);
        return 0;
      },
      c.body);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, c.want);
}

const std::string kLong(1500, 'y');

INSTANTIATE_TEST_SUITE_P(
    Param, Request,
    testing::ValuesIn(std::vector<RequestCase>{
        {"GetLeavesBodyUnread", {"REQUEST_METHOD=GET", "CONTENT_LENGTH=3"}, "a=1", {"a"}, "|a=1"},
        {"NoMethodLeavesBodyUnread", {"CONTENT_LENGTH=3"}, "a=1", {"a"}, "|a=1"},
        {"PutLeavesBodyUnread", {"REQUEST_METHOD=PUT", "CONTENT_LENGTH=3"}, "a=1", {"a"}, "|a=1"},
        {"QueryFirst", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=3", "QUERY_STRING=a=q"}, "a=1", {"a"}, "q|a=1"},
        post("EmptyQueryValueUsesBody", "a=1", {"a"}, "1|", {"QUERY_STRING=a=&b=2"}),
        post("BodyReadOnce", "a=1&b=x%20y&a=3", {"a", "b", "a", "c"}, "1|x y|1||"),
        post("AnyMethodStartingWithPO", "a=1", {"a"}, "1|", {"REQUEST_METHOD=POX"}),
        post("FormBodyCutAt1023", "v=" + kLong, {"v"}, std::string(1023, 'y') + "|"),
        post("FormKeysNotDecoded", "a%62=1&ab=2", {"ab"}, "2|"),
        post("EmptyName", "=1", {"", nullptr}, "||=1"),
        json_post("JsonString", R"({"state":"x","n":5})", {"state", "n"}, "x||"),
        json_post("JsonFirstMemberCounts", R"({"s":"first","s":"second"})", {"s"}, "first|"),
        json_post("JsonFirstMemberNotAString", R"({"s":5,"s":"second"})", {"s"}, "|"),
        json_post("JsonNonStringFallsToForm", R"({"n":5,"x":"&n=7"})", {"n"}, "7\"}|"),
        json_post("JsonObjectMemberFallsToForm", R"({"s":{"a":"b"}})", {"s"}, "|"),
        json_post("JsonEscapes", R"({"s":"a\u00e9\"b\/"})", {"s"}, "a\xc3\xa9\"b/|"),
        json_post("JsonStringCutAt1023", "{\"s\":\"" + kLong + "\"}", {"s"}, std::string(1023, 'y') + "|"),
        json_post("JsonRootArray", R"(["s","x"])", {"s"}, "|"),
        json_post("FormBodyUnderJsonType", "state=abc&x=1", {"state", "x"}, "abc|1|"),
        post("JsonWithCharset", R"({"s":"x"})", {"s"}, "x|", {"CONTENT_TYPE=application/json; charset=utf-8"}),
        post("JsonTypeIsCaseSensitive", R"({"s":"x"})", {"s"}, "|", {"CONTENT_TYPE=Application/JSON"}),
        post("JsonBodyWithoutJsonType", R"({"s":"x"})", {"s"}, "|"),
        {"ZeroLength", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=0"}, "a=1", {"a"}, "|a=1"},
        {"NegativeLength", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=-1"}, "a=1", {"a"}, "|a=1"},
        {"NoLength", {"REQUEST_METHOD=POST"}, "a=1", {"a"}, "|a=1"},
        {"LengthAboveBound", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=2000000"}, "a=1", {"a"}, "|a=1"},
        {"ShortLength", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=3"}, "a=123", {"a"}, "1|23"},
    }),
    [](const testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.label); });

TEST(Param, NinthBodyLookupReusesTheFirstBuffer) {
  ProgramResult r = run_in_child(
      [] {
        set_environment({"REQUEST_METHOD=POST", "CONTENT_LENGTH=7"});
        const char* first = id_param("a");
        for (int i = 0; i < 7; ++i) id_param("b");
        std::printf("%s|", first);
        id_param("b");
        std::printf("%s", first);
        return 0;
      },
      "a=1&b=2");
  EXPECT_EQ(r.out, "1|2");
}

// A query value needs no body, so these run in this process.
TEST(ParamCopy, CopiesOnlyWhatFitsWhole) {
  ScopedEnv method("REQUEST_METHOD", "GET");
  ScopedEnv query("QUERY_STRING", "v=abcd&e=");
  const struct {
    const char* name;
    size_t cap;
    int want;
    const char* text;  // null: the buffer is left as it was
  } cases[] = {
      {"v", 5, 0, "abcd"},  {"v", 64, 0, "abcd"}, {"v", 4, -1, nullptr}, {"v", 1, -1, nullptr},
      {"v", 0, -1, nullptr}, {"e", 1, 0, ""},      {"none", 1, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " cap " << c.cap);
    char buf[65];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(id_param_copy(c.name, buf, c.cap), c.want);
    if (c.text) {
      EXPECT_STREQ(buf, c.text);
    } else {
      EXPECT_EQ(std::string(buf, c.cap), std::string(c.cap, '#'));
    }
    EXPECT_EQ(buf[c.cap], '#');
  }
  EXPECT_EQ(id_param_copy("v", nullptr, 64), -1);
}

}  // namespace
