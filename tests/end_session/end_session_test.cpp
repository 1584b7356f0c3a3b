// The end-session program, run as the web server runs it: an explicit environment,
// a body on stdin, and the exact bytes of the answer and of the stores afterwards.
#include <sys/wait.h>
#include <unistd.h>

#include <yyjson.h>

#include "signout_fixture.h"

namespace {

TEST_F(EndSessionTest, NoCookieNoParametersGoesToLoginAndChangesNothing) {
  std::string before = stores();
  ProgramResult r = run({});
  EXPECT_EQ(r.out, login_answer());
  EXPECT_EQ(stores(), before);
}

TEST_F(EndSessionTest, VerifiedSessionIsEndedWithTokensAndOneAuditEvent) {
  ProgramResult r = run({"HTTP_COOKIE=theme=dark; id_session=" + session, "HTTP_ACCEPT=application/json"});
  EXPECT_EQ(r.out, json_answer());
  EXPECT_FALSE(session_exists(session));
  EXPECT_TRUE(session_exists(other_session));
  EXPECT_TRUE(id_refresh_token_find(bob_token.c_str(), nullptr));
  std::string tokens = TempDataDir::read_file(dir.path("tokens.json"));
  EXPECT_EQ(tokens.find("usr_alice"), std::string::npos) << tokens;
  char* events = id_audit_list_json(10);
  ASSERT_NE(events, nullptr);
  std::string ev = events;
  free(events);
  EXPECT_NE(ev.find(R"("event":"signout","user_id":"usr_alice","username":"alice","ip":"192.0.2.7","detail":"")"),
            std::string::npos)
      << ev;
  EXPECT_EQ(id_audit_count(), 1);
}

TEST_F(EndSessionTest, SessionsThatDoNotVerifyChangeNothing) {
  // An expired session of a third user, written as the store holds it.
  std::string tokens = TempDataDir::read_file(dir.path("tokens.json"));
  size_t at = tokens.find("\"sessions\": {") + 13;
  tokens.insert(at, "\"sess_old\": {\"user_id\": \"usr_alice\", \"created_at\": 1, \"expires_at\": 2},");
  TempDataDir::write_file(dir.path("tokens.json"), tokens);
  std::string before = stores();
  for (const std::string& cookie : std::vector<std::string>{"id_session=sess_old", "id_session=sess_unknown", "id_session=",
                                   "xid_session=" + session, "id_session=; id_session=" + session}) {
    SCOPED_TRACE(cookie);
    ProgramResult r = run({"HTTP_COOKIE=" + cookie});
    EXPECT_EQ(r.out, login_answer());
    EXPECT_EQ(stores(), before);
  }
}

TEST_F(EndSessionTest, AnswerFormatSelection) {
  struct Case {
    std::vector<std::string> env;
    std::string body;
    bool json;
  } cases[] = {
      {{"HTTP_ACCEPT=text/html, application/json;q=0.9"}, "", true},
      {{"QUERY_STRING=format=json"}, "", true},
      {{"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded"}, "format=json", true},
      {{"REQUEST_METHOD=POST", "CONTENT_TYPE=application/json"}, "{}", true},
      {{"QUERY_STRING=format=JSON"}, "", false},
      {{"HTTP_ACCEPT=Application/JSON"}, "", false},
      {{"REQUEST_METHOD=GET"}, "format=json", false},  // a GET body is never read
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body + (c.env.empty() ? "" : c.env[0]));
    EXPECT_EQ(run(c.env, c.body).out, c.json ? json_answer() : login_answer());
  }
}

TEST_F(EndSessionTest, RelyingPartyRedirects) {
  std::string q = "id_token_hint=" + hint + "&post_logout_redirect_uri=";
  struct Case {
    std::string query;
    std::string target;
  } cases[] = {
      {q + url_encoded(kUri) + "&state=" + url_encoded("a b&c"), kUri + "?state=a%20b%26c&iss=" + kIssEncoded},
      {q + url_encoded(kUriWithQuery) + "&state=xyz", kUriWithQuery + "&state=xyz&iss=" + kIssEncoded},
      {q + url_encoded(kUri), kUri + "?iss=" + kIssEncoded},
      {q + url_encoded(kUri) + "&state=" + std::string(255, 's'),
       kUri + "?state=" + std::string(255, 's') + "&iss=" + kIssEncoded},
      {q + url_encoded(kUri) + "&state=" + std::string(256, 's'), kUri + "?iss=" + kIssEncoded},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query.substr(q.size()));
    EXPECT_EQ(run({"QUERY_STRING=" + c.query}).out, rp_answer(c.target));
  }
}

TEST_F(EndSessionTest, RedirectWithSessionOfTheHintsSubject) {
  ProgramResult r = run({"HTTP_COOKIE=id_session=" + session,
                         "QUERY_STRING=id_token_hint=" + hint + "&post_logout_redirect_uri=" + url_encoded(kUri)});
  EXPECT_EQ(r.out, rp_answer(kUri + "?iss=" + kIssEncoded));
  EXPECT_FALSE(session_exists(session));
}

TEST_F(EndSessionTest, HintOfAnotherUserStillSignsOut) {
  ProgramResult r = run({"HTTP_COOKIE=id_session=" + other_session,
                         "QUERY_STRING=id_token_hint=" + hint + "&post_logout_redirect_uri=" + url_encoded(kUri)});
  EXPECT_EQ(r.out, login_answer());
  EXPECT_FALSE(session_exists(other_session));
  EXPECT_FALSE(id_refresh_token_find(bob_token.c_str(), nullptr));
  EXPECT_EQ(id_audit_count(), 1);
}

TEST_F(EndSessionTest, RefusedHintsAndUris) {
  char access[4096];
  ASSERT_EQ(id_jwt_mint_access_token(kBase.c_str(), "usr_alice", "alice", nullptr, client_id.c_str(), nullptr, 600,
                                     access, sizeof access),
            0);
  char first_form[4096];
  ASSERT_EQ(id_jwt_mint_id_token(kBase.c_str(), "usr_alice", "alice", nullptr, client_id.c_str(), nullptr, 600,
                                 first_form, sizeof first_form),
            0);
  char other_client[4096];
  ASSERT_EQ(id_jwt_mint_id_token_v2(kBase.c_str(), "usr_alice", "alice", nullptr, "client_nobody", nullptr, nullptr,
                                    0, 600, other_client, sizeof other_client),
            0);
  std::string tampered = hint;
  tampered[tampered.find('.') + 5] ^= 1;
  struct Case {
    const char* what;
    std::string hint, uri;
  } cases[] = {
      {"access token", access, kUri},
      {"id token without token_use", first_form, kUri},
      {"unregistered client", other_client, kUri},
      {"tampered claims", tampered, kUri},
      {"no hint", "", kUri},
      {"no uri", hint, ""},
      {"case differs", hint, "https://rp.test/After-Logout"},
      {"trailing slash", hint, kUri + "/"},
      {"added query", hint, kUri + "?x=1"},
      {"over-long uri", hint, kUri + "?" + std::string(1024 - kUri.size(), 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string query = "id_token_hint=" + c.hint + "&post_logout_redirect_uri=" + url_encoded(c.uri);
    EXPECT_EQ(run({"QUERY_STRING=" + query}).out, login_answer());
  }
}

TEST_F(EndSessionTest, ExpiredHintGoesToLogin) {
  std::string expired = mint_hint("usr_alice", "a@rp.test", 1);
  sleep(2);
  EXPECT_EQ(run({"QUERY_STRING=id_token_hint=" + expired + "&post_logout_redirect_uri=" + url_encoded(kUri)}).out,
            login_answer());
}

TEST_F(EndSessionTest, LongHintIsWholeInTheQueryButCutInABody) {
  std::string long_hint = mint_hint("usr_alice", (std::string(900, 'e') + "@rp.test").c_str());
  ASSERT_GT(long_hint.size(), 1023u);
  std::string params = "id_token_hint=" + long_hint + "&post_logout_redirect_uri=" + url_encoded(kUri);
  EXPECT_EQ(run({"QUERY_STRING=" + params}).out, rp_answer(kUri + "?iss=" + kIssEncoded));
  EXPECT_EQ(run({"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded"}, params).out,
            login_answer());
}

TEST_F(EndSessionTest, ParametersFromFormAndJsonBodies) {
  std::string target = kUri + "?state=s1&iss=" + kIssEncoded;
  std::string form = "id_token_hint=" + hint + "&post_logout_redirect_uri=" + url_encoded(kUri) + "&state=s1";
  EXPECT_EQ(run({"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded"}, form).out,
            rp_answer(target));
  // A JSON body asks for the JSON answer by its content type.
  std::string json = R"({"id_token_hint":")" + hint + R"(","post_logout_redirect_uri":")" + kUri + R"("})";
  EXPECT_EQ(run({"REQUEST_METHOD=POST", "CONTENT_TYPE=application/json"}, json).out, json_answer());
}

TEST_F(EndSessionTest, SecureCookieBehindHttpsProxy) {
  EXPECT_EQ(run({"HTTP_X_FORWARDED_PROTO=HTTPS"}).out, login_answer(true));
  EXPECT_EQ(run({"HTTP_ACCEPT=application/json", "IDENTITY_BASE_URL=https://id.test"}).out, json_answer(true));
  EXPECT_EQ(run({"HTTP_X_FORWARDED_PROTO=http"}).out, login_answer(false));
}

TEST_F(EndSessionTest, ManySignOutsAtOnceLoseNoUpdate) {
  const int kUsers = 24;
  std::vector<std::string> sessions;
  for (int i = 0; i < kUsers; ++i) {
    std::string uid = "usr_" + std::to_string(i);
    char sid[64], rt[64];
    ASSERT_EQ(id_session_create(uid.c_str(), uid.c_str(), sid, sizeof sid), 0);
    ASSERT_EQ(id_refresh_token_create(uid.c_str(), uid.c_str(), client_id.c_str(), nullptr, rt, sizeof rt), 0);
    sessions.push_back(sid);
  }
  std::vector<pid_t> kids;
  for (int i = 0; i < kUsers; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      ProgramResult r = run_program(ZEB_END_SESSION,
                                    {"IDENTITY_DATA_DIR=" + dir.data_dir(), "REQUEST_METHOD=GET",
                                     "HTTP_COOKIE=id_session=" + sessions[i], "HTTP_ACCEPT=application/json"},
                                    "", dir.root());
      _exit(r.exit_code == 0 && r.out == json_answer() ? 0 : 1);
    }
    kids.push_back(pid);
  }
  // Readers running meanwhile only ever see whole stores.
  for (bool running = true; running;) {
    for (const char* f : {"tokens.json", "audit_log.json"}) {
      if (!TempDataDir::exists(dir.path(f))) continue;
      yyjson_doc* doc = id_load_json_file(f);
      EXPECT_NE(doc, nullptr) << f << " was seen half-written";
      yyjson_doc_free(doc);
    }
    running = false;
    for (pid_t k : kids) running |= waitpid(k, nullptr, WNOHANG) == 0;
  }
  for (pid_t k : kids) {
    int status = 0;
    waitpid(k, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string tokens = TempDataDir::read_file(dir.path("tokens.json"));
  for (int i = 0; i < kUsers; ++i) {
    EXPECT_FALSE(session_exists(sessions[i]));
    EXPECT_EQ(tokens.find("\"usr_" + std::to_string(i) + "\""), std::string::npos) << i;
  }
  EXPECT_TRUE(session_exists(session));
  EXPECT_EQ(id_audit_count(), kUsers);
}

}  // namespace
