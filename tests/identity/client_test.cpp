#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fault.h"
#include "identity_common.h"
#include "temp_dir.h"

namespace {

class ClientTest : public TempDataDirTest {
 protected:
  std::string clients_path() const { return dir.path("clients.json"); }
  std::string read_clients() const { return TempDataDir::read_file(clients_path()); }
  void write_clients(const std::string& json) const {
    TempDataDir::write_file(clients_path(), json);
  }

  struct Created {
    int rc;
    std::string id, secret;
  };
  Created create(const char* name, const char* uri, const char* scopes, bool is_public) {
    char id[64], secret[64];
    std::strcpy(id, "untouched");
    std::strcpy(secret, "untouched");
    int rc = id_client_create(name, uri, scopes, id, sizeof id, secret, sizeof secret, is_public,
                              nullptr, 0);
    return {rc, id, secret};
  }
};

std::string take(char* text) {
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return text ? text : "(null)";
}

// The member names of the object at position i of the JSON array in text.
std::vector<std::string> member_names(const std::string& text, size_t i) {
  std::vector<std::string> names;
  yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
  yyjson_val* obj = yyjson_arr_get(yyjson_doc_get_root(doc), i);
  size_t idx, max;
  yyjson_val *k, *v;
  yyjson_obj_foreach(obj, idx, max, k, v) names.emplace_back(yyjson_get_str(k));
  yyjson_doc_free(doc);
  return names;
}

bool is_base64url(const std::string& s) {
  return s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
         std::string::npos;
}

TEST_F(ClientTest, ConfidentialClientIsStoredAndFound) {
  Created c = create("Shop", "https://shop.example/cb", "openid email", false);
  ASSERT_EQ(c.rc, 0);
  ASSERT_EQ(c.id.size(), 18u);
  EXPECT_EQ(c.id.rfind("client_", 0), 0u);
  EXPECT_TRUE(is_base64url(c.id.substr(7)));
  ASSERT_EQ(c.secret.size(), 26u);
  EXPECT_EQ(c.secret.rfind("sec_", 0), 0u);
  EXPECT_TRUE(is_base64url(c.secret.substr(4)));

  EXPECT_EQ(member_names(read_clients(), 0),
            (std::vector<std::string>{"client_id", "name", "secret", "scopes", "redirect_uris"}));

  id_client rec;
  std::memset(&rec, 0x5A, sizeof rec);
  ASSERT_TRUE(id_client_find_by_id(c.id.c_str(), &rec));
  EXPECT_STREQ(rec.client_id, c.id.c_str());
  EXPECT_STREQ(rec.name, "Shop");
  EXPECT_STREQ(rec.secret, c.secret.c_str());
  EXPECT_STREQ(rec.scopes, "openid email");
  EXPECT_FALSE(rec.is_public);
  ASSERT_EQ(rec.redirect_uri_count, 1);
  EXPECT_STREQ(rec.redirect_uris[0], "https://shop.example/cb");
  EXPECT_STREQ(rec.redirect_uris[1], "");  // zeroed before filling
  EXPECT_TRUE(id_client_verify_secret(&rec, c.secret.c_str()));
  EXPECT_TRUE(id_client_find_by_id(c.id.c_str(), nullptr));
}

TEST_F(ClientTest, PublicClientHasNoSecretAndDefaultScopes) {
  for (const char* scopes : {static_cast<const char*>(nullptr), ""}) {
    Created c = create("App", "http://localhost:3000/", scopes, true);
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(c.secret, "");
    id_client rec;
    ASSERT_TRUE(id_client_find_by_id(c.id.c_str(), &rec));
    EXPECT_TRUE(rec.is_public);
    EXPECT_STREQ(rec.secret, "");
    EXPECT_STREQ(rec.scopes, "openid profile");
  }
  std::string file = read_clients();
  EXPECT_EQ(member_names(file, 0),
            (std::vector<std::string>{"client_id", "name", "public", "scopes", "redirect_uris"}));
  EXPECT_NE(file.find("\"public\": true"), std::string::npos);
  EXPECT_EQ(file.find("\"secret\""), std::string::npos);
}

TEST_F(ClientTest, NewClientsAreAppendedWithFreshIds) {
  Created a = create("A", "https://a/", nullptr, false);
  Created b = create("B", "https://b/", nullptr, false);
  ASSERT_EQ(a.rc, 0);
  ASSERT_EQ(b.rc, 0);
  EXPECT_NE(a.id, b.id);
  EXPECT_NE(a.secret, b.secret);
  std::string file = read_clients();
  EXPECT_LT(file.find(a.id), file.find(b.id));
  EXPECT_TRUE(id_client_find_by_id(a.id.c_str(), nullptr));
}

TEST_F(ClientTest, RefusedCreationsWriteNothing) {
  struct {
    const char* name;
    const char* uri;
    int rc;
    const char* msg;
  } cases[] = {
      {nullptr, "https://a/", -1, "missing name or redirect_uri"},
      {"", "https://a/", -1, "missing name or redirect_uri"},
      {"A", nullptr, -1, "missing name or redirect_uri"},
      {"A", "", -1, "missing name or redirect_uri"},
      {"A", "ftp://x", -3, "redirect_uri must be an absolute http:// or https:// URL"},
      {"A", "https://a/#top", -3, "redirect_uri must not contain a fragment (#...)"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.name ? k.name : "(null)") + " " + (k.uri ? k.uri : "(null)"));
    char id[32] = "untouched", msg[96];
    std::memset(msg, 'x', sizeof msg);
    EXPECT_EQ(id_client_create(k.name, k.uri, nullptr, id, sizeof id, nullptr, 0, false, msg,
                               sizeof msg),
              k.rc);
    EXPECT_STREQ(msg, k.msg);
    EXPECT_STREQ(id, "untouched");
    EXPECT_FALSE(TempDataDir::exists(clients_path()));
  }
}

TEST_F(ClientTest, FailuresOfRandomSourceOrSaveLeaveStoreAndOutputsAlone) {
  ASSERT_EQ(create("Old", "https://old/", nullptr, false).rc, 0);
  const std::string before = read_clients();
  for (bool fail_random : {true, false}) {
    SCOPED_TRACE(fail_random ? "getrandom fails" : "rename fails");
    PlatformFault fault;
    if (fail_random) {
      fault.ops().getrandom = fail_getrandom;
    } else {
      fault.ops().rename = fail_rename;
    }
    char msg[32] = "stale";
    Created c = create("New", "https://new/", nullptr, false);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.id, "untouched");
    EXPECT_EQ(c.secret, "untouched");
    // A store failure clears the message but gives no reason of its own.
    EXPECT_EQ(id_client_create("New", "https://new/", nullptr, nullptr, 0, nullptr, 0, true, msg,
                               sizeof msg),
              -1);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(read_clients(), before);
    EXPECT_FALSE(TempDataDir::exists(clients_path() + ".tmp"));
  }
}

TEST_F(ClientTest, OutputsAreCutToTheirCapacities) {
  char id[8], secret[8];
  std::memset(id, '#', sizeof id);
  std::memset(secret, '#', sizeof secret);
  ASSERT_EQ(id_client_create("A", "https://a/", nullptr, id, 5, secret, 6, false, nullptr, 0), 0);
  EXPECT_STREQ(id, "clie");
  EXPECT_EQ(id[5], '#');
  EXPECT_EQ(std::string(secret).rfind("sec_", 0), 0u);
  EXPECT_EQ(std::strlen(secret), 5u);
  EXPECT_EQ(secret[6], '#');
}

TEST_F(ClientTest, LookupReadsHandWrittenStoresByTheSharedRules) {
  write_clients(R"([
    "not a client",
    {"client_id": 7, "name": "numeric id"},
    {"client_id": "c1", "client_id": "shadow", "name": "first", "name": "second",
     "secret": 5, "public": "true", "scopes": ["x"],
     "redirect_uris": ["https://1/", 2, "https://3/", "https://4/", "https://5/",
                       "https://6/", "https://7/", "https://8/", "https://9/", "https://10/"]},
    {"client_id": "c2", "public": true, "redirect_uris": "https://not-an-array/"},
    {"client_id": "c1", "name": "later duplicate"}
  ])");
  id_client rec;
  ASSERT_TRUE(id_client_find_by_id("c1", &rec));
  EXPECT_STREQ(rec.name, "first");
  EXPECT_STREQ(rec.secret, "");
  EXPECT_STREQ(rec.scopes, "");
  EXPECT_FALSE(rec.is_public);
  ASSERT_EQ(rec.redirect_uri_count, 8);
  EXPECT_STREQ(rec.redirect_uris[1], "");  // a non-string element still takes its slot
  EXPECT_STREQ(rec.redirect_uris[7], "https://8/");
  EXPECT_TRUE(id_client_validate_redirect_uri(&rec, "https://8/"));
  EXPECT_FALSE(id_client_validate_redirect_uri(&rec, "https://9/"));
  EXPECT_FALSE(id_client_validate_redirect_uri(&rec, "https://10/"));
  EXPECT_FALSE(id_client_verify_secret(&rec, "5"));

  ASSERT_TRUE(id_client_find_by_id("c2", &rec));
  EXPECT_TRUE(rec.is_public);
  EXPECT_EQ(rec.redirect_uri_count, 0);

  for (const char* id : {"shadow", "7", "C1", "c", "", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(id ? id : "(null)");
    EXPECT_FALSE(id_client_find_by_id(id, &rec));
  }
}

TEST_F(ClientTest, LookupOfUnusableStoresFindsNothing) {
  EXPECT_FALSE(id_client_find_by_id("c1", nullptr));  // no file
  for (const char* file : {"[]", "{\"client_id\": \"c1\"}", "[{\"client_id\": \"c1\"}", "", "nul"}) {
    SCOPED_TRACE(file);
    write_clients(file);
    EXPECT_FALSE(id_client_find_by_id("c1", nullptr));
  }
}

TEST_F(ClientTest, LongRedirectUriIsCutInTheRecordAndNeverMatches) {
  std::string uri = "https://rp.example/" + std::string(300, 'p');
  Created c = create("Long", uri.c_str(), nullptr, true);
  ASSERT_EQ(c.rc, 0);
  id_client rec;
  ASSERT_TRUE(id_client_find_by_id(c.id.c_str(), &rec));
  EXPECT_EQ(std::strlen(rec.redirect_uris[0]), 255u);
  EXPECT_FALSE(id_client_validate_redirect_uri(&rec, uri.c_str()));
}

TEST(ClientVerifySecret, CaseTable) {
  id_client confidential{};
  std::strcpy(confidential.secret, "sec_abcdefghijklmnopqrstuv");
  id_client pub{};
  pub.is_public = true;
  struct {
    const id_client* client;
    const char* presented;
    bool ok;
  } cases[] = {
      {&confidential, "sec_abcdefghijklmnopqrstuv", true},
      {&confidential, "sec_abcdefghijklmnopqrstuvw", false},
      {&confidential, "sec_abcdefghijklmnopqrstu", false},
      {&confidential, "sec_abcdefghijklmnopqrstuV", false},
      {&confidential, "Sec_abcdefghijklmnopqrstuv", false},
      {&confidential, "", false},
      {&confidential, nullptr, false},
      {&pub, "", false},
      {&pub, "anything", false},
      {nullptr, "sec_abcdefghijklmnopqrstuv", false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.client == &pub ? "public " : "") +
                 (k.presented ? k.presented : "(null)"));
    EXPECT_EQ(id_client_verify_secret(k.client, k.presented), k.ok);
  }
}

TEST_F(ClientTest, DeleteRemovesOnlyTheNamedClient) {
  Created a = create("A", "https://a/", nullptr, false);
  Created b = create("B", "https://b/", nullptr, true);
  ASSERT_EQ(a.rc | b.rc, 0);
  EXPECT_EQ(id_client_delete(a.id.c_str()), 0);
  EXPECT_FALSE(id_client_find_by_id(a.id.c_str(), nullptr));
  EXPECT_TRUE(id_client_find_by_id(b.id.c_str(), nullptr));

  const std::string before = read_clients();
  for (const char* id : {a.id.c_str(), "client_unknown", "", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(id ? id : "(null)");
    EXPECT_EQ(id_client_delete(id), -1);
    EXPECT_EQ(read_clients(), before);
  }
}

TEST_F(ClientTest, DeleteRefusesUnusableStoresWithoutWriting) {
  EXPECT_EQ(id_client_delete("c1"), -1);
  EXPECT_FALSE(TempDataDir::exists(clients_path()));
  for (const char* file : {"{\"client_id\": \"c1\"}", "[{\"client_id\": \"c1\"},"}) {
    SCOPED_TRACE(file);
    write_clients(file);
    EXPECT_EQ(id_client_delete("c1"), -1);
    EXPECT_EQ(read_clients(), file);
  }
}

TEST_F(ClientTest, DeleteTakesTheFirstMatchAndReportsAFailedSave) {
  write_clients(R"([{"client_id": "c1", "name": "one"}, {"client_id": "c1", "name": "two"}])");
  {
    PlatformFault fault;
    fault.ops().rename = fail_rename;
    EXPECT_EQ(id_client_delete("c1"), -1);
  }
  ASSERT_EQ(id_client_delete("c1"), 0);
  id_client rec;
  ASSERT_TRUE(id_client_find_by_id("c1", &rec));
  EXPECT_STREQ(rec.name, "two");
}

TEST_F(ClientTest, ListingMasksSecrets) {
  write_clients(R"([
    {"client_id": "c1", "name": "conf", "secret": "sec_ABCDEFGHIJ", "scopes": "openid"},
    {"client_id": "c2", "name": "pub", "public": true},
    {"client_id": "c3", "secret": "short", "secret": 9},
    {"client_id": "c4", "secret": 42, "public": "no"},
    {"client_id": "c5", "secret": "sec_abc\u00e9x"},
    7
  ])");
  EXPECT_EQ(take(id_client_list_json()),
            R"([{"client_id":"c1","name":"conf","scopes":"openid","secret_prefix":"sec_ABCD","public":false},)"
            R"({"client_id":"c2","name":"pub","public":true,"secret_prefix":""},)"
            R"({"client_id":"c3","secret_prefix":"short","public":false},)"
            R"({"client_id":"c4","secret":42,"public":"no","secret_prefix":""},)"
            R"({"client_id":"c5","secret_prefix":"sec_abc","public":false},)"
            "7]");
}

TEST_F(ClientTest, ListingOfCreatedClientsShowsEightBytePrefix) {
  Created c = create("Conf", "https://c/", nullptr, false);
  ASSERT_EQ(c.rc, 0);
  std::string list = take(id_client_list_json());
  EXPECT_NE(list.find("\"secret_prefix\":\"" + c.secret.substr(0, 8) + "\""), std::string::npos);
  EXPECT_EQ(list.find(c.secret), std::string::npos);
  EXPECT_EQ(list.find("\"secret\""), std::string::npos);
}

TEST_F(ClientTest, ListingOfUnusableStoresIsEmpty) {
  EXPECT_EQ(take(id_client_list_json()), "[]");
  for (const char* file : {"{}", "[1,", "", "\"text\""}) {
    SCOPED_TRACE(file);
    write_clients(file);
    EXPECT_EQ(take(id_client_list_json()), "[]");
  }
}

}  // namespace
