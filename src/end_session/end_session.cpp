// The end-session (sign-out) program: ends the browser's session named by the
// session cookie, then answers with JSON, a redirect back to the relying party, or
// a redirect to the sign-in page. Every answer deletes the session cookie.
#include <cstdio>
#include <cstring>

#include "identity_common.h"
#include "zeb_cgi.h"

namespace {

struct SignedOut {
  bool verified = false;
  char user_id[256] = {};
};

// Ends the session of the request's cookie, if it is a current one.
SignedOut end_session() {
  SignedOut s;
  char session_id[256] = {};
  char username[256] = {};
  if (!id_get_cookie_session(session_id, sizeof session_id)) return s;
  if (!id_session_verify(session_id, s.user_id, sizeof s.user_id, username, sizeof username))
    return s;
  s.verified = true;
  // Each of these is its own store update; a failure of one must not stop the next,
  // and none of them changes the answer.
  id_session_delete(session_id);
  if (s.user_id[0]) id_refresh_token_revoke_by_user(s.user_id);
  char ip[64] = {};
  id_client_ip(ip, sizeof ip);
  id_audit_record("signout", s.user_id, username, ip, "");
  return s;
}

// True when the hint names a registered client and the URI is one of its own.
bool redirect_allowed(const SignedOut& s, const char* hint, const char* uri) {
  if (!hint[0]) return false;
  id_jwt_claims claims;
  if (id_jwt_verify(hint, &claims) != 0) return false;
  if (std::strcmp(claims.token_use, "id") != 0) return false;
  if (!claims.aud[0]) return false;
  if (s.verified && std::strcmp(claims.sub, s.user_id) != 0) return false;
  id_client client;
  if (!id_client_find_by_id(claims.aud, &client)) return false;
  if (!uri[0]) return false;
  // clients.json may be edited by hand: a stored URI is written into the Location
  // line only if it also passes the registration rules (no control bytes).
  if (id_redirect_uri_check(uri, nullptr, 0) != 0) return false;
  return id_client_validate_redirect_uri(&client, uri);
}

bool wants_json() {
  return std::strstr(cgi_env("HTTP_ACCEPT", nullptr), "application/json") ||
         std::strstr(cgi_env("CONTENT_TYPE", nullptr), "application/json") ||
         std::strcmp(id_param("format"), "json") == 0;
}

void no_cache_headers() {
  cgi_header_extra("Cache-Control: no-store");
  cgi_header_extra("Pragma: no-cache");
}

void redirect(const char* target) {
  char location[5200];
  zeb_snprintf(location, sizeof location, "Location: %s", target);
  cgi_header_status(302, "Found");
  no_cache_headers();
  cgi_header_extra(location);
  id_clear_session_cookie();
  cgi_headers_end();
  std::fputs("Redirecting to ", stdout);
  html_escape_f(stdout, target);
  std::fputs("...\n", stdout);
}

}  // namespace

int main() {
  SignedOut s = end_session();

  char hint[4096] = {};
  char uri[1024] = {};
  char state[256] = {};
  // A value too long for its buffer is not copied at all and so counts as absent.
  id_param_copy("id_token_hint", hint, sizeof hint);
  id_param_copy("post_logout_redirect_uri", uri, sizeof uri);
  id_param_copy("state", state, sizeof state);
  bool allowed = redirect_allowed(s, hint, uri);

  if (wants_json()) {
    cgi_header_json();
    no_cache_headers();
    id_clear_session_cookie();
    cgi_headers_end();
    std::fputs("{\"ok\":true,\"logged_out\":true}\n", stdout);
  } else if (!allowed) {
    redirect("/login");
  } else {
    id_config cfg;
    id_get_config(&cfg);
    char sep = std::strchr(uri, '?') ? '&' : '?';
    char iss[1536];
    url_encode(cfg.base_url, iss, sizeof iss);
    char target[5184];
    if (state[0]) {
      char enc_state[1536];
      url_encode(state, enc_state, sizeof enc_state);
      zeb_snprintf(target, sizeof target, "%s%cstate=%s&iss=%s", uri, sep, enc_state, iss);
    } else {
      zeb_snprintf(target, sizeof target, "%s%ciss=%s", uri, sep, iss);
    }
    redirect(target);
  }
  std::fflush(stdout);
  return 0;
}
