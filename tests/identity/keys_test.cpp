#include "id_keys.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "identity_common.h"
#include "keys_fixture.h"

namespace {

using keys_test::b64url_decode;
using keys_test::FixedClock;
using keys_test::keys_json;
using keys_test::KeysTest;
using keys_test::pool_key;
using keys_test::stored;
using keys_test::StoredKey;

std::string take(char* text) {
  std::string s = text ? text : "(null)";
  std::free(text);
  return s;
}

std::string active_kid() {
  char kid[24] = "";
  return id_keys_get_active(nullptr, nullptr, kid, sizeof kid) == 0 ? kid : "(none)";
}

// The kids of a JSON array of key objects, "(null)" when it does not parse.
std::vector<std::string> kids_of(const std::string& json, const char* member = "kid") {
  std::vector<std::string> out;
  yyjson_doc* doc = yyjson_read(json.data(), json.size(), 0);
  if (!doc) return {"(null)"};
  yyjson_val* root = yyjson_doc_get_root(doc);
  if (yyjson_is_obj(root)) root = yyjson_obj_get(root, "keys");
  size_t i, max;
  yyjson_val* el;
  yyjson_arr_foreach(root, i, max, el) {
    const char* s = yyjson_get_str(yyjson_obj_get(el, member));
    out.push_back(s ? s : "");
  }
  yyjson_doc_free(doc);
  return out;
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

bool has_file_starting(const std::string& dir, const std::string& prefix) {
  for (const std::string& n : files_in(dir)) {
    if (n.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// The modulus a key operation hands out, as text, for comparing keys.
std::string modulus_of_found(const char* kid) {
  const id_rsa_public_key* pk = nullptr;
  if (id_keys_find(kid, nullptr, &pk) != 0) return "(none)";
  return std::string(reinterpret_cast<const char*>(pk->key.n), pk->key.nlen);
}
std::string modulus(const id_key_entry& k) {
  return std::string(reinterpret_cast<const char*>(k.n), k.n_len);
}

TEST_F(KeysTest, FirstUseCreatesTheStoreAndLoadsItOncePerProcess) {
  std::string kid = active_kid();
  ASSERT_EQ(kid.size(), 16u);

  std::string file = read_keys();
  yyjson_doc* doc = yyjson_read(file.data(), file.size(), 0);
  ASSERT_TRUE(doc);
  yyjson_val* root = yyjson_doc_get_root(doc);
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(root, "active")), kid.c_str());
  yyjson_val* keys = yyjson_obj_get(root, "keys");
  ASSERT_EQ(yyjson_arr_size(keys), 1u);
  yyjson_val* k = yyjson_arr_get_first(keys);
  std::vector<std::string> names;
  size_t i, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(k, i, max, key, val) names.push_back(yyjson_get_str(key));
  EXPECT_EQ(names, (std::vector<std::string>{"kid", "created", "alg", "priv_der_b64", "status"}));
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(k, "kid")), kid.c_str());
  EXPECT_NEAR(yyjson_get_sint(yyjson_obj_get(k, "created")), zeb_time_now(), 5);
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(k, "alg")), "RS256");
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(k, "status")), "active");
  std::string der = b64url_decode(yyjson_get_str(yyjson_obj_get(k, "priv_der_b64")));
  yyjson_doc_free(doc);
  EXPECT_EQ(file.substr(0, 16), "{\n    \"active\": ") << "stores are pretty-printed";

  // The saved DER is the key in use: it decodes and proves the saved kid.
  id_key_entry reloaded{};
  std::strcpy(reloaded.kid, kid.c_str());
  std::memcpy(reloaded.der, der.data(), der.size());
  reloaded.der_len = der.size();
  reloaded.has_der = 1;
  ASSERT_EQ(id_key_decode(&reloaded), 0);
  EXPECT_EQ(modulus(reloaded), modulus_of_found(kid.c_str()));

  // Another store appears: this process keeps its table until it loads again.
  write_keys(keys_json(pool_key(0).kid, {stored(pool_key(0), "active")}));
  EXPECT_EQ(active_kid(), kid);
  zeb::keys_forget();
  EXPECT_EQ(active_kid(), pool_key(0).kid);
}

TEST_F(KeysTest, SevenRotationsFillTheTableAndTheEighthIsRefused) {
  std::vector<std::string> kids{active_kid()};
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(id_keys_rotate(), 0) << i;
    kids.push_back(active_kid());
    EXPECT_NE(kids.back(), kids[kids.size() - 2]);
  }
  std::string file = read_keys();
  EXPECT_EQ(kids_of(file), kids);
  std::vector<std::string> statuses(7, "retired");
  statuses.push_back("active");
  EXPECT_EQ(kids_of(file, "status"), statuses);

  // Every key is published, retired ones too, with a 256-byte n and e = 65537.
  std::string jwks = take(id_keys_jwks_json());
  EXPECT_EQ(kids_of(jwks), kids);
  EXPECT_EQ(kids_of(jwks, "kty"), std::vector<std::string>(8, "RSA"));
  EXPECT_EQ(kids_of(jwks, "e"), std::vector<std::string>(8, "AQAB"));
  for (const std::string& n : kids_of(jwks, "n")) EXPECT_EQ(n.size(), 342u);
  EXPECT_EQ(jwks.rfind("[{\"kty\":\"RSA\",\"use\":\"sig\",\"alg\":\"RS256\",\"kid\":\"" + kids[0] + "\",\"n\":\"", 0),
            0u);

  // The listing names every key in table order.
  std::string list = take(id_keys_list_json());
  EXPECT_EQ(kids_of(list), kids);
  EXPECT_EQ(list.find("{\"kid\":\"" + kids[0] + "\",\"created\":"), 1u);
  EXPECT_NE(list.find(",\"alg\":\"RS256\",\"status\":\"active\"}]"), std::string::npos);

  EXPECT_EQ(id_keys_rotate(), -1);
  EXPECT_EQ(read_keys(), file);
  EXPECT_EQ(active_kid(), kids.back());
  for (const std::string& kid : kids) EXPECT_NE(modulus_of_found(kid.c_str()), "(none)") << kid;
}

TEST_F(KeysTest, PruningRemovesOldRetiredKeysOnly) {
  const int64_t now = 1800000000;
  FixedClock clock(now);
  const id_key_entry &a = pool_key(0), &b = pool_key(1), &c = pool_key(2);
  write_keys(keys_json(c.kid, {stored(a, "retired", now - 86400 - 1), stored(c, "active", 1000),
                               stored(b, "retired", now)}));
  std::string before = read_keys();
  // Nothing is old enough: no write is even tried.
  g_platform.rename = fail_rename;
  EXPECT_EQ(id_keys_prune(2), 0);
  g_platform.rename = zeb_platform_default.rename;
  EXPECT_EQ(read_keys(), before);
  EXPECT_EQ(id_keys_prune(1), 1);
  EXPECT_EQ(kids_of(read_keys()), (std::vector<std::string>{c.kid, b.kid}));
  // The keys that moved up are decoded again in their new place.
  EXPECT_EQ(modulus_of_found(c.kid), modulus(c));
  EXPECT_EQ(modulus_of_found(b.kid), modulus(b));
  EXPECT_EQ(modulus_of_found(a.kid), "(none)");

  // Zero days removes what was created before the current second, never the
  // active key however old.
  EXPECT_EQ(id_keys_prune(0), 0);
  keys_test::g_fixed_now = now + 1;
  EXPECT_EQ(id_keys_prune(0), 1);
  EXPECT_EQ(kids_of(read_keys()), (std::vector<std::string>{c.kid}));
  EXPECT_EQ(active_kid(), c.kid);
}

// Entries that are odd in one way each: only usable keys sign, verify or are
// published; every entry that is taken is listed.
TEST_F(KeysTest, OddEntriesAreSkippedOrNeverUsed) {
  const id_key_entry &a = pool_key(0), &b = pool_key(1), &c = pool_key(2);
  StoredKey changed = stored(a);
  changed.kid[5] = changed.kid[5] == 'x' ? 'y' : 'x';
  StoredKey hs256 = stored(a);
  hs256.alg = "HS256";
  StoredKey no_alg = stored(b, "Active");
  no_alg.alg = "";
  std::string text = keys_json(c.kid, {changed, hs256, no_alg, stored(c, "active")});
  text.insert(text.find("\"keys\":[") + 8,
              "7,\"x\",{\"kid\":\"nokey\"},{\"priv_der_b64\":\"AAAA\"},"
              "{\"kid\":5,\"priv_der_b64\":\"AAAA\"},{\"kid\":\"empty\",\"priv_der_b64\":\"\"},"
              "{\"kid\":\"bad\",\"priv_der_b64\":\"AA%%\"},"
              "{\"kid\":\"long\",\"priv_der_b64\":\"" + std::string(4097, 'A') + "\"},");
  write_keys(text);

  std::string list = take(id_keys_list_json());
  EXPECT_EQ(kids_of(list), (std::vector<std::string>{changed.kid, b.kid, c.kid}));
  EXPECT_EQ(kids_of(list, "status"), (std::vector<std::string>{"retired", "retired", "active"}));
  EXPECT_EQ(kids_of(take(id_keys_jwks_json())), (std::vector<std::string>{b.kid, c.kid}));
  EXPECT_EQ(modulus_of_found(changed.kid.c_str()), "(none)");
  EXPECT_EQ(modulus_of_found(a.kid), "(none)");
  EXPECT_EQ(modulus_of_found(b.kid), modulus(b));
  EXPECT_EQ(active_kid(), c.kid);
  EXPECT_EQ(modulus_of_found(""), "(none)");
  EXPECT_EQ(modulus_of_found(nullptr), "(none)");
}

TEST_F(KeysTest, ActiveKeyMustExistBeActiveAndDecode) {
  const id_key_entry &a = pool_key(0), &b = pool_key(1);
  StoredKey changed = stored(b, "active");
  changed.kid[0] = changed.kid[0] == 'x' ? 'y' : 'x';
  struct Case {
    const char* name;
    std::string file;
  } cases[] = {
      {"names no key", keys_json("nope", {stored(a, "active")})},
      {"empty", keys_json("", {stored(a, "active")})},
      {"names a retired key", keys_json(a.kid, {stored(a, "retired")})},
      {"does not decode", keys_json(changed.kid, {stored(a), changed})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zeb::keys_forget();
    write_keys(c.file);
    EXPECT_EQ(id_keys_load_or_create(), 0);
    EXPECT_EQ(active_kid(), "(none)");
    char buf[512] = "";
    EXPECT_EQ(id_jwt_sign_rs256("{}", buf, sizeof buf), -1);
    EXPECT_EQ(modulus_of_found(a.kid), modulus(a)) << "other keys still verify";
  }
}

TEST_F(KeysTest, TenKeysLoadEightAndSavesKeepThoseEight) {
  const id_key_entry& a = pool_key(0);
  std::vector<StoredKey> keys{stored(a, "active")};
  std::vector<std::string> listed{a.kid};
  for (int i = 1; i < 10; ++i) {
    StoredKey k = stored(pool_key(i % 3), "retired", 1000 + i);
    k.kid = "k" + std::to_string(i);
    keys.push_back(k);
    if (i < 8) listed.push_back(k.kid);
  }
  write_keys(keys_json(a.kid, keys));
  EXPECT_EQ(kids_of(take(id_keys_list_json())), listed);
  EXPECT_EQ(kids_of(take(id_keys_jwks_json())), (std::vector<std::string>{a.kid}));
  EXPECT_EQ(id_keys_rotate(), -1) << "the table is full";
  EXPECT_EQ(id_keys_prune(0), 7);
  EXPECT_EQ(kids_of(read_keys()), (std::vector<std::string>{a.kid}));
}

// A keys.json that parses but yields no key fails every operation and is never
// replaced, so a mistake in it cannot cost the keys it still holds elsewhere.
TEST_F(KeysTest, StoresWithoutKeysFailAndStayAsTheyAre) {
  const char* files[] = {"{}", "[]", "\"keys\"", "{\"keys\":[]}", "{\"keys\":{}}",
                         "{\"active\":\"x\",\"keys\":[1,\"a\",{\"kid\":\"x\"}]}"};
  for (const char* text : files) {
    SCOPED_TRACE(text);
    zeb::keys_forget();
    write_keys(text);
    EXPECT_EQ(id_keys_load_or_create(), -1);
    EXPECT_EQ(active_kid(), "(none)");
    EXPECT_EQ(take(id_keys_jwks_json()), "(null)");
    EXPECT_EQ(take(id_keys_list_json()), "(null)");
    EXPECT_EQ(id_keys_rotate(), -1);
    EXPECT_EQ(id_keys_prune(0), -1);
    EXPECT_EQ(read_keys(), text);
  }
}

TEST_F(KeysTest, UnparsableStoreIsKeptAsideAndReplacedByANewKey) {
  write_keys("{\"active\": \"x\", \"keys\": [");
  std::string kid = active_kid();
  EXPECT_EQ(kid.size(), 16u);
  EXPECT_EQ(kids_of(read_keys()), (std::vector<std::string>{kid}));
  EXPECT_TRUE(has_file_starting(dir.data_dir(), "keys.json.corrupt-"));
}

int g_renames = 0;
int failing_renames = 0;  // how many renames fail before they work again
int counted_rename(const char* from, const char* to) {
  ++g_renames;
  if (failing_renames > 0) {
    --failing_renames;
    return fail_rename(from, to);
  }
  return zeb_platform_default.rename(from, to);
}

TEST_F(KeysTest, FirstCreationRetriesAFailedSaveABoundedNumberOfTimes) {
  PlatformFault fault;
  fault.ops().rename = counted_rename;
  g_renames = 0;
  failing_renames = 1000;
  EXPECT_EQ(id_keys_load_or_create(), -1);
  EXPECT_EQ(g_renames, 3);
  EXPECT_EQ(files_in(dir.data_dir()), (std::vector<std::string>{"keys.json.lock"}));

  g_renames = 0;
  failing_renames = 1;
  EXPECT_EQ(id_keys_load_or_create(), 0);
  EXPECT_EQ(g_renames, 2);
  EXPECT_EQ(kids_of(read_keys()), (std::vector<std::string>{active_kid()}));
}

TEST_F(KeysTest, FailedRotationOrPruningLeavesTheStoreAndTheTableAsTheyWere) {
  const id_key_entry &a = pool_key(0), &b = pool_key(1);
  write_keys(keys_json(b.kid, {stored(a, "retired", 1000), stored(b, "active")}));
  std::string before = read_keys();
  {
    PlatformFault fault;
    fault.ops().rename = fail_rename;
    EXPECT_EQ(id_keys_rotate(), -1);
    EXPECT_EQ(id_keys_prune(0), -1);
  }
  EXPECT_EQ(read_keys(), before);
  EXPECT_FALSE(TempDataDir::exists(dir.path("keys.json.tmp")));
  EXPECT_EQ(active_kid(), b.kid);
  EXPECT_EQ(modulus_of_found(a.kid), modulus(a));
}

// Two processes that find no keys.json at the same moment end with one key: the
// second to get the lock takes the key the first saved.
TEST_F(KeysTest, ProcessesStartingTogetherShareTheFirstKey) {
  std::vector<std::string> kids = keys_test::race_behind_lock("keys.json", 2, active_kid, dir.root());
  ASSERT_EQ(kids.size(), 2u);
  EXPECT_EQ(kids[0].size(), 16u);
  EXPECT_EQ(kids[1], kids[0]);
  EXPECT_EQ(kids_of(read_keys()), (std::vector<std::string>{kids[0]}));
}

}  // namespace
