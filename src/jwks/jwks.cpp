// The public key set program: answers {"keys":[...]} with the public half of every
// signing key that relying parties may still meet in a token, active and retired.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "id_keys.h"
#include "zeb_cgi.h"

int main() {
  const char* method = cgi_method();
  bool head = std::strcmp(method, "HEAD") == 0;
  if (!head && std::strcmp(method, "GET") != 0) {
    // A 405 must name the methods that would have worked.
    cgi_header_extra("Allow: GET, HEAD");
    cgi_die_json(405, "method not allowed");
  }

  std::unique_ptr<char, decltype(&std::free)> keys(id_keys_jwks_json(), &std::free);
  if (!keys) cgi_die_json(500, "signing keys unavailable");

  cgi_header_json();
  // Short, so that a key made by a rotation is published within minutes.
  cgi_header_extra("Cache-Control: public, max-age=300");
  cgi_headers_end();
  // A HEAD answer carries the headers of the GET answer and no body.
  if (!head) std::printf("{\"keys\":%s}\n", keys.get());
  std::fflush(stdout);
  return 0;
}
