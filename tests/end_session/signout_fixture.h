// A data directory ready for sign-outs, and the exact answers of the end-session
// program, shared by the program's tests.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "identity_common.h"
#include "keys_internal.h"
#include "run_program.h"
#include "temp_dir.h"


const std::string kCookieLine = "Set-Cookie: id_session=; Path=/; HttpOnly; SameSite=Lax; Max-Age=0";
const std::string kBase = "http://127.0.0.1:8080";
const std::string kIssEncoded = "http%3A%2F%2F127.0.0.1%3A8080";
const std::string kUri = "https://rp.test/after-logout";
const std::string kUriWithQuery = "https://rp.test/bye?lang=en";

inline std::string cookie_line(bool secure) { return kCookieLine + (secure ? "; Secure" : "") + "\r\n"; }

inline std::string login_answer(bool secure = false) {
  return "Status: 302 Found\r\nCache-Control: no-store\r\nPragma: no-cache\r\nLocation: /login\r\n" +
         cookie_line(secure) + "X-Content-Type-Options: nosniff\r\n\r\nRedirecting to /login...\n";
}

inline std::string json_answer(bool secure = false) {
  return "Content-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\nPragma: no-cache\r\n" +
         cookie_line(secure) + "X-Content-Type-Options: nosniff\r\n\r\n{\"ok\":true,\"logged_out\":true}\n";
}

inline std::string html_escaped(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '&' ? "&amp;" : std::string(1, c);
  return out;
}

inline std::string rp_answer(const std::string& target) {
  return "Status: 302 Found\r\nCache-Control: no-store\r\nPragma: no-cache\r\nLocation: " + target + "\r\n" +
         cookie_line(false) + "X-Content-Type-Options: nosniff\r\n\r\nRedirecting to " + html_escaped(target) +
         "...\n";
}

inline std::string url_encoded(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// A data directory with two users' sessions and refresh tokens, one client with
// two post-logout URIs, and signing keys.
class EndSessionTest : public TempDataDirTest {
 protected:
  void SetUp() override {
    // Key generation is slow: every test starts from the same signing keys, and
    // from a fresh process's key table.
    static std::string keys_json;
    if (!keys_json.empty()) TempDataDir::write_file(dir.path("keys.json"), keys_json);
    zeb::keys_forget();
    char id[64], secret[64], msg[128];
    ASSERT_EQ(id_client_create("RP", kUri.c_str(), nullptr, id, sizeof id, secret, sizeof secret, false, msg,
                               sizeof msg),
              0)
        << msg;
    client_id = id;
    add_client_uri(kUriWithQuery);
    char sid[64];
    ASSERT_EQ(id_session_create("usr_alice", "alice", sid, sizeof sid), 0);
    session = sid;
    ASSERT_EQ(id_session_create("usr_bob", "bob", sid, sizeof sid), 0);
    other_session = sid;
    char rt[64];
    ASSERT_EQ(id_refresh_token_create("usr_alice", "alice", id, "openid", rt, sizeof rt), 0);
    ASSERT_EQ(id_refresh_token_create("usr_alice", "alice", id, "openid", rt, sizeof rt), 0);
    ASSERT_EQ(id_refresh_token_create("usr_bob", "bob", id, "openid", rt, sizeof rt), 0);
    bob_token = rt;
    hint = mint_hint("usr_alice");
    if (keys_json.empty()) keys_json = TempDataDir::read_file(dir.path("keys.json"));
  }

  // Registers one more URI for the client by editing the store the way an
  // operator would.
  void add_client_uri(const std::string& uri) {
    std::string text = TempDataDir::read_file(dir.path("clients.json"));
    size_t at = text.find(kUri + "\"");
    ASSERT_NE(at, std::string::npos);
    text.insert(at + kUri.size() + 1, ",\"" + uri + "\"");
    TempDataDir::write_file(dir.path("clients.json"), text);
  }

  std::string mint_hint(const char* sub, const char* email = "a@rp.test", uint32_t lifetime = 600) {
    char tok[4096];
    EXPECT_EQ(id_jwt_mint_id_token_v2(kBase.c_str(), sub, "alice", email, client_id.c_str(), nullptr, nullptr, 0,
                                      lifetime, tok, sizeof tok),
              0);
    return tok;
  }

  ProgramResult run(std::vector<std::string> env, const std::string& body = "") {
    env.push_back("IDENTITY_DATA_DIR=" + dir.data_dir());
    env.push_back("REMOTE_ADDR=192.0.2.7");
    bool has_method = false;
    for (auto& e : env) has_method |= e.rfind("REQUEST_METHOD=", 0) == 0;
    if (!has_method) env.push_back("REQUEST_METHOD=GET");
    if (!body.empty()) env.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
    ProgramResult r = run_program(ZEB_END_SESSION, env, body, dir.root());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r;
  }

  std::string stores() {
    std::string all;
    for (const char* f : {"tokens.json", "audit_log.json", "clients.json"})
      all += f + std::string(":") + (TempDataDir::exists(dir.path(f)) ? TempDataDir::read_file(dir.path(f)) : "-");
    return all;
  }

  bool session_exists(const std::string& s) {
    return id_session_verify(s.c_str(), nullptr, 0, nullptr, 0);
  }

  std::string client_id, session, other_session, bob_token, hint;
};
