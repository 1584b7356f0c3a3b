// The readers of keys.json: loading the key table, the key listing, the public
// key set and the key lookups. The input is the whole file; the table is
// forgotten before each input, as a fresh process would start.
//
// Inputs that do not parse are skipped: for them the first key operation makes a
// new key and saves it, which tells nothing about the reader and costs a key
// generation per input.
#include <string>

#include "fuzz_support.h"
#include "id_keys.h"
#include "keys_internal.h"

namespace {

void check_listing(const char* text, bool with_keys) {
  if (!text) return;
  FUZZ_CHECK(fuzz::json_of_type(text, YYJSON_TYPE_ARR));
  yyjson_doc* doc = yyjson_read(text, std::strlen(text), 0);
  size_t i, max;
  yyjson_val* el;
  yyjson_arr_foreach(yyjson_doc_get_root(doc), i, max, el) {
    FUZZ_CHECK(yyjson_is_obj(el));
    FUZZ_CHECK(yyjson_is_str(yyjson_obj_get(el, "kid")));
    // Only public parts ever leave: never a private exponent or the stored DER.
    FUZZ_CHECK(yyjson_obj_get(el, "d") == nullptr && yyjson_obj_get(el, "priv_der_b64") == nullptr);
    if (with_keys) FUZZ_CHECK(yyjson_is_str(yyjson_obj_get(el, "n")));
  }
  yyjson_doc_free(doc);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  yyjson_doc* parsed = yyjson_read(reinterpret_cast<const char*>(data), size, 0);
  if (!parsed) return 0;
  yyjson_doc_free(parsed);
  fuzz::write_store("keys.json", data, size);
  zeb::keys_forget();

  int loaded = id_keys_load_or_create();
  FUZZ_CHECK(loaded == 0 || loaded == -1);
  char* list = id_keys_list_json();
  FUZZ_CHECK((list != nullptr) == (loaded == 0));
  check_listing(list, false);
  std::free(list);
  char* jwks = id_keys_jwks_json();
  check_listing(jwks, true);
  std::free(jwks);

  const id_rsa_private_key* sk = nullptr;
  const id_rsa_public_key* pk = nullptr;
  char kid[24];
  std::memset(kid, 0xa5, sizeof kid);
  if (id_keys_get_active(&sk, &pk, kid, sizeof kid) == 0) {
    FUZZ_CHECK(sk && pk && std::memchr(kid, '\0', sizeof kid));
    FUZZ_CHECK(id_keys_find(kid, nullptr, nullptr) == 0);
  }
  for (int i = 0; i < zeb::g_nkeys; ++i) {
    std::string k = zeb::g_keys[i].kid;
    id_keys_find(k.c_str(), &sk, &pk);
  }
  FUZZ_CHECK(id_keys_find("", &sk, &pk) == -1);
  // A parsed file is read, never replaced.
  size_t len = 0;
  char* after = zeb_file_read(fuzz::data_path("keys.json").c_str(), &len, nullptr);
  FUZZ_CHECK(after && len == size && std::memcmp(after, data, size) == 0);
  std::free(after);
  return 0;
}
