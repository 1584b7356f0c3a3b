#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "identity_common.h"
#include "temp_dir.h"

namespace {

// Standard base64 with padding, as HTTP clients send Basic credentials.
std::string b64(const std::string& in) {
  static const char kAlpha[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out += kAlpha[v >> 18 & 63];
    out += kAlpha[v >> 12 & 63];
    out += i + 1 < in.size() ? kAlpha[v >> 6 & 63] : '=';
    out += i + 2 < in.size() ? kAlpha[v & 63] : '=';
  }
  return out;
}
std::string basic(const std::string& credentials) { return "Basic " + b64(credentials); }

// The longest id and secret that a record holds whole, and each one byte longer.
const std::string kLongId(255, 'i');
const std::string kLongSecret(255, 'S');
const std::string kLongPublic(255, 'p');
const std::string kLongIdPlus = kLongId + "i";
const std::string kLongSecretPlus = kLongSecret + "x";
const std::string kLongPublicPlus = kLongPublic + "p";

constexpr const char* kMissing = "Missing client identification";
constexpr const char* kFailed = "Client authentication failed: unknown client or bad client_secret";
constexpr const char* kPublic = "public client must not authenticate with a secret";

class ClientAuthTest : public TempDataDirTest {
 protected:
  ClientAuthTest() {
    TempDataDir::write_file(dir.path("clients.json"), R"([
      {"client_id": "conf", "name": "Confidential", "secret": "sec_right", "scopes": "openid",
       "redirect_uris": ["https://conf/cb"]},
      {"client_id": "colons", "name": "Colons", "secret": "pa:ss:word"},
      {"client_id": "pub", "name": "Public", "public": true, "redirect_uris": ["https://pub/"]},
      {"client_id": "pubsec", "name": "Public with secret", "public": true, "secret": "pubsecret"},
      {"client_id": ")" + kLongId + R"(", "secret": ")" + kLongSecret +
                                                          R"("},
      {"client_id": ")" + kLongPublic + R"(", "public": true}
    ])");
  }

  ScopedEnv auth_{"HTTP_AUTHORIZATION", std::nullopt};
};

void expect_same_client(const id_client& a, const id_client& b) {
  EXPECT_STREQ(a.client_id, b.client_id);
  EXPECT_STREQ(a.name, b.name);
  EXPECT_STREQ(a.secret, b.secret);
  EXPECT_STREQ(a.scopes, b.scopes);
  EXPECT_EQ(a.is_public, b.is_public);
  ASSERT_EQ(a.redirect_uri_count, b.redirect_uri_count);
  for (int i = 0; i < a.redirect_uri_count; ++i)
    EXPECT_STREQ(a.redirect_uris[i], b.redirect_uris[i]);
}

struct AuthCase {
  const char* what;
  const char* form_id;
  const char* form_secret;
  std::optional<std::string> header;
  int rc;
  unsigned char flag;
  const char* msg;     // "" on success
  const char* client;  // the client copied out on success
};

TEST_F(ClientAuthTest, CaseTable) {
  const AuthCase cases[] = {
      {"form, confidential", "conf", "sec_right", std::nullopt, 0, 0, "", "conf"},
      {"form id wins over header", "conf", "sec_right", basic("pub:"), 0, 0, "", "conf"},
      {"basic, one pad", nullptr, nullptr, basic("conf:sec_right"), 0, 1, "", "conf"},
      {"basic, two pads", nullptr, nullptr, basic("pubsec:pubsecret"), 0, 1, "", "pubsec"},
      {"basic, secret with colons", nullptr, nullptr, basic("colons:pa:ss:word"), 0, 1, "",
       "colons"},
      {"basic, split at first colon", nullptr, nullptr, basic("colons:pa:ss:word:"), -1, 1, kFailed,
       ""},
      {"basic, extra blanks", nullptr, nullptr, "Basic    " + b64("conf:sec_right"), 0, 1, "",
       "conf"},
      {"basic, base64url without padding", nullptr, nullptr, "Basic Y29uZjpzZWNfcmlnaHQ", 0, 1, "",
       "conf"},
      {"basic replaces form secret", "", "wrong", basic("conf:sec_right"), 0, 1, "", "conf"},
      {"basic, no percent-decoding", nullptr, nullptr, basic("conf:sec%5Fright"), -1, 1, kFailed,
       ""},
      {"lower-case scheme", nullptr, nullptr, "basic " + b64("conf:sec_right"), -1, 0, kMissing,
       ""},
      {"scheme without blank", nullptr, nullptr, "Basic" + b64("conf:sec_right"), -1, 0, kMissing,
       ""},
      {"tab after scheme", nullptr, nullptr, "Basic\t" + b64("conf:sec_right"), -1, 0, kMissing,
       ""},
      {"other scheme", nullptr, nullptr, "Bearer " + b64("conf:sec_right"), -1, 0, kMissing, ""},
      {"no colon", nullptr, nullptr, basic("confsec_right"), -1, 0, kMissing, ""},
      {"bad base64", nullptr, nullptr, "Basic Y29u*ZjpzZWNfcmlnaHQ=", -1, 0, kMissing, ""},
      {"empty header", nullptr, nullptr, "", -1, 0, kMissing, ""},
      {"nothing at all", nullptr, nullptr, std::nullopt, -1, 0, kMissing, ""},
      {"form secret without id", nullptr, "sec_right", std::nullopt, -1, 0, kMissing, ""},
      {"basic, empty id", nullptr, nullptr, basic(":sec_right"), -1, 1, kMissing, ""},
      {"NUL in basic secret", nullptr, nullptr, basic(std::string("conf:sec_right\0x", 16)), -1, 0,
       kMissing, ""},
      {"NUL in basic id", nullptr, nullptr, basic(std::string("conf\0x:sec_right", 16)), -1, 0,
       kMissing, ""},
      {"secret only in header", "conf", nullptr, basic("conf:sec_right"), -1, 0, kFailed, ""},
      {"confidential, empty secret", "conf", "", std::nullopt, -1, 0, kFailed, ""},
      {"basic, confidential, empty secret", nullptr, nullptr, basic("conf:"), -1, 1, kFailed, ""},
      {"secret one longer", "conf", "sec_rightt", std::nullopt, -1, 0, kFailed, ""},
      {"secret one shorter", "conf", "sec_righ", std::nullopt, -1, 0, kFailed, ""},
      {"secret in other case", "conf", "SEC_RIGHT", std::nullopt, -1, 0, kFailed, ""},
      {"unknown client", "nobody", "sec_right", std::nullopt, -1, 0, kFailed, ""},
      {"id in other case", "CONF", "sec_right", std::nullopt, -1, 0, kFailed, ""},
      {"basic, unknown client", nullptr, nullptr, basic("nobody:x"), -1, 1, kFailed, ""},
      {"public, no secret", "pub", nullptr, std::nullopt, 0, 0, "", "pub"},
      {"public, empty secret", "pub", "", std::nullopt, 0, 0, "", "pub"},
      {"public, secret", "pub", "anything", std::nullopt, -1, 0, kPublic, ""},
      {"basic, public, no secret", nullptr, nullptr, basic("pub:"), 0, 1, "", "pub"},
      {"basic, public, secret", nullptr, nullptr, basic("pub:x"), -1, 1, kPublic, ""},
      {"public with stored secret, none presented", "pubsec", nullptr, std::nullopt, 0, 0, "",
       "pubsec"},
      {"public with stored secret, right", "pubsec", "pubsecret", std::nullopt, 0, 0, "", "pubsec"},
      {"public with stored secret, wrong", "pubsec", "pubsecre", std::nullopt, -1, 0, kFailed, ""},
      {"255-byte id and secret", kLongId.c_str(), kLongSecret.c_str(), std::nullopt, 0, 0, "",
       kLongId.c_str()},
      {"basic, 255-byte id and secret", nullptr, nullptr, basic(kLongId + ":" + kLongSecret), 0, 1,
       "", kLongId.c_str()},
      {"basic, 255-byte public id", nullptr, nullptr, basic(kLongPublic + ":"), 0, 1, "",
       kLongPublic.c_str()},
      // Cut to a record's 255 bytes (or, in the header, to 511 decoded bytes), each of
      // these would name the client above and pass.
      {"secret one past 255 bytes", kLongId.c_str(), kLongSecretPlus.c_str(), std::nullopt, -1, 0,
       kFailed, ""},
      {"basic, secret one past 255 bytes", nullptr, nullptr, basic(kLongId + ":" + kLongSecretPlus),
       -1, 1, kFailed, ""},
      {"id one past 255 bytes", kLongPublicPlus.c_str(), nullptr, std::nullopt, -1, 0, kFailed, ""},
      {"basic, id one past 255 bytes", nullptr, nullptr, basic(kLongPublicPlus + ":"), -1, 1,
       kFailed, ""},
      {"form id past 255 bytes with the header", kLongIdPlus.c_str(), kLongSecret.c_str(),
       basic(kLongId + ":" + kLongSecret), -1, 0, kFailed, ""},
  };
  for (const AuthCase& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv header("HTTP_AUTHORIZATION", c.header);
    id_client out;
    std::memset(&out, 0x5A, sizeof out);
    unsigned char flag = 0xAA;
    char msg[128];
    std::memset(msg, 'x', sizeof msg);
    EXPECT_EQ(id_authenticate_client(c.form_id, c.form_secret, &out, &flag, msg, sizeof msg), c.rc);
    EXPECT_EQ(flag, c.flag);
    EXPECT_STREQ(msg, c.msg);
    if (c.rc == 0) {
      id_client expected;
      ASSERT_TRUE(id_client_find_by_id(c.client, &expected));
      expect_same_client(out, expected);
    } else {
      EXPECT_EQ(reinterpret_cast<unsigned char*>(&out)[0], 0x5A);
      EXPECT_EQ(reinterpret_cast<unsigned char*>(&out)[sizeof out - 1], 0x5A);
    }
    // Every out is optional, and the answer does not depend on them.
    EXPECT_EQ(id_authenticate_client(c.form_id, c.form_secret, nullptr, nullptr, nullptr, 0), c.rc);
  }
}

TEST_F(ClientAuthTest, MessageIsClearedFirstAndCutToItsCapacity) {
  char msg[16];
  std::memset(msg, '#', sizeof msg);
  EXPECT_EQ(id_authenticate_client(nullptr, nullptr, nullptr, nullptr, msg, 8), -1);
  EXPECT_STREQ(msg, "Missing");
  EXPECT_EQ(msg[8], '#');

  std::memset(msg, '#', sizeof msg);
  EXPECT_EQ(id_authenticate_client("pub", nullptr, nullptr, nullptr, msg, sizeof msg), 0);
  EXPECT_STREQ(msg, "");
  EXPECT_EQ(msg[1], '#');

  // A capacity of 0 leaves the buffer alone.
  std::memset(msg, '#', sizeof msg);
  EXPECT_EQ(id_authenticate_client(nullptr, nullptr, nullptr, nullptr, msg, 0), -1);
  EXPECT_EQ(msg[0], '#');
}

TEST_F(ClientAuthTest, CreatedClientsAuthenticateByFormAndBasic) {
  char id[64], secret[64];
  ASSERT_EQ(id_client_create("Shop", "https://shop/cb", nullptr, id, sizeof id, secret,
                             sizeof secret, false, nullptr, 0),
            0);
  id_client out;
  EXPECT_EQ(id_authenticate_client(id, secret, &out, nullptr, nullptr, 0), 0);
  EXPECT_STREQ(out.client_id, id);
  EXPECT_STREQ(out.secret, secret);
  ScopedEnv header("HTTP_AUTHORIZATION", basic(std::string(id) + ":" + secret));
  unsigned char flag = 0;
  EXPECT_EQ(id_authenticate_client(nullptr, nullptr, nullptr, &flag, nullptr, 0), 0);
  EXPECT_EQ(flag, 1);
}

TEST_F(ClientAuthTest, ParseSplitsAndCutsToTheCapacities) {
  ScopedEnv header("HTTP_AUTHORIZATION", basic("client_x:se:cret"));
  char id[16], secret[16];
  std::memset(id, '#', sizeof id);
  std::memset(secret, '#', sizeof secret);
  ASSERT_EQ(id_parse_basic_auth(id, sizeof id, secret, sizeof secret), 0);
  EXPECT_STREQ(id, "client_x");
  EXPECT_STREQ(secret, "se:cret");

  std::memset(id, '#', sizeof id);
  std::memset(secret, '#', sizeof secret);
  ASSERT_EQ(id_parse_basic_auth(id, 7, secret, 4), 0);
  EXPECT_STREQ(id, "client");
  EXPECT_EQ(id[7], '#');
  EXPECT_STREQ(secret, "se:");
  EXPECT_EQ(secret[4], '#');
  EXPECT_EQ(id_parse_basic_auth(nullptr, 0, nullptr, 0), 0);
}

TEST_F(ClientAuthTest, ParseWithoutCredentialsLeavesOutputsUntouched) {
  for (const char* header : {"", "Basic ", "basic Y2xpZW50Onh4", "Basic Y2xpZW50", "Basic ####",
                             "Digest Y2xpZW50Onh4"}) {
    SCOPED_TRACE(header);
    ScopedEnv env("HTTP_AUTHORIZATION", std::string(header));
    char id[8] = "keep", secret[8] = "keep";
    EXPECT_EQ(id_parse_basic_auth(id, sizeof id, secret, sizeof secret), -1);
    EXPECT_STREQ(id, "keep");
    EXPECT_STREQ(secret, "keep");
  }
}

}  // namespace
