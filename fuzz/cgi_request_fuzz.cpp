// The CGI request input: query string, form and JSON bodies (from a body file or
// from standard input under CONTENT_LENGTH), the cookie, Basic credentials and the
// client address, read through the same functions the programs call.
//
// Input: a flag byte, then QUERY_STRING, HTTP_COOKIE, CONTENT_TYPE, CONTENT_LENGTH,
// HTTP_AUTHORIZATION and HTTP_X_FORWARDED_FOR separated by NUL bytes, then the body
// (which may hold NULs).
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "identity_common.h"
#include "store.h"
#include "zeb_cgi.h"

namespace {

constexpr size_t kQueryValueMax = 4095;
// Stays below a pipe's buffer so that writing the body never blocks.
constexpr size_t kPipeBodyMax = 60000;

void set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

// The first key of form-encoded text, so that lookups also take the found path.
std::string first_key(const std::string& text) {
  size_t end = text.find_first_of("=&");
  return text.substr(0, end == std::string::npos ? text.size() : end);
}

// Puts body on standard input through a fresh pipe.
void body_on_stdin(const std::string& body) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  size_t n = body.size() < kPipeBodyMax ? body.size() : kPipeBodyMax;
  if (n && write(fds[1], body.data(), n) != static_cast<ssize_t>(n)) std::abort();
  close(fds[1]);
  if (dup2(fds[0], 0) < 0) std::abort();
  close(fds[0]);
  std::clearerr(stdin);
}

void check_param(const char* name, size_t max) {
  const char* v = id_param(name);
  FUZZ_CHECK(v != nullptr);
  FUZZ_CHECK(std::strlen(v) <= max);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::vector<std::string> f = fuzz::split(data + 1, size - 1, 7);
  const std::string& body = f[6];

  set("QUERY_STRING", f[0]);
  set("HTTP_COOKIE", f[1]);
  set("CONTENT_TYPE", (flags & 4) ? "application/json" : f[2]);
  set("CONTENT_LENGTH", (flags & 8) ? std::to_string(body.size()) : f[3]);
  set("HTTP_AUTHORIZATION", f[4]);
  set("HTTP_X_FORWARDED_FOR", f[5]);
  set("REMOTE_ADDR", (flags & 16) ? "" : "192.0.2.1");
  set("REQUEST_METHOD", (flags & 1) ? "POST" : (flags & 32) ? "PO" : "GET");
  const bool from_file = flags & 2;
  if (from_file) {
    std::string body_file = fuzz::data_path("body");
    fuzz::write_file(body_file, body.data(), body.size());
    set("POST_BODY_FILE", body_file);
  } else {
    unsetenv("POST_BODY_FILE");
  }

  // The body as read: terminated, never longer than what was sent.
  if (!from_file) body_on_stdin(body);
  size_t post_len = 0;
  if (char* post = cgi_read_post(&post_len)) {
    FUZZ_CHECK(post[post_len] == '\0');
    FUZZ_CHECK(post_len <= body.size());
    std::free(post);
  }

  // Then the same request through the parameter lookups.
  if (!from_file) body_on_stdin(body);
  zeb::param_forget();

  // Query values are cut to 4095 bytes, body values shorter still.
  size_t max = kQueryValueMax;
  for (const char* name : {"client_id", "post_logout_redirect_uri", "state", "id_token_hint"})
    check_param(name, max);
  std::string qkey = first_key(f[0]);
  std::string bkey = first_key(body.c_str());
  check_param(qkey.c_str(), max);
  check_param(bkey.c_str(), max);
  FUZZ_CHECK(*id_param("") == '\0');
  FUZZ_CHECK(std::strlen(cgi_query(qkey.c_str())) <= kQueryValueMax);
  static const size_t kCaps[] = {1, 2, 8, 64};
  size_t cap = kCaps[(flags >> 6) & 3];
  {
    fuzz::OutBuffer out(cap);
    int rc = id_param_copy(bkey.c_str(), out.data(), cap);
    if (rc == 0) out.check_text(); else out.check_untouched();
  }
  {
    fuzz::OutBuffer out(cap);
    cgi_form_value(body.data(), body.size(), bkey.c_str(), out.data(), cap);
    out.check_text();
  }
  {
    fuzz::OutBuffer out(cap);
    if (id_get_cookie_session(out.data(), cap)) out.check_text(); else out.check_guard();
  }
  {
    fuzz::OutBuffer id(cap), secret(cap + 3);
    if (id_parse_basic_auth(id.data(), cap, secret.data(), cap + 3) == 0) {
      id.check_text();
      secret.check_text();
    } else {
      id.check_untouched();
      secret.check_untouched();
    }
  }
  {
    fuzz::OutBuffer out(cap);
    id_client_ip(out.data(), cap);
    out.check_text();
  }
  return 0;
}
