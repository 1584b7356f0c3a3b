// The public key set program, run as the web server runs it: an explicit
// environment and the exact bytes of its answer.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../identity/keys_fixture.h"
#include "id_keys.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using keys_test::b64url;
using keys_test::keys_json;
using keys_test::pool_key;
using keys_test::stored;

const std::string kHead =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: public, max-age=300\r\n"
    "X-Content-Type-Options: nosniff\r\n\r\n";

std::string error_answer(int status, const std::string& message, const std::string& before = "") {
  return before + "Status: " + std::to_string(status) +
         "\r\nContent-Type: application/json; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n\r\n"
         "{\"ok\":false,\"error\":\"" + message + "\"}\n";
}

// kid and n of every key in the body's "keys"; {"(unparsable)"} when the body is
// not such a document.
std::vector<std::string> kid_and_n(const std::string& body) {
  std::vector<std::string> out;
  yyjson_doc* doc = yyjson_read(body.data(), body.size(), 0);
  yyjson_val* keys = yyjson_obj_get(yyjson_doc_get_root(doc), "keys");
  if (!yyjson_is_arr(keys)) {
    yyjson_doc_free(doc);
    return {"(unparsable)"};
  }
  size_t i, max;
  yyjson_val* k;
  yyjson_arr_foreach(keys, i, max, k) {
    const char* kid = yyjson_get_str(yyjson_obj_get(k, "kid"));
    const char* n = yyjson_get_str(yyjson_obj_get(k, "n"));
    out.push_back(std::string(kid ? kid : "?") + " " + (n ? n : "?"));
  }
  yyjson_doc_free(doc);
  return out;
}

std::string kid_and_n(const id_key_entry& k) {
  size_t lead = 0;
  while (lead + 1 < k.n_len && k.n[lead] == 0) ++lead;
  return std::string(k.kid) + " " + b64url(k.n + lead, k.n_len - lead);
}

class JwksTest : public TempDataDirTest {
 protected:
  void SetUp() override { zeb::keys_forget(); }
  void TearDown() override { zeb::keys_forget(); }

  ProgramResult run(const std::string& method, const std::string& data_dir = "") {
    std::vector<std::string> env = {"IDENTITY_DATA_DIR=" + (data_dir.empty() ? dir.data_dir() : data_dir)};
    if (!method.empty()) env.push_back("REQUEST_METHOD=" + method);
    ProgramResult r = run_program(ZEB_PROGRAM, env, "", dir.root());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r;
  }

  // An active key, a retired one and one whose DER does not decode.
  void write_three_keys() {
    keys_test::StoredKey broken{"brokenkid", "not a key"};
    TempDataDir::write_file(dir.path("keys.json"),
                            keys_json(pool_key(0).kid, {stored(pool_key(0), "active"), broken,
                                                        stored(pool_key(1), "retired")}));
  }
};

TEST_F(JwksTest, PublishesEveryUsableKeyUnderKeys) {
  write_three_keys();
  std::string keys_file = TempDataDir::read_file(dir.path("keys.json"));
  std::unique_ptr<char, decltype(&std::free)> core(id_keys_jwks_json(), &std::free);
  ASSERT_TRUE(core);
  std::string body = "{\"keys\":" + std::string(core.get()) + "}\n";
  for (const char* method : {"GET", ""}) {  // no REQUEST_METHOD is a GET
    SCOPED_TRACE(method);
    EXPECT_EQ(run(method).out, kHead + body);
  }
  EXPECT_EQ(kid_and_n(body), (std::vector<std::string>{kid_and_n(pool_key(0)), kid_and_n(pool_key(1))}));
  EXPECT_EQ(run("HEAD").out, kHead);
  EXPECT_EQ(TempDataDir::read_file(dir.path("keys.json")), keys_file);
}

TEST_F(JwksTest, FirstRequestCreatesTheKeyItPublishes) {
  std::string first = run("GET").out;
  ASSERT_EQ(first.rfind(kHead, 0), 0u) << first;
  std::vector<std::string> published = kid_and_n(first.substr(kHead.size()));
  ASSERT_EQ(published.size(), 1u) << first;
  char kid[24] = "";
  ASSERT_EQ(id_keys_get_active(nullptr, nullptr, kid, sizeof kid), 0);
  EXPECT_EQ(published[0].substr(0, published[0].find(' ')), kid);
  EXPECT_EQ(run("GET").out, first);
}

TEST_F(JwksTest, OtherMethodsAreRefusedBeforeAnyKeyIsTouched) {
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "get", "HEADX"}) {
    SCOPED_TRACE(method);
    EXPECT_EQ(run(method).out, error_answer(405, "method not allowed", "Allow: GET, HEAD\r\n"));
  }
  EXPECT_FALSE(TempDataDir::exists(dir.path("keys.json")));
}

TEST_F(JwksTest, KeysThatCannotBeLoadedAnswer500) {
  // Valid JSON without a usable key is left as it is, and so is a data directory
  // that is a file, where no keys.json can be made.
  const std::string unusable = "{\"active\":\"\",\"keys\":[]}";
  TempDataDir::write_file(dir.path("keys.json"), unusable);
  TempDataDir::write_file(dir.root() + "/plain-file", "x");
  for (const std::string& data_dir : {dir.data_dir(), dir.root() + "/plain-file"}) {
    SCOPED_TRACE(data_dir);
    EXPECT_EQ(run("GET", data_dir).out, error_answer(500, "signing keys unavailable"));
  }
  EXPECT_EQ(TempDataDir::read_file(dir.path("keys.json")), unusable);
}

}  // namespace
