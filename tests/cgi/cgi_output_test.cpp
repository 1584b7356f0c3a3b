#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "run_program.h"
#include "zeb_cgi.h"

namespace {

// What a child returns when the code under test came back instead of exiting.
constexpr int kReturned = 7;

struct OutputCase {
  const char* name;
  std::function<void()> write;
  std::string want;
  int exit_code;  // kReturned for header functions, 0 for the die operations
};

const std::string kNosniffEnd = "X-Content-Type-Options: nosniff\r\n\r\n";
const std::string kHtmlPage =
    "<!DOCTYPE html><html><body style=\"background:#000;color:#fff;font-family:sans-serif;"
    "padding:40px\">";

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class Output : public testing::TestWithParam<OutputCase> {};

// Each case runs in a child, so that its stdout is the child's alone and a die
// operation ends only the child.
TEST_P(Output, WritesExactBytes) {
  const OutputCase& c = GetParam();
  ProgramResult r = run_in_child([&] {
    c.write();
    return kReturned;
  });
  EXPECT_EQ(r.exit_code, c.exit_code);
  EXPECT_EQ(r.out, c.want);
  EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cgi, Output,
    testing::ValuesIn(std::vector<OutputCase>{
        {"StatusWithReason", [] { cgi_header_status(302, "Found"); }, "Status: 302 Found\r\n", kReturned},
        {"StatusEmptyReason", [] { cgi_header_status(204, ""); }, "Status: 204\r\n", kReturned},
        {"StatusNullReason", [] { cgi_header_status(500, nullptr); }, "Status: 500\r\n", kReturned},
        {"Extra", [] { cgi_header_extra("Pragma: no-cache"); }, "Pragma: no-cache\r\n", kReturned},
        {"ContentType", [] { cgi_header_ct("image/png"); }, "Content-Type: image/png\r\n", kReturned},
        {"Html", [] { cgi_header_html(); }, "Content-Type: text/html; charset=utf-8\r\n", kReturned},
        {"Json", [] { cgi_header_json(); }, "Content-Type: application/json; charset=utf-8\r\n", kReturned},
        {"Text", [] { cgi_header_text(); }, "Content-Type: text/plain; charset=utf-8\r\n", kReturned},
        {"End", [] { cgi_headers_end(); }, kNosniffEnd, kReturned},
        {"InCallOrder",
         [] {
           cgi_header_status(302, "Found");
           cgi_header_extra("Location: /login");
           cgi_header_json();
           cgi_headers_end();
           std::fputs("{}", stdout);
         },
         "Status: 302 Found\r\nLocation: /login\r\nContent-Type: application/json; charset=utf-8\r\n" +
             kNosniffEnd + "{}",
         kReturned},
        {"DieText", [] { cgi_die_text(400, "bad request"); },
         "Status: 400\r\nContent-Type: text/plain; charset=utf-8\r\n" + kNosniffEnd + "bad request\n", 0},
        {"DieTextNull", [] { cgi_die_text(500, nullptr); },
         "Status: 500\r\nContent-Type: text/plain; charset=utf-8\r\n" + kNosniffEnd + "\n", 0},
        {"DieJson", [] { cgi_die_json(400, "say \"hi\"\n"); },
         "Status: 400\r\nContent-Type: application/json; charset=utf-8\r\n" + kNosniffEnd +
             "{\"ok\":false,\"error\":\"say \\\"hi\\\"\\n\"}\n",
         0},
        {"DieJsonNull", [] { cgi_die_json(403, nullptr); },
         "Status: 403\r\nContent-Type: application/json; charset=utf-8\r\n" + kNosniffEnd +
             "{\"ok\":false,\"error\":\"error\"}\n",
         0},
        {"DieHtml", [] { cgi_die_html(404, "a<b", "<p>x & y</p>"); },
         "Status: 404\r\nContent-Type: text/html; charset=utf-8\r\n" + kNosniffEnd + kHtmlPage +
             "<h1>a&lt;b</h1><p>x & y</p></body></html>\n",
         0},
        {"DieHtmlNulls", [] { cgi_die_html(500, nullptr, nullptr); },
         "Status: 500\r\nContent-Type: text/html; charset=utf-8\r\n" + kNosniffEnd + kHtmlPage +
             "</body></html>\n",
         0},
        {"DieAfterHeaders",
         [] {
           cgi_header_extra("Cache-Control: no-store");
           cgi_die_text(503, "later");
         },
         "Cache-Control: no-store\r\nStatus: 503\r\nContent-Type: text/plain; charset=utf-8\r\n" + kNosniffEnd +
             "later\n",
         0},
    }),
    [](const testing::TestParamInfo<OutputCase>& info) { return std::string(info.param.name); });

}  // namespace
