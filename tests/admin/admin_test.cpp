// identity-admin run as a program: an explicit environment and working directory,
// arguments, a password on stdin, and its stdout, stderr and exit code.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fault.h"
#include "identity_common.h"
#include "keys_internal.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

const std::string kIss = "https://issuer.example.test";
const std::string kUri = "https://app.example.test/cb";
// The verifier and S256 challenge of RFC 7636 appendix B.
const std::string kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
const std::string kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";

using Words = std::vector<std::string>;

class AdminTest : public TempDataDirTest {
 protected:
  // Tokens made here must be signed with this test's keys, not an earlier test's.
  AdminTest() { zeb::keys_forget(); }

  // "{name}" in an argument stands for a value an earlier answer gave.
  std::map<std::string, std::string> vars;

  std::string subst(std::string s) const {
    for (const auto& [name, value] : vars) {
      const std::string key = "{" + name + "}";
      for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
    }
    return s;
  }

  ProgramResult run(Words args, const std::string& in = "", bool with_data_env = true) const {
    for (std::string& a : args) a = subst(a);
    Words env = {"IDENTITY_BASE_URL=" + kIss};
    if (with_data_env) env.push_back("IDENTITY_DATA_DIR=" + dir.data_dir());
    return run_program(ZEB_PROGRAM, env, in, dir.root(), args);
  }

  // Runs a command that must succeed and returns the value of member `name`.
  std::string value_of(const Words& args, const char* name, const std::string& in = "") {
    ProgramResult r = run(args, in);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    expect_json(r.out, {std::string(name) + "->" + name});
    return vars[name];
  }

  static std::string render(yyjson_val* v) {
    if (yyjson_is_str(v)) return yyjson_get_str(v);
    char* text = yyjson_val_write(v, 0, nullptr);
    std::string s = text ? text : "";
    free(text);
    return s;
  }

  // Checks one JSON document against expectations: "name" is present, "!name"
  // absent, "name=value" has that value, "name->var" is kept as {var}, "#N" the
  // root is an array of N elements, "[]" the root is an array.
  void expect_json(const std::string& out, const Words& expect) {
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one document, newline-terminated: " << out;
    yyjson_doc* doc = yyjson_read(out.data(), out.size(), 0);
    ASSERT_NE(doc, nullptr) << out;
    yyjson_val* root = yyjson_doc_get_root(doc);
    for (const std::string& raw : expect) {
      std::string e = subst(raw);
      SCOPED_TRACE(e);
      if (e == "[]") {
        EXPECT_TRUE(yyjson_is_arr(root)) << out;
      } else if (e[0] == '#') {
        EXPECT_TRUE(yyjson_is_arr(root)) << out;
        EXPECT_EQ(yyjson_arr_size(root), std::stoul(e.substr(1))) << out;
      } else if (e[0] == '!') {
        EXPECT_EQ(yyjson_obj_get(root, e.c_str() + 1), nullptr) << out;
      } else if (size_t arrow = e.find("->"); arrow != std::string::npos) {
        yyjson_val* v = yyjson_obj_get(root, e.substr(0, arrow).c_str());
        EXPECT_NE(v, nullptr) << out;
        vars[e.substr(arrow + 2)] = v ? render(v) : "";
      } else if (size_t eq = e.find('='); eq != std::string::npos) {
        yyjson_val* v = yyjson_obj_get(root, e.substr(0, eq).c_str());
        EXPECT_TRUE(v && render(v) == e.substr(eq + 1)) << out;
      } else {
        EXPECT_NE(yyjson_obj_get(root, e.c_str()), nullptr) << out;
      }
    }
    yyjson_doc_free(doc);
  }

  // "area verb" of every subcommand, as the top-level help lists them.
  std::vector<Words> all_commands() const {
    std::vector<Words> out;
    for (const std::string& line : lines(run({"--help"}).out)) {
      if (line.size() < 3 || line.compare(0, 2, "  ") != 0 || line[2] == ' ') continue;
      size_t a = line.find(' ', 2), b = line.find(' ', a + 1);
      out.push_back(
          {line.substr(2, a - 2), line.substr(a + 1, b == std::string::npos ? b : b - a - 1)});
    }
    return out;
  }
};

struct Step {
  Words args;
  std::string in;
  Words expect;
};

// Every subcommand's main path, in an order where each step may use what an
// earlier one made.
const Step kSteps[] = {
    {{"users", "create", "--username", "alice", "--email", "alice@example.test"},
     "alice-password\n",
     {"id->alice"}},
    {{"users", "create", "--username", "bob", "--role", "admin"}, "bob-password", {"id->bob"}},
    {{"users", "show", "--id", "{alice}"},
     "",
     {"id={alice}", "username=alice", "email=alice@example.test", "role=owner", "created",
      "!pass_hash"}},
    {{"users", "show", "--username", "bob"}, "", {"id={bob}", "role=admin", "!pass_hash"}},
    {{"users", "list"}, "", {"#2"}},
    {{"users", "passwd", "--id", "{bob}"}, "bob-new-password\n", {"ok=true"}},
    {{"clients", "create", "--name", "App", "--redirect-uri", kUri, "--scopes", "openid email"},
     "",
     {"client_id->client", "client_secret"}},
    {{"clients", "create", "--name", "Spa", "--redirect-uri", "https://spa.example.test/",
      "--public"},
     "",
     {"client_id->spa", "client_secret="}},
    {{"clients", "show", "--id", "{client}"},
     "",
     {"client_id={client}", "name=App", "scopes=openid email", "public=false",
      "redirect_uris=[\"" + kUri + "\"]", "!secret"}},
    {{"clients", "list"}, "", {"#2"}},
    {{"sessions", "create", "--user-id", "{alice}", "--username", "alice"},
     "",
     {"session_id->sid"}},
    {{"sessions", "create", "--user-id", "{bob}"}, "", {"session_id->sid2"}},
    {{"sessions", "list"}, "", {"#2"}},
    {{"sessions", "list", "--user-id", "{alice}"}, "", {"#1"}},
    {{"sessions", "delete", "--id", "{sid}"}, "", {"ok=true"}},
    {{"sessions", "delete-user", "--user-id", "{bob}"}, "", {"ok=true"}},
    {{"sessions", "list"}, "", {"#0"}},
    {{"refresh", "issue", "--user-id", "{alice}", "--client-id", "{client}", "--scope", "openid"},
     "",
     {"refresh_token->rt1"}},
    {{"refresh", "rotate", "--token", "{rt1}", "--client-id", "{client}"},
     "",
     {"refresh_token->rt2"}},
    {{"refresh", "list", "--user-id", "{alice}"}, "", {"sessions", "refresh", "rotated"}},
    {{"refresh", "revoke-family", "--token", "{rt1}"}, "", {"revoked=1"}},
    {{"refresh", "issue", "--user-id", "{bob}", "--client-id", "{client}"},
     "",
     {"refresh_token->rt3"}},
    {{"refresh", "revoke", "--token", "{rt3}"}, "", {"ok=true"}},
    {{"codes",   "issue",     "--client-id", "{client}",    "--redirect-uri",
      kUri,      "--user-id", "{alice}",     "--username",  "alice",
      "--scope", "openid",    "--challenge", kChallenge,    "--method",
      "S256",    "--nonce",   "n-1",         "--auth-time", "1700000000"},
     "",
     {"code->code"}},
    {{"codes", "redeem", "--code", "{code}", "--client-id", "{client}", "--redirect-uri", kUri,
      "--verifier", kVerifier},
     "",
     {"user_id={alice}", "username=alice", "scope=openid", "code_challenge_method=S256",
      "nonce=n-1", "auth_time=1700000000"}},
    {{"consent", "set", "--user-id", "{alice}", "--client-id", "{client}", "--scopes",
      "openid profile"},
     "",
     {"ok=true"}},
    {{"consent", "covers", "--user-id", "{alice}", "--client-id", "{client}", "--scopes", "openid"},
     "",
     {"covers=true"}},
    {{"consent", "covers", "--user-id", "{alice}", "--client-id", "{client}", "--scopes", "email"},
     "",
     {"covers=false"}},
    {{"consent", "list"}, "", {"#1"}},
    {{"consent", "revoke", "--user-id", "{alice}", "--client-id", "{client}"}, "", {"ok=true"}},
    {{"consent", "covers", "--user-id", "{alice}", "--client-id", "{client}"},
     "",
     {"covers=false"}},
    {{"revoked", "add", "--jti", "jti-1", "--exp", "4102444800", "--sub", "{alice}"},
     "",
     {"ok=true"}},
    {{"revoked", "check", "--jti", "jti-1"}, "", {"revoked=true"}},
    {{"revoked", "check", "--jti", "jti-2"}, "", {"revoked=false"}},
    {{"keys", "list"}, "", {"#1"}},
    {{"keys", "rotate"}, "", {"ok=true", "kid"}},
    {{"keys", "prune"}, "", {"removed=0"}},  // the retired key is younger than the default age
    {{"keys", "list"}, "", {"#2"}},
    {{"keys", "jwks"}, "", {"keys"}},
    {{"tokens", "mint-access", "--sub", "{alice}", "--username", "alice", "--client-id", "{client}",
      "--scope", "openid", "--lifetime", "600"},
     "",
     {"token->at"}},
    {{"tokens", "verify", "--token", "{at}"},
     "",
     {"iss=" + kIss, "sub={alice}", "aud={client}", "scope=openid", "token_use=access", "jti"}},
    {{"tokens", "mint-id", "--sub", "{alice}", "--aud", "{client}", "--v2", "--access-token",
      "{at}", "--auth-time", "1700000000"},
     "",
     {"token->idt"}},
    {{"tokens", "verify", "--token", "{idt}"}, "", {"sub={alice}", "aud={client}", "token_use=id"}},
    {{"audit", "count"}, "", {"count=3"}},
    {{"audit", "list", "--max", "2"}, "", {"#2"}},
    {{"audit", "prune", "--keep", "1"}, "", {"removed=2"}},
    {{"users", "delete", "--id", "{bob}"},
     "",
     {"ok=true"}},  // alice, the owner, stays an administrator
    {{"clients", "delete", "--id", "{spa}"}, "", {"ok=true"}},
};

TEST_F(AdminTest, EverySubcommandsMainPath) {
  for (const char* event : {"signin", "signout", "signin"})
    ASSERT_EQ(id_audit_record(event, "", "", "", ""), 0);
  std::set<std::string> covered;
  for (const Step& s : kSteps) {
    SCOPED_TRACE(subst(s.args[0] + " " + s.args[1] + " " + (s.args.size() > 3 ? s.args[3] : "")));
    ProgramResult r = run(s.args, s.in);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_json(r.out, s.expect);
    covered.insert(s.args[0] + " " + s.args[1]);
  }
  std::vector<Words> commands = all_commands();
  EXPECT_EQ(commands.size(), covered.size());
  for (const Words& c : commands)
    EXPECT_TRUE(covered.count(c[0] + " " + c[1])) << c[0] << " " << c[1];
}

struct Refusal {
  Words args;
  std::string in;
  int exit_code;
  std::string message;
};

TEST_F(AdminTest, RefusalsAndUsageErrors) {
  std::string alice =
      value_of({"users", "create", "--username", "alice"}, "id", "alice-password\n");
  vars["alice"] = alice;
  vars["client"] =
      value_of({"clients", "create", "--name", "App", "--redirect-uri", kUri}, "client_id");
  vars["rt"] = value_of({"refresh", "issue", "--user-id", alice, "--client-id", "{client}"},
                        "refresh_token");
  value_of({"refresh", "rotate", "--token", "{rt}"}, "refresh_token");
  vars["rt_other"] = value_of({"refresh", "issue", "--user-id", alice, "--client-id", "{client}"},
                              "refresh_token");
  for (const char* name : {"code_client", "code_uri", "code_pkce"}) {
    char code[128];
    ASSERT_EQ(id_auth_code_create(alice.c_str(), "alice", vars["client"].c_str(), kUri.c_str(),
                                  nullptr, kChallenge.c_str(), "S256", code, sizeof code),
              0);
    vars[name] = code;
  }
  char token[8192];
  ASSERT_EQ(id_jwt_mint_access_token(kIss.c_str(), alice.c_str(), "alice", nullptr, nullptr,
                                     nullptr, 60, token, sizeof token),
            0);
  std::string tampered = token;
  char& c = tampered[tampered.rfind('.') + 10];
  c = c == 'A' ? 'B' : 'A';
  vars["tampered"] = tampered;
  {
    PlatformFault seam;
    seam.ops().time = [] { return int64_t{1000}; };
    ASSERT_EQ(id_jwt_mint_access_token(kIss.c_str(), alice.c_str(), "alice", nullptr, nullptr,
                                       nullptr, 60, token, sizeof token),
              0);
  }
  vars["expired"] = token;

  const Refusal cases[] = {
      {{}, "", 2, "missing area (see --help)"},
      {{"frob"}, "", 2, "unknown area frob"},
      {{"users"}, "", 2, "missing verb for users"},
      {{"users", "frob"}, "", 2, "unknown verb frob for users"},
      {{"--data-dir"}, "", 2, "missing value for --data-dir"},
      {{"--verbose", "users", "list"}, "", 2, "unknown option --verbose"},
      {{"users", "create"},
       "carol-password\n",
       2,
       "missing required option --username for users create"},
      {{"users", "create", "--username"}, "carol-password\n", 2, "missing value for --username"},
      {{"users", "create", "--username", "a", "--username", "b"},
       "carol-password\n",
       2,
       "option --username given twice"},
      {{"users", "list", "extra"}, "", 2, "unexpected argument extra"},
      {{"clients", "create", "--name", "x", "--redirect-uri", kUri, "--public", "yes"},
       "",
       2,
       "unexpected argument yes"},
      {{"audit", "list", "--max", "x"}, "", 2, "bad number for --max: x"},
      {{"audit", "list", "--max", "-1"}, "", 2, "bad number for --max: -1"},
      {{"tokens", "mint-access", "--sub", "s", "--lifetime", "2147483648"},
       "",
       2,
       "bad number for --lifetime: 2147483648"},
      {{"revoked", "add", "--jti", "j", "--exp", "99999999999999999999"},
       "",
       2,
       "bad number for --exp: 99999999999999999999"},
      {{"users", "show"}, "", 2, "users show takes one of --id or --username"},
      {{"users", "show", "--id", "{alice}", "--username", "alice"},
       "",
       2,
       "users show takes one of --id or --username"},
      {{"users", "create", "--username", "ALICE"}, "another-password\n", 1, "user already exists"},
      {{"users", "create", "--username", "carol"}, "short\n", 1, "password too short (min 8)"},
      {{"users", "create", "--username", "carol"}, "", 1, "no password on standard input"},
      {{"users", "create", "--username", "carol", "--email", "carol"},
       "carol-password\n",
       1,
       "email must look like name@example.com"},
      {{"users", "show", "--id", "usr_missing"}, "", 1, "user not found"},
      {{"users", "passwd", "--id", "usr_missing"}, "new-password\n", 1, "user not found"},
      {{"users", "passwd", "--id", "{alice}"}, "alice\n", 1, "password too short (min 8)"},
      {{"users", "delete", "--id", "{alice}"}, "", 1, "cannot delete the last administrator"},
      {{"users", "delete", "--id", "usr_missing"},
       "",
       1,
       "user not found, or the user store could not be saved"},
      {{"clients", "create", "--name", "x", "--redirect-uri", "ftp://a.example.test/"},
       "",
       1,
       "redirect_uri must be an absolute http:// or https:// URL"},
      {{"clients", "show", "--id", "client_missing"}, "", 1, "client not found"},
      {{"clients", "delete", "--id", "client_missing"},
       "",
       1,
       "client not found, or the client registry could not be saved"},
      {{"refresh", "rotate", "--token", "rt_missing"},
       "",
       1,
       "unknown refresh token, or the token store could not be saved"},
      {{"refresh", "rotate", "--token", "{rt_other}", "--client-id", "client_other"},
       "",
       1,
       "refresh token of another client"},
      {{"refresh", "rotate", "--token", "{rt}"},
       "",
       1,
       "refresh token already used: its family is revoked"},
      {{"refresh", "revoke", "--token", "rt_missing"},
       "",
       1,
       "unknown refresh token, or the token store could not be saved"},
      {{"codes", "redeem", "--code", "code_missing", "--client-id", "{client}"},
       "",
       1,
       "unknown code, or the token store could not be saved"},
      {{"codes", "redeem", "--code", "{code_client}", "--client-id", "client_other"},
       "",
       1,
       "code of another client"},
      {{"codes", "redeem", "--code", "{code_uri}", "--client-id", "{client}", "--redirect-uri",
        kUri + "x"},
       "",
       1,
       "redirect URI does not match the code's"},
      {{"codes", "redeem", "--code", "{code_pkce}", "--client-id", "{client}", "--verifier",
        kChallenge},
       "",
       1,
       "PKCE verifier does not match"},
      {{"tokens", "verify", "--token", "not.a.token"}, "", 1, "malformed or unacceptable token"},
      {{"tokens", "verify", "--token", "{tampered}"}, "", 1, "bad signature or no usable key"},
      {{"tokens", "verify", "--token", "{expired}"}, "", 1, "token expired"},
  };
  for (const Refusal& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    ProgramResult r = run(c.args, c.in);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.err, "identity-admin: " + c.message + "\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(AdminTest, HelpAtEveryLevel) {
  const Words cases[] = {{"--help"},
                         {"-h"},
                         {"--data-dir", "elsewhere", "--help"},
                         {"users", "--help"},
                         {"tokens", "-h"},
                         {"users", "create", "--help"},
                         {"codes", "issue", "--client-id", "x", "-h"}};
  for (const Words& args : cases) {
    SCOPED_TRACE(args[0] + " " + args.back());
    ProgramResult r = run(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("usage: identity-admin [--data-dir DIR] ", 0), 0u) << r.out;
  }
  EXPECT_EQ(run({"users", "--help"}).out.find("  clients "), std::string::npos);
  EXPECT_NE(run({"users", "create", "--help"})
                .out.find("users create --username USERNAME [--email EMAIL] [--role ROLE]"),
            std::string::npos);
  std::vector<Words> commands = all_commands();
  EXPECT_GE(commands.size(), 30u);
  for (const Words& c : commands) {
    SCOPED_TRACE(c[0] + " " + c[1]);
    ProgramResult r = run({c[0], c[1], "--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(c[0] + " " + c[1]), std::string::npos) << r.out;
  }
}

// No subcommand takes a password from the command line, and a refused one changes
// nothing.
TEST_F(AdminTest, PasswordsComeOnlyFromStdin) {
  for (const Words& c : all_commands()) {
    SCOPED_TRACE(c[0] + " " + c[1]);
    ProgramResult r = run({c[0], c[1], "--password", "alice-password"}, "alice-password\n");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "identity-admin: unknown option --password for " + c[0] + " " + c[1] + "\n");
  }
  EXPECT_FALSE(TempDataDir::exists(dir.path("users.json")));

  struct Case {
    std::string in;
    std::string password;
  } cases[] = {
      {"first-line-pass\nsecond line\n", "first-line-pass"},
      {"no-line-feed-pass", "no-line-feed-pass"},
      {"with spaces  inside\n", "with spaces  inside"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::string id =
        value_of({"users", "create", "--username", "user" + std::to_string(n++)}, "id", c.in);
    id_user u;
    ASSERT_TRUE(id_user_find_by_id(id.c_str(), &u));
    EXPECT_TRUE(id_verify_password(c.password.c_str(), u.pass_hash));
    if (c.in != c.password) {
      EXPECT_FALSE(id_verify_password(c.in.c_str(), u.pass_hash));
    }
  }
  std::string id = vars["id"];
  ProgramResult r = run({"users", "passwd", "--id", id}, "changed-password\nignored\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  id_user u;
  ASSERT_TRUE(id_user_find_by_id(id.c_str(), &u));
  EXPECT_TRUE(id_verify_password("changed-password", u.pass_hash));
}

TEST_F(AdminTest, DataDirOptionChoosesTheStores) {
  std::string other = dir.root() + "/other";
  ProgramResult r = run({"--data-dir", other, "users", "create", "--username", "alice"},
                        "alice-password\n", false);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(TempDataDir::exists(other + "/users.json"));
  // Without the option the default "data" of the working directory is used.
  EXPECT_FALSE(TempDataDir::exists(dir.path("users.json")));
}

TEST_F(AdminTest, RoundTripFromUserToVerifiedIdToken) {
  vars["user"] =
      value_of({"users", "create", "--username", "alice", "--email", "alice@example.test"}, "id",
               "alice-password\n");
  vars["client"] =
      value_of({"clients", "create", "--name", "App", "--redirect-uri", kUri}, "client_id");
  std::string sid =
      value_of({"sessions", "create", "--user-id", "{user}", "--username", "alice"}, "session_id");
  char user_id[256] = {};
  EXPECT_TRUE(id_session_verify(sid.c_str(), user_id, sizeof user_id, nullptr, 0));
  EXPECT_EQ(user_id, vars["user"]);
  std::string token =
      value_of({"tokens", "mint-id", "--sub", "{user}", "--aud", "{client}", "--username", "alice",
                "--email", "alice@example.test", "--nonce", "n-0", "--lifetime", "300"},
               "token");
  ProgramResult r = run({"tokens", "verify", "--token", token});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  expect_json(r.out, {"iss=" + kIss, "sub={user}", "aud={client}", "username=alice",
                      "email=alice@example.test", "token_use=", "exp->exp", "iat->iat"});
  EXPECT_EQ(std::stoll(vars["exp"]) - std::stoll(vars["iat"]), 300);
}

}  // namespace
