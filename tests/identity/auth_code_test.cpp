#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "identity_common.h"
#include "token_store_fixture.h"

namespace {

// RFC 7636, appendix B.
#define RFC_VERIFIER "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"
#define RFC_CHALLENGE "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
constexpr char kVerifier[] = RFC_VERIFIER;
constexpr char kChallenge[] = RFC_CHALLENGE;
const std::string kExpires = std::to_string(kNow + 600);

class AuthCodeTest : public TokenStoreTest {
 protected:
  // A store whose "auth_codes" holds exactly these members (JSON text).
  void write_codes(const std::string& members) {
    write_store(R"({"sessions":{},"auth_codes":{)" + members + R"(},"refresh":[]})");
  }
  bool redeemable(const char* code, const char* client_id = "client_a") {
    return id_auth_code_consume(code, client_id, nullptr, nullptr, nullptr) == 0;
  }
};

struct CreateCase {
  const char* name;
  const char* user_id;
  const char* username;
  const char* client_id;
  const char* redirect_uri;
  const char* scope;
  const char* challenge;
  const char* method;
  const char* nonce;
  int64_t auth_time;
  std::string record;  // the stored record, "expires_at" left off
};

TEST_F(AuthCodeTest, CreateWritesTheRecordInOrderWithDefaults) {
  const CreateCase cases[] = {
      {"all given", "usr_1", "alice", "client_a", "https://app/cb", "openid email", kChallenge,
       "S256", "n-1", 1699999000,
       R"({"user_id":"usr_1","username":"alice","client_id":"client_a",)"
       R"("redirect_uri":"https://app/cb","scope":"openid email","code_challenge":")" +
           std::string(kChallenge) +
           R"(","code_challenge_method":"S256","nonce":"n-1","auth_time":1699999000)"},
      {"none given", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0,
       R"({"scope":"openid profile","code_challenge":"","code_challenge_method":"plain")"},
      {"all empty", "", "", "", "", "", "", "", "", -5,
       R"({"user_id":"","username":"","client_id":"","redirect_uri":"",)"
       R"("scope":"openid profile","code_challenge":"","code_challenge_method":"plain")"},
  };
  for (const CreateCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_store(R"({"sessions":{"s":{}},"auth_codes":{"old":{}},"refresh":[]})");
    char code[256];
    ASSERT_EQ(id_auth_code_create_v(c.user_id, c.username, c.client_id, c.redirect_uri, c.scope,
                                    c.challenge, c.method, c.nonce, c.auth_time, code, sizeof code),
              0);
    std::string k = code;
    ASSERT_EQ(k.size(), 37u);
    EXPECT_EQ(k.substr(0, 5), "code_");
    EXPECT_EQ(store_json(), R"({"sessions":{"s":{}},"auth_codes":{"old":{},")" + k + "\":" +
                                c.record + R"(,"expires_at":)" + kExpires + R"(}},"refresh":[]})");
  }

  // The short form leaves nonce and auth_time out; a fresh store gets its three
  // members first.
  std::remove(store_path().c_str());
  char code[64];
  ASSERT_EQ(id_auth_code_create("u", "n", "c", "r", "s", "x", "S256", code, sizeof code), 0);
  EXPECT_EQ(store_json(), R"({"sessions":{},"auth_codes":{")" + std::string(code) +
                              R"(":{"user_id":"u","username":"n","client_id":"c",)"
                              R"("redirect_uri":"r","scope":"s","code_challenge":"x",)"
                              R"("code_challenge_method":"S256","expires_at":)" +
                              kExpires + R"(}},"refresh":[]})");
  // A null out buffer is allowed, and every code is new.
  ASSERT_EQ(id_auth_code_create("u", "n", "c", "r", "s", "x", "S256", nullptr, 0), 0);
  zeb::DocPtr doc = zeb::store_read("tokens.json");
  yyjson_val* codes = zeb::json_obj(yyjson_doc_get_root(doc.get()), "auth_codes");
  EXPECT_EQ(yyjson_obj_size(codes), 2u);
  EXPECT_TRUE(yyjson_is_obj(zeb::json_member(codes, code)));
}

TEST_F(AuthCodeTest, RfcExampleRedeemsWithS256AndFillsTheRecord) {
  char code[64];
  ASSERT_EQ(id_auth_code_create_v("usr_1", "alice", "client_a", "https://app/cb", "openid",
                                  kChallenge, "S256", "n-1", 1699999000, code, sizeof code),
            0);
  g_fake_now = kNow + 600;  // the last second of its life
  id_auth_code_record rec;
  std::memset(&rec, 'X', sizeof rec);
  ASSERT_EQ(id_auth_code_consume(code, "client_a", "https://app/cb", kVerifier, &rec), 0);
  EXPECT_STREQ(rec.user_id, "usr_1");
  EXPECT_STREQ(rec.username, "alice");
  EXPECT_STREQ(rec.client_id, "client_a");
  EXPECT_STREQ(rec.redirect_uri, "https://app/cb");
  EXPECT_STREQ(rec.scope, "openid");
  EXPECT_STREQ(rec.code_challenge, kChallenge);
  EXPECT_STREQ(rec.code_challenge_method, "S256");
  EXPECT_STREQ(rec.nonce, "n-1");
  EXPECT_EQ(rec.auth_time, 1699999000);
  EXPECT_EQ(rec.user_id[200], '\0');  // cleared whole, not only terminated
  EXPECT_EQ(store_json("auth_codes"), "{}");
  EXPECT_FALSE(redeemable(code));
}

struct RedeemCase {
  const char* name;
  const char* record;  // members of the stored code "c", "expires_at" as written
  const char* client_id;
  const char* redirect_uri;
  const char* verifier;
  int result;
};

// Stored with client_a and https://app/cb; expiry at the current second.
#define CODE_BASE \
  R"("client_id":"client_a","redirect_uri":"https://app/cb","expires_at":1700000000)"
#define PKCE(challenge, method) \
  CODE_BASE R"(,"code_challenge":")" challenge R"(","code_challenge_method":")" method R"(")"

TEST_F(AuthCodeTest, RedemptionOutcomesAndTheCodeIsGoneInEveryCase) {
  const RedeemCase cases[] = {
      {"all good", CODE_BASE, "client_a", "https://app/cb", nullptr, 0},
      {"another client", CODE_BASE, "client_b", "https://app/cb", nullptr, -3},
      {"client case differs", CODE_BASE, "CLIENT_A", nullptr, nullptr, -3},
      {"client only a prefix", CODE_BASE, "client", nullptr, nullptr, -3},
      {"stored client empty", R"("client_id":"","expires_at":1700000000)", "client_a", nullptr,
       nullptr, -3},
      {"stored client missing", R"("expires_at":1700000000)", "client_a", nullptr, nullptr, -3},
      {"stored client not a string", R"("client_id":7,"expires_at":1700000000)", "7", nullptr,
       nullptr, -3},
      {"stored client longer past a NUL",
       R"("client_id":"client_a\u0000x","expires_at":1700000000)", "client_a", nullptr, nullptr,
       -3},
      {"another redirect URI", CODE_BASE, "client_a", "https://app/cb2", nullptr, -4},
      {"redirect URI absent", CODE_BASE, "client_a", nullptr, nullptr, 0},
      {"redirect URI empty", CODE_BASE, "client_a", "", nullptr, 0},
      {"issued without redirect URI", R"("client_id":"client_a","expires_at":1700000000)",
       "client_a", "https://other/cb", nullptr, 0},
      {"expired a second ago", R"("client_id":"client_a","expires_at":1699999999)", "client_a",
       nullptr, nullptr, -2},
      {"expiry missing", R"("client_id":"client_a")", "client_a", nullptr, nullptr, -2},
      {"expiry as text", R"("client_id":"client_a","expires_at":"1800000000")", "client_a", nullptr,
       nullptr, -2},
      {"expiry beyond 32 bits", R"("client_id":"client_a","expires_at":4294967296)", "client_a",
       nullptr, nullptr, 0},
      // The checks run in a fixed order: expiry, client, redirect URI, PKCE.
      {"expired and another client",
       R"("client_id":"client_a","redirect_uri":"https://app/cb","expires_at":1)", "client_b",
       "https://x/", "wrong", -2},
      {"another client and redirect URI", PKCE("abc", "plain"), "client_b", "https://x/", "wrong",
       -3},
      {"another redirect URI and verifier", PKCE("abc", "plain"), "client_a", "https://x/", "wrong",
       -4},
      {"S256 right verifier", PKCE(RFC_CHALLENGE, "S256"), "client_a", nullptr, RFC_VERIFIER, 0},
      {"S256 wrong verifier", PKCE(RFC_CHALLENGE, "S256"), "client_a", nullptr, RFC_VERIFIER "x",
       -5},
      {"S256 challenge as verifier", PKCE(RFC_CHALLENGE, "S256"), "client_a", nullptr,
       RFC_CHALLENGE, -5},
      {"verifier absent", PKCE(RFC_CHALLENGE, "S256"), "client_a", nullptr, nullptr, -5},
      {"verifier empty", PKCE("abc", "plain"), "client_a", nullptr, "", -5},
      {"plain equal", PKCE("abc", "plain"), "client_a", nullptr, "abc", 0},
      {"plain differs", PKCE("abc", "plain"), "client_a", nullptr, "abd", -5},
      {"plain prefix", PKCE("abc", "plain"), "client_a", nullptr, "ab", -5},
      {"s256 is not S256", PKCE(RFC_CHALLENGE, "s256"), "client_a", nullptr, RFC_VERIFIER, -5},
      {"s256 compares the verifier", PKCE(RFC_CHALLENGE, "s256"), "client_a", nullptr,
       RFC_CHALLENGE, 0},
      {"unknown method", PKCE("abc", "S512"), "client_a", nullptr, "abc", 0},
      {"empty method is plain", PKCE("abc", ""), "client_a", nullptr, "abc", 0},
      {"no method is plain", CODE_BASE R"(,"code_challenge":"abc")", "client_a", nullptr, "abc", 0},
      {"no challenge ignores the verifier", PKCE("", "S256"), "client_a", nullptr, "anything", 0},
  };
  for (const RedeemCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_codes(std::string(R"("c":{)") + c.record + R"(},"other":{"client_id":"client_a"})");
    id_auth_code_record rec;
    std::memset(&rec, 'X', sizeof rec);
    EXPECT_EQ(id_auth_code_consume("c", c.client_id, c.redirect_uri, c.verifier, &rec), c.result);
    if (c.result != 0) {
      EXPECT_EQ(rec.user_id[0], 'X');  // a refusal fills nothing
    }
    EXPECT_EQ(store_json("auth_codes"), R"({"other":{"client_id":"client_a"}})");
    EXPECT_EQ(id_auth_code_consume("c", "client_a", nullptr, RFC_VERIFIER, nullptr), -1);
  }
}

TEST_F(AuthCodeTest, RecordTextsAreCutButRedirectUrisCompareInFull) {
  const std::string uri = "https://app/" + std::string(1500, 'p');
  const std::string method(40, 'm');
  auto store = [&](const std::string& stored_uri) {
    write_codes(R"("c":{"client_id":"client_a","redirect_uri":")" + stored_uri +
                R"(","code_challenge":"abc","code_challenge_method":")" + method +
                R"(","expires_at":1700000000})");
  };
  store(uri);
  id_auth_code_record rec;
  ASSERT_EQ(id_auth_code_consume("c", "client_a", uri.c_str(), "abc", &rec), 0);
  EXPECT_EQ(std::string(rec.redirect_uri), uri.substr(0, 255));
  EXPECT_EQ(std::string(rec.code_challenge_method), method.substr(0, 31));

  // A difference past any cut still counts.
  store(uri);
  EXPECT_EQ(id_auth_code_consume("c", "client_a", (uri + "x").c_str(), "abc", nullptr), -4);
  store(uri);
  EXPECT_EQ(id_auth_code_consume("c", "client_a", uri.substr(0, 1023).c_str(), "abc", nullptr), -4);
  store(uri.substr(0, 1023) + "\\u0000tail");
  EXPECT_EQ(id_auth_code_consume("c", "client_a", uri.substr(0, 1023).c_str(), "abc", nullptr), -4);
}

TEST_F(AuthCodeTest, FirstOfDuplicateCodesCountsAndAllGo) {
  write_codes(R"("c":{"client_id":"client_a","scope":"first","expires_at":1700000000},)"
              R"("d":{"client_id":"client_a"},)"
              R"("c":{"client_id":"client_b","scope":"second","expires_at":1700000000})");
  id_auth_code_record rec;
  ASSERT_EQ(id_auth_code_consume("c", "client_a", nullptr, nullptr, &rec), 0);
  EXPECT_STREQ(rec.scope, "first");
  EXPECT_STREQ(rec.code_challenge_method, "");  // none stored
  EXPECT_EQ(rec.auth_time, 0);
  EXPECT_EQ(store_json("auth_codes"), R"({"d":{"client_id":"client_a"}})");
}

TEST_F(AuthCodeTest, UnknownOrUnusableCodesAreRefusedWithoutWriting) {
  struct {
    const char* name;
    const char* store;
    const char* code;
    const char* client_id;
  } const cases[] = {
      {"unknown code", R"({"auth_codes":{"c":{"client_id":"a","expires_at":1800000000}}})", "d",
       "a"},
      {"code only a prefix", R"({"auth_codes":{"cc":{"client_id":"a","expires_at":1800000000}}})",
       "c", "a"},
      {"value not an object", R"({"auth_codes":{"c":"x"}})", "c", "a"},
      {"first of duplicates not an object",
       R"({"auth_codes":{"c":7,"c":{"client_id":"a","expires_at":1800000000}}})", "c", "a"},
      {"auth_codes empty", R"({"auth_codes":{}})", "c", "a"},
      {"auth_codes an array", R"({"auth_codes":[{"c":{"client_id":"a"}}]})", "c", "a"},
      {"auth_codes missing", R"({"sessions":{}})", "c", "a"},
      {"null code", R"({"auth_codes":{"":{"client_id":"a","expires_at":1800000000}}})", nullptr,
       "a"},
      {"empty code", R"({"auth_codes":{"":{"client_id":"a","expires_at":1800000000}}})", "", "a"},
      {"null client", R"({"auth_codes":{"c":{"client_id":"","expires_at":1800000000}}})", "c",
       nullptr},
      {"empty client", R"({"auth_codes":{"c":{"client_id":"","expires_at":1800000000}}})", "c", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_store(c.store);
    expect_same_store(
        [&] {
          EXPECT_EQ(id_auth_code_consume(c.code, c.client_id, nullptr, nullptr, nullptr), -1);
        },
        false);
  }
  std::remove(store_path().c_str());
  EXPECT_EQ(id_auth_code_consume("c", "a", nullptr, nullptr, nullptr), -1);
  EXPECT_FALSE(TempDataDir::exists(store_path()));
}

TEST_F(AuthCodeTest, CreateHandsOutNoCodeItCouldNotStore) {
  char out[64];
  std::memset(out, 'X', sizeof out);
  auto create = [&] {
    return id_auth_code_create("u", "n", "client_a", nullptr, nullptr, nullptr, nullptr, out,
                               sizeof out);
  };
  write_store(R"({"sessions":{},"auth_codes":["c"],"refresh":[]})");
  expect_same_store([&] { EXPECT_EQ(create(), -1); }, false);

  write_store(R"({"sessions":{},"auth_codes":{},"refresh":[]})");
  for (const SaveFault& f : kSaveFaults) {
    SCOPED_TRACE(f.what);
    expect_same_store(
        [&] {
          f.inject(platform());
          EXPECT_EQ(create(), -1);
          platform() = zeb_platform_default;
          platform().time = fake_time;
        },
        false);
    EXPECT_FALSE(TempDataDir::exists(store_path() + ".tmp"));
  }
  // Without random bytes there is no code to make.
  platform().getrandom = fail_getrandom;
  expect_same_store([&] { EXPECT_EQ(create(), -1); }, false);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'X'));
}

// A removal that could not be saved leaves the old store, code included, in place;
// the code is refused now and found by the next attempt.
TEST_F(AuthCodeTest, CodeWhoseRemovalIsNotSavedIsNotHonoured) {
  write_codes(R"("c":{"client_id":"client_a","scope":"s","expires_at":1700000000})");
  for (const SaveFault& f : kSaveFaults) {
    SCOPED_TRACE(f.what);
    id_auth_code_record rec;
    std::memset(&rec, 'X', sizeof rec);
    expect_same_store(
        [&] {
          f.inject(platform());
          EXPECT_EQ(id_auth_code_consume("c", "client_a", nullptr, nullptr, &rec), -1);
          platform() = zeb_platform_default;
          platform().time = fake_time;
        },
        false);
    EXPECT_EQ(rec.scope[0], 'X');
    EXPECT_FALSE(TempDataDir::exists(store_path() + ".tmp"));
  }
  // A refusal after the removal is the same: the code is not used up unwritten.
  write_codes(R"("c":{"client_id":"client_a","expires_at":1})");
  platform().rename = fail_rename;
  EXPECT_EQ(id_auth_code_consume("c", "client_b", nullptr, nullptr, nullptr), -1);
  platform().rename = zeb_platform_default.rename;
  EXPECT_EQ(id_auth_code_consume("c", "client_b", nullptr, nullptr, nullptr), -2);
}

TEST_F(AuthCodeTest, LockHeldElsewhereFailsWithoutWriting) {
  char code[64];
  ASSERT_EQ(id_auth_code_create(nullptr, nullptr, "client_a", nullptr, nullptr, nullptr, nullptr,
                                code, sizeof code),
            0);
  platform().sleep_ms = no_sleep;
  id_lock held{};
  ASSERT_EQ(id_lock_acquire_wait(&held, "tokens.json", 0), 0);
  expect_same_store(
      [&] {
        EXPECT_EQ(id_auth_code_consume(code, "client_a", nullptr, nullptr, nullptr), -1);
        EXPECT_EQ(id_auth_code_create(nullptr, nullptr, "client_a", nullptr, nullptr, nullptr,
                                      nullptr, nullptr, 0),
                  -1);
      },
      false);
  id_lock_release(&held);
  EXPECT_TRUE(redeemable(code));
}

// Many processes redeem one code at the same moment: the store lock lets exactly
// one find it.
TEST_F(AuthCodeTest, ConcurrentRedemptionsOfOneCodeLetOneWin) {
  char code[64];
  ASSERT_EQ(id_auth_code_create("u", nullptr, "client_a", nullptr, nullptr, nullptr, nullptr, code,
                                sizeof code),
            0);
  ASSERT_EQ(id_session_create("u", "n", nullptr, 0), 0);
  const std::string sessions = store_json("sessions");
  std::vector<int> results = run_at_once(
      16, [&](int) { return id_auth_code_consume(code, "client_a", nullptr, nullptr, nullptr); });
  ASSERT_EQ(results.size(), 16u);
  int winners = 0;
  for (int r : results) {
    EXPECT_TRUE(r == 0 || r == -1) << r;
    winners += r == 0;
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(store_json("auth_codes"), "{}");
  EXPECT_EQ(store_json("sessions"), sessions);
}

}  // namespace
