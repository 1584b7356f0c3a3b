// The end-session program under attack: open-redirect attempts, hostile ID token
// hints, header injection through every input that reaches an answer, proxy
// variables and odd request methods and lengths. Each attack must end in one
// well-formed answer that sends nobody anywhere but the sign-in page.
#include <ctime>
#include <set>

#include "../identity/hostile_tokens.h"
#include "signout_fixture.h"

namespace {

const std::string kOtherUri = "https://other.test/logout";
const std::string kJsonBody = "{\"ok\":true,\"logged_out\":true}\n";

bool only_url_safe(const std::string& s) {
  for (unsigned char c : s) {
    if (!isalnum(c) && c != '-' && c != '.' && c != '_' && c != '~' && c != '%') return false;
  }
  return true;
}

// A target of the relying party: a registered URI, then an optional state that the
// program encoded, then iss.
bool relying_party_target(const std::string& loc) {
  for (const auto& [uri, sep] : {std::pair{kUri, '?'}, std::pair{kUriWithQuery, '&'}, std::pair{kOtherUri, '?'}}) {
    std::string start = uri + sep;
    if (loc.rfind(start, 0) != 0) continue;
    std::string rest = loc.substr(start.size());
    std::string tail = "iss=" + kIssEncoded;
    if (rest == tail) return true;
    std::string amp_tail = "&" + tail;
    if (rest.rfind("state=", 0) == 0 && rest.size() > amp_tail.size() &&
        rest.compare(rest.size() - amp_tail.size(), amp_tail.size(), amp_tail) == 0) {
      return only_url_safe(rest.substr(6, rest.size() - 6 - amp_tail.size()));
    }
  }
  return false;
}

// Parses the answer as a web server would: header lines that end in CR LF and hold
// no other CR, LF or NUL, each one the program writes and none twice, closed by one
// empty line, then the one body that belongs to those headers.
testing::AssertionResult well_formed(const std::string& out) {
  size_t end = out.find("\r\n\r\n");
  if (end == std::string::npos) return testing::AssertionFailure() << "no end of the header block";
  const std::set<std::string> fixed = {
      "Status: 302 Found",
      "Cache-Control: no-store",
      "Pragma: no-cache",
      "Content-Type: application/json; charset=utf-8",
      kCookieLine,
      kCookieLine + "; Secure",
      "X-Content-Type-Options: nosniff",
  };
  std::set<std::string> names;
  std::string location, last;
  for (size_t pos = 0; pos < end + 2;) {
    size_t crlf = out.find("\r\n", pos);
    std::string line = out.substr(pos, crlf - pos);
    pos = crlf + 2;
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
      return testing::AssertionFailure() << "stray CR, LF or NUL in header line: " << line;
    if (line.rfind("Location: ", 0) == 0) {
      location = line.substr(10);
    } else if (!fixed.count(line)) {
      return testing::AssertionFailure() << "unexpected header line: " << line;
    }
    if (!names.insert(line.substr(0, line.find(':'))).second)
      return testing::AssertionFailure() << "repeated header: " << line;
    last = line;
  }
  if (last != "X-Content-Type-Options: nosniff") return testing::AssertionFailure() << "block ends with " << last;
  if (!names.count("Set-Cookie")) return testing::AssertionFailure() << "no cookie deletion";
  std::string body = out.substr(end + 4);
  if (names.count("Content-Type")) {
    if (names.count("Location") || names.count("Status") || body != kJsonBody)
      return testing::AssertionFailure() << "not the JSON answer";
    return testing::AssertionSuccess();
  }
  if (!names.count("Status") || location.empty()) return testing::AssertionFailure() << "neither JSON nor redirect";
  if (location != "/login" && !relying_party_target(location))
    return testing::AssertionFailure() << "redirects to " << location;
  if (body != "Redirecting to " + html_escaped(location) + "...\n")
    return testing::AssertionFailure() << "body does not match the redirect: " << body;
  return testing::AssertionSuccess();
}

class SecurityMatrixTest : public EndSessionTest {
 protected:
  void SetUp() override {
    EndSessionTest::SetUp();
    char id[64], secret[64], msg[128];
    ASSERT_EQ(id_client_create("Other RP", kOtherUri.c_str(), nullptr, id, sizeof id, secret, sizeof secret, false,
                               msg, sizeof msg),
              0)
        << msg;
    other_client = id;
  }

  // Runs the program with exactly env and the data directory; nothing is added.
  ProgramResult run_exact(std::vector<std::string> env, const std::string& body = "") {
    env.push_back("IDENTITY_DATA_DIR=" + dir.data_dir());
    env.push_back("REMOTE_ADDR=192.0.2.7");
    ProgramResult r = run_program(ZEB_END_SESSION, env, body, dir.root());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(well_formed(r.out)) << r.out;
    return r;
  }

  std::string signout_query(const std::string& hint_text, const std::string& encoded_uri) {
    return "QUERY_STRING=id_token_hint=" + url_encoded(hint_text) + "&post_logout_redirect_uri=" + encoded_uri;
  }

  std::string other_client;
};

void report(const char* what, int refused, int total) {
  std::printf("[ figures  ] %s: %d of %d refused\n", what, refused, total);
  testing::Test::RecordProperty(what, refused);
  EXPECT_EQ(refused, total);
}

TEST_F(SecurityMatrixTest, OpenRedirectAttemptsAllGoToLogin) {
  // The hint is good: the registered URIs themselves are honoured.
  EXPECT_EQ(run_exact({signout_query(hint, url_encoded(kUri))}).out, rp_answer(kUri + "?iss=" + kIssEncoded));
  EXPECT_EQ(run_exact({signout_query(hint, url_encoded(kUriWithQuery))}).out,
            rp_answer(kUriWithQuery + "&iss=" + kIssEncoded));
  std::string other_hint;
  {
    char tok[4096];
    ASSERT_EQ(id_jwt_mint_id_token_v2(kBase.c_str(), "usr_alice", "alice", nullptr, other_client.c_str(), nullptr,
                                      nullptr, 0, 600, tok, sizeof tok),
              0);
    other_hint = tok;
  }

  auto e = [](const std::string& s) { return url_encoded(s); };
  struct Case {
    const char* what;
    std::string encoded_uri;  // as it stands in the query string
    const std::string* hint = nullptr;
  } cases[] = {
      {"scheme in capitals", e("HTTPS://rp.test/after-logout")},
      {"scheme in mixed case", e("Https://rp.test/after-logout")},
      {"host in capitals", e("https://RP.TEST/after-logout")},
      {"host in mixed case", e("https://rp.Test/after-logout")},
      {"path in mixed case", e("https://rp.test/After-Logout")},
      {"path in capitals", e("https://rp.test/AFTER-LOGOUT")},
      {"trailing slash", e(kUri + "/")},
      {"double slash in the path", e("https://rp.test//after-logout")},
      {"trailing dot on the host", e("https://rp.test./after-logout")},
      {"explicit default port", e("https://rp.test:443/after-logout")},
      {"plain http", e("http://rp.test/after-logout")},
      {"empty query", e(kUri + "?")},
      {"added query", e(kUri + "?next=https://evil.test")},
      {"added to the registered query", e(kUriWithQuery + "&next=https://evil.test")},
      {"registered query changed", e("https://rp.test/bye?lang=fr")},
      {"registered query dropped", e("https://rp.test/bye")},
      {"empty fragment", e(kUri + "#")},
      {"added fragment", e(kUri + "#@evil.test")},
      {"parameters after a semicolon", e(kUri + ";evil")},
      {"registered host as userinfo", e("https://rp.test@evil.test/after-logout")},
      {"userinfo before the registered host", e("https://evil.test@rp.test/after-logout")},
      {"at sign in the path", e(kUri + "@evil.test")},
      {"registered host as a subdomain", e("https://rp.test.evil.test/after-logout")},
      {"scheme-relative, registered host", e("//rp.test/after-logout")},
      {"scheme-relative, other host", e("//evil.test/after-logout")},
      {"three slashes", e("https:///rp.test/after-logout")},
      {"backslashes", e("https:\\\\evil.test\\after-logout")},
      {"script scheme", e("javascript:alert(document.domain)//rp.test/after-logout")},
      {"dot segments", e(kUri + "/../../evil")},
      {"whole URI encoded twice", e(e(kUri))},
      {"hyphen percent-encoded", e("https://rp.test/after%2Dlogout")},
      {"slash percent-encoded", e("https://rp.test%2Fafter-logout")},
      {"encoded blank appended", e(kUri) + "%20"},
      {"plus sign for a hyphen", "https://rp.test/after+logout"},
      {"unencoded in the query", kUri + "?x=1"},
      {"look-alike hyphen", e("https://rp.test/after\xE2\x80\x90logout")},
      {"other client's URI", e(kOtherUri)},
      {"other client's hint, this client's URI", e(kUri), &other_hint},
      {"leading blank", e(" " + kUri)},
      {"trailing blank", e(kUri + " ")},
      {"trailing tab", e(kUri + "\t")},
      {"trailing CR LF", e(kUri + "\r\n")},
      {"leading LF", e("\n" + kUri)},
      {"trailing DEL", e(kUri + "\x7f")},
      {"control byte inside", e("https://rp.test/\x01" "after-logout")},
      {"vertical tab and form feed", e(kUri + "\v\f")},
  };
  int refused = 0, total = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramResult r = run_exact({signout_query(c.hint ? *c.hint : hint, c.encoded_uri)});
    ++total;
    refused += r.out == login_answer();
    EXPECT_EQ(r.out, login_answer());
  }
  // The other client's own hint takes the browser back to it, so the refusals above
  // are about the URI, not a broken hint.
  EXPECT_EQ(run_exact({signout_query(other_hint, e(kOtherUri))}).out,
            rp_answer(kOtherUri + "?iss=" + kIssEncoded));
  EXPECT_GE(total, 30);
  report("open-redirect attempts", refused, total);
}

TEST_F(SecurityMatrixTest, HostileHintsNeverRedirect) {
  // Tokens are made by hand with keys whose private halves this test holds.
  const id_key_entry& active = keys_test::pool_key(0);
  const id_key_entry& retired = keys_test::pool_key(1);
  TempDataDir::write_file(dir.path("keys.json"),
                          keys_test::keys_json(active.kid, {keys_test::stored(active, "active"),
                                                            keys_test::stored(retired)}));
  zeb::keys_forget();
  const std::string claims = "{\"iss\":\"" + kBase + "\",\"sub\":\"usr_alice\",\"aud\":\"" + client_id +
                             "\",\"preferred_username\":\"alice\",\"token_use\":\"id\"}";
  std::vector<hostile_tokens::Case> cases =
      hostile_tokens::cases(active, retired, claims, static_cast<int64_t>(std::time(nullptr)));
  int refused = 0, total = 0, honoured = 0;
  for (const hostile_tokens::Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.result == 0 && c.pinned_to_now) continue;  // may have expired by the time the program runs
    ProgramResult r = run_exact({signout_query(c.token, url_encoded(kUri))});
    if (c.result == 0) {
      // Odd but sound tokens still take the browser back, so the hostile ones
      // below fail for their hostility alone.
      EXPECT_EQ(r.out, rp_answer(kUri + "?iss=" + kIssEncoded));
      ++honoured;
      continue;
    }
    ++total;
    refused += r.out == login_answer();
    EXPECT_EQ(r.out, login_answer());
  }
  EXPECT_GE(honoured, 5);
  report("hostile ID token hints", refused, total);
}

TEST_F(SecurityMatrixTest, ControlBytesNeverBreakTheHeaderBlock) {
  const std::string to_rp = kUri + "?state=";
  const std::string iss = "&iss=" + kIssEncoded;
  const std::string uri_q = "&post_logout_redirect_uri=" + url_encoded(kUri);
  const std::string hint_q = "id_token_hint=" + hint;
  const std::string injected = "Set-Cookie: id_session=evil\r\nLocation: https://evil.test";
  struct Case {
    const char* what;
    std::vector<std::string> env;
    std::string body;
    std::string answer;  // empty: any well-formed answer that stays at home
  } cases[] = {
      {"raw CR LF in state", {"QUERY_STRING=" + hint_q + uri_q + "&state=a\r\n" + injected}, "",
       rp_answer(to_rp + url_encoded("a\r\n" + injected) + iss)},
      {"raw LF in state", {"QUERY_STRING=" + hint_q + uri_q + "&state=a\nb"}, "", rp_answer(to_rp + "a%0Ab" + iss)},
      {"raw CR in state", {"QUERY_STRING=" + hint_q + uri_q + "&state=a\rb"}, "", rp_answer(to_rp + "a%0Db" + iss)},
      {"encoded CR LF in state", {"QUERY_STRING=" + hint_q + uri_q + "&state=a%0D%0A" + url_encoded(injected)}, "",
       rp_answer(to_rp + url_encoded("a\r\n" + injected) + iss)},
      {"encoded NUL in state", {"QUERY_STRING=" + hint_q + uri_q + "&state=a%00%0D%0Ab"}, "",
       rp_answer(to_rp + "a" + iss)},
      {"raw NUL and CR LF in a form body's state",
       {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=0"},
       hint_q + uri_q + "&state=a" + std::string(1, '\0') + "\r\n" + injected, ""},
      {"raw CR LF in the URI", {"QUERY_STRING=" + hint_q + "&post_logout_redirect_uri=" + kUri + "\r\n" + injected},
       "", login_answer()},
      {"encoded CR LF in the URI", {"QUERY_STRING=" + hint_q + uri_q + "%0D%0A" + url_encoded(injected)}, "",
       login_answer()},
      // The value ends at a decoded NUL, which leaves at most the registered URI.
      {"encoded NUL in the URI", {"QUERY_STRING=" + hint_q + uri_q + "%00%0D%0A" + url_encoded(injected)}, "", ""},
      {"raw NUL and CR LF in a form body's URI",
       {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=0"},
       hint_q + "&post_logout_redirect_uri=" + kUri + std::string(1, '\0') + "\r\n" + injected, ""},
      {"JSON body with escaped control bytes",
       {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/json", "CONTENT_LENGTH=0"},
       "{\"id_token_hint\":\"" + hint + "\",\"post_logout_redirect_uri\":\"" + kUri +
           "\\r\\nX-Evil: 1\",\"state\":\"a\\u0000\\r\\nX-Evil: 1\"}",
       json_answer()},
      {"raw CR LF in the cookie", {"HTTP_COOKIE=id_session=" + session + "\r\n" + injected}, "", login_answer()},
      {"raw CR LF before the cookie", {"HTTP_COOKIE=a=b\r\n" + injected + "; id_session=x\r\n"}, "",
       login_answer()},
      {"encoded CR LF and NUL in the cookie", {"HTTP_COOKIE=id_session=" + session + "%0D%0A%00" + url_encoded(injected)},
       "", login_answer()},
      {"everything at once, JSON answer",
       {"HTTP_ACCEPT=application/json\r\nX-Evil: 1", "HTTP_COOKIE=id_session=\r\n" + injected,
        "QUERY_STRING=" + hint_q + uri_q + "\r\n&state=\r\n" + injected},
       "", json_answer()},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.body.empty()) {
      for (auto& v : c.env) {
        if (v == "CONTENT_LENGTH=0") v = "CONTENT_LENGTH=" + std::to_string(c.body.size());
      }
    }
    c.env.push_back("REQUEST_METHOD=" + std::string(c.body.empty() ? "GET" : "POST"));
    ProgramResult r = run_exact(c.env, c.body);
    if (!c.answer.empty()) {
      EXPECT_EQ(r.out, c.answer);
    }
  }
  // Nothing above was a session cookie that verifies, so nobody was signed out.
  EXPECT_TRUE(session_exists(session));
}

// clients.json is edited by hand as well: a registered URI that holds control
// bytes is never written into a header line.
TEST_F(SecurityMatrixTest, RegisteredUriWithControlBytesIsNotFollowed) {
  for (const std::string& stored : {std::string("https://rp.test/x\\r\\nSet-Cookie: id_session=evil"),
                                    std::string("https://rp.test/x\\nLocation: https://evil.test"),
                                    std::string("https://rp.test/a b")}) {
    SCOPED_TRACE(stored);
    std::string before = TempDataDir::read_file(dir.path("clients.json"));
    add_client_uri(stored);
    id_client c;
    ASSERT_TRUE(id_client_find_by_id(client_id.c_str(), &c));
    ASSERT_EQ(c.redirect_uri_count, 3);
    const std::string uri = c.redirect_uris[1];
    EXPECT_EQ(run_exact({signout_query(hint, url_encoded(uri)) + "&state=s"}).out, login_answer());
    TempDataDir::write_file(dir.path("clients.json"), before);
  }
}

TEST_F(SecurityMatrixTest, ProxyVariablesChangeNothing) {
  const std::vector<std::vector<std::string>> requests = {
      {},
      {"HTTP_ACCEPT=application/json"},
      {signout_query(hint, url_encoded(kUri)) + "&state=s"},
      {"HTTP_X_FORWARDED_PROTO=https", signout_query(hint, url_encoded(kUriWithQuery))},
  };
  const std::vector<std::string> proxies = {"HTTP_PROXY=http://192.0.2.66:3128", "http_proxy=http://192.0.2.66:3128",
                                            "HTTPS_PROXY=http://192.0.2.66:3128"};
  for (const auto& req : requests) {
    SCOPED_TRACE(req.empty() ? "(no parameters)" : req.back());
    std::vector<std::string> env = req;
    env.push_back("REQUEST_METHOD=GET");
    std::string plain = run_exact(env).out;
    env.insert(env.end(), proxies.begin(), proxies.end());
    EXPECT_EQ(run_exact(env).out, plain);
  }
  // A sign-out of a real session answers the same with the proxy variables set.
  std::string a = run_exact({"REQUEST_METHOD=GET", "HTTP_COOKIE=id_session=" + session}).out;
  std::vector<std::string> env = {"REQUEST_METHOD=GET", "HTTP_COOKIE=id_session=" + other_session};
  env.insert(env.end(), proxies.begin(), proxies.end());
  EXPECT_EQ(run_exact(env).out, a);
  EXPECT_FALSE(session_exists(session));
  EXPECT_FALSE(session_exists(other_session));
}

TEST_F(SecurityMatrixTest, OddMethodsAndLengthsGiveOneAnswer) {
  const std::string body = "format=json";  // read as a body only by a POST with a usable length
  const std::vector<const char*> methods = {nullptr, "", "get", "GET", "PUT", "DELETE", "POST", "post",
                                            "POSTAL"};
  const std::vector<const char*> lengths = {nullptr, "", "-1", "abc", "99999999999999999999999", "1048577",
                                            "100", "1e3", "0", "11", "5"};
  int runs = 0;
  for (const char* m : methods) {
    for (const char* l : lengths) {
      SCOPED_TRACE(std::string("method ") + (m ? "\"" + std::string(m) + "\"" : "unset") + ", length " +
                   (l ? "\"" + std::string(l) + "\"" : "unset"));
      std::vector<std::string> env = {"CONTENT_TYPE=application/x-www-form-urlencoded"};
      if (m) env.push_back("REQUEST_METHOD=" + std::string(m));
      if (l) env.push_back("CONTENT_LENGTH=" + std::string(l));
      bool posted = m && m[0] == 'P' && m[1] == 'O';
      bool whole = l && (std::string(l) == "100" || std::string(l) == "11");  // "100": the body ends early
      ProgramResult r = run_exact(env, body);
      EXPECT_EQ(r.out, posted && whole ? json_answer() : login_answer());
      ++runs;
    }
  }
  // A long method name and an enormous body.
  std::string long_method = "REQUEST_METHOD=" + std::string(100000, 'X');
  EXPECT_EQ(run_exact({long_method, "CONTENT_LENGTH=11"}, body).out, login_answer());
  EXPECT_EQ(run_exact({"REQUEST_METHOD=PO" + std::string(100000, 'S'), "CONTENT_LENGTH=11"}, body).out,
            json_answer());
  std::string huge = body + "&" + std::string(2000000, 'a');
  EXPECT_EQ(run_exact({"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + std::to_string(huge.size())}, huge).out,
            login_answer());
  std::printf("[ figures  ] odd methods and lengths: %d requests, each one well-formed answer\n", runs + 3);
}

}  // namespace
