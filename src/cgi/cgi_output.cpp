// Response output: CGI header lines and complete error responses.
#include "zeb_cgi.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool done = false;

const char kHtml[] = "Content-Type: text/html; charset=utf-8\r\n";
const char kJson[] = "Content-Type: application/json; charset=utf-8\r\n";
const char kText[] = "Content-Type: text/plain; charset=utf-8\r\n";
const char kNosniff[] = "X-Content-Type-Options: nosniff\r\n";

void begin_output() {
  if (!done) zeb_stdout_bin();
}

void put(const char* text) {
  begin_output();
  std::fputs(text, stdout);
}

// The frame shared by every error response, up to and including the empty line.
void die_begin(int status, const char* content_type_line) {
  begin_output();
  std::printf("Status: %d\r\n", status);
  std::fputs(content_type_line, stdout);
  cgi_headers_end();
}

[[noreturn]] void die_end() {
  std::fflush(stdout);
  std::exit(0);
}

}  // namespace

extern "C" {

// POSIX does not translate line ends, so there is nothing to switch; the flag is
// kept so that every writer goes through the same first step.
void zeb_stdout_bin(void) { done = true; }

void cgi_header_html(void) { put(kHtml); }
void cgi_header_json(void) { put(kJson); }
void cgi_header_text(void) { put(kText); }

void cgi_header_status(int status, const char* reason) {
  begin_output();
  if (reason && *reason) {
    std::printf("Status: %d %s\r\n", status, reason);
  } else {
    std::printf("Status: %d\r\n", status);
  }
}

void cgi_header_ct(const char* content_type) {
  begin_output();
  std::printf("Content-Type: %s\r\n", content_type ? content_type : "");
}

void cgi_header_extra(const char* line) {
  begin_output();
  std::printf("%s\r\n", line ? line : "");
}

void cgi_headers_end(void) {
  put(kNosniff);
  std::fputs("\r\n", stdout);
  std::fflush(stdout);
  zeb_stdout_bin();
}

void cgi_die_text(int status, const char* message) {
  die_begin(status, kText);
  std::fputs(message ? message : "", stdout);
  std::fputs("\n", stdout);
  die_end();
}

void cgi_die_html(int status, const char* title, const char* html_body) {
  die_begin(status, kHtml);
  std::fputs(
      "<!DOCTYPE html><html><body style=\"background:#000;color:#fff;"
      "font-family:sans-serif;padding:40px\">",
      stdout);
  if (title) {
    std::fputs("<h1>", stdout);
    html_escape_f(stdout, title);
    std::fputs("</h1>", stdout);
  }
  if (html_body) std::fputs(html_body, stdout);
  std::fputs("</body></html>\n", stdout);
  die_end();
}

void cgi_die_json(int status, const char* message) {
  die_begin(status, kJson);
  std::fputs("{\"ok\":false,\"error\":\"", stdout);
  if (message) {
    json_escape_f(stdout, message);
  } else {
    std::fputs("error", stdout);
  }
  std::fputs("\"}\n", stdout);
  die_end();
}

}  // extern "C"
