// The key store: keys.json, the per-process key table, rotation, pruning, the key
// listing and the public key set.
#include <yyjson.h>

#include <cstdlib>
#include <cstring>

#include "crypto.h"
#include "keys_internal.h"
#include "platform.h"
#include "store.h"
#include "zeb_cgi.h"

namespace zeb {

id_key_entry g_keys[kMaxKeys];
int g_nkeys = 0;
char g_active_kid[24] = "";
int g_store_loaded = 0;

void keys_forget() {
  g_store_loaded = 0;
  g_nkeys = 0;
  g_active_kid[0] = '\0';
}

namespace {

// How often the first creation of keys.json is tried when its save keeps failing.
constexpr int kCreateAttempts = 3;
constexpr size_t kDerTextMax = 4096;  // longest priv_der_b64 text that is read
constexpr size_t kJwksCap = 7232;

const StoreSpec kKeysSpec{kKeysFile, kKeysRetries, YYJSON_TYPE_OBJ, Missing::Empty};

const char* status_text(const id_key_entry& k) { return k.status == kKeyActive ? "active" : "retired"; }

int64_t created_value(yyjson_val* v) {
  if (yyjson_is_int(v)) return yyjson_get_sint(v);
  // A fraction is dropped; a number out of the 64-bit range reads as 0 instead of
  // overflowing the conversion.
  if (yyjson_is_real(v)) {
    double d = yyjson_get_real(v);
    if (d > -9.2e18 && d < 9.2e18) return static_cast<int64_t>(d);
  }
  return 0;
}

// Takes one element of "keys" into *k. False when the element is skipped.
bool take_entry(yyjson_val* el, id_key_entry* k) {
  if (!yyjson_is_obj(el)) return false;
  yyjson_val* kid = yyjson_obj_get(el, "kid");
  yyjson_val* der = yyjson_obj_get(el, "priv_der_b64");
  yyjson_val* alg = yyjson_obj_get(el, "alg");
  if (!yyjson_is_str(kid) || !yyjson_is_str(der)) return false;
  if (yyjson_is_str(alg) && std::strcmp(yyjson_get_str(alg), "RS256") != 0) return false;
  size_t der_text_len = yyjson_get_len(der);
  if (der_text_len == 0 || der_text_len > kDerTextMax) return false;
  std::memset(k, 0, sizeof *k);
  if (zeb_base64url_decode(yyjson_get_str(der), der_text_len, k->der, sizeof k->der, &k->der_len) != 0) {
    return false;
  }
  zeb_strlcpy(k->kid, yyjson_get_str(kid), sizeof k->kid);
  zeb_strlcpy(k->alg, "RS256", sizeof k->alg);
  k->created = created_value(yyjson_obj_get(el, "created"));
  yyjson_val* status = yyjson_obj_get(el, "status");
  k->status = yyjson_is_str(status) && std::strcmp(yyjson_get_str(status), "active") == 0 ? kKeyActive
                                                                                            : kKeyRetired;
  k->has_der = 1;
  return true;
}

// Refills the table from a parsed keys.json. Returns 0, or -1 when no key was taken.
int store_from_doc(yyjson_val* root) {
  g_active_kid[0] = '\0';
  g_nkeys = 0;
  if (!yyjson_is_obj(root)) return -1;
  yyjson_val* active = yyjson_obj_get(root, "active");
  if (yyjson_is_str(active)) zeb_strlcpy(g_active_kid, yyjson_get_str(active), sizeof g_active_kid);
  yyjson_val* keys = yyjson_obj_get(root, "keys");
  if (!yyjson_is_arr(keys)) return -1;
  size_t i, max;
  yyjson_val* el;
  yyjson_arr_foreach(keys, i, max, el) {
    if (g_nkeys == kMaxKeys) break;
    if (take_entry(el, &g_keys[g_nkeys])) ++g_nkeys;
  }
  return g_nkeys > 0 ? 0 : -1;
}

// Refills the table from the document a store cycle read under the lock. An empty
// root means keys.json was missing or unreadable; the table is then left as is.
int store_from_locked_doc(yyjson_mut_val* root) {
  if (yyjson_mut_obj_size(root) == 0) return 0;
  DocPtr copy(yyjson_mut_val_imut_copy(root, nullptr));
  if (!copy) return -1;
  return store_from_doc(yyjson_doc_get_root(copy.get()));
}

// Replaces the contents of root with the whole table. False when any member could
// not be added: such a document lacks keys and must never be saved.
bool store_to_doc(yyjson_mut_doc* doc, yyjson_mut_val* root) {
  if (!yyjson_mut_obj_clear(root) || !yyjson_mut_obj_add_strcpy(doc, root, "active", g_active_kid)) {
    return false;
  }
  yyjson_mut_val* keys = yyjson_mut_obj_add_arr(doc, root, "keys");
  if (!keys) return false;
  char der_text[(kDerMax + 2) / 3 * 4 + 1];
  for (int i = 0; i < g_nkeys; ++i) {
    const id_key_entry& k = g_keys[i];
    yyjson_mut_val* obj = yyjson_mut_arr_add_obj(doc, keys);
    if (!obj || zeb_base64url_encode(k.der, k.der_len, der_text, sizeof der_text) < 0 ||
        !yyjson_mut_obj_add_strcpy(doc, obj, "kid", k.kid) ||
        !yyjson_mut_obj_add_int(doc, obj, "created", k.created) ||
        !yyjson_mut_obj_add_strcpy(doc, obj, "alg", k.alg) ||
        !yyjson_mut_obj_add_strcpy(doc, obj, "priv_der_b64", der_text) ||
        !yyjson_mut_obj_add_str(doc, obj, "status", status_text(k))) {
      return false;
    }
  }
  return true;
}

// Creates keys.json with one new key under its lock, unless another process made
// it meanwhile, in which case the table is taken from that file.
int create_store() {
  bool generated = false;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    bool failed = false;
    StoreResult rc = store_update(kKeysSpec, [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
      if (yyjson_mut_obj_size(root) != 0) {
        failed = store_from_locked_doc(root) != 0;
        return Change::Discard;
      }
      // A failed save leaves the key generated for it in the table; reuse it.
      if (!generated) {
        keys_forget();
        if (id_key_generate(&g_keys[0]) != 0) {
          failed = true;
          return Change::Discard;
        }
        generated = true;
      }
      g_nkeys = 1;
      zeb_strlcpy(g_active_kid, g_keys[0].kid, sizeof g_active_kid);
      if (!store_to_doc(doc, root)) {
        failed = true;
        return Change::Discard;
      }
      return Change::Save;
    });
    if (rc == StoreResult::Done && !failed) {
      g_store_loaded = 1;
      return 0;
    }
    // Only a failed save is worth another try: the file may exist by then.
    if (rc != StoreResult::SaveFailed) break;
  }
  keys_forget();
  return -1;
}

// One changing cycle of rotation or pruning on the table as keys.json has it under
// the lock. change() edits the table and says whether to save; it returns -1 to
// fail, 0 to leave the file alone, 1 to save. On any failure the table is forgotten
// so that the process reads keys.json, which is left as it was, again.
template <class Edit>
int change_store(Edit change) {
  if (id_keys_load_or_create() != 0) return -1;
  bool failed = false;
  StoreResult rc = store_update(kKeysSpec, [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    int what = store_from_locked_doc(root) == 0 ? change() : -1;
    if (what == 1 && !store_to_doc(doc, root)) what = -1;
    failed = what < 0;
    return what == 1 ? Change::Save : Change::Discard;
  });
  if (rc != StoreResult::Done || failed) {
    keys_forget();
    return -1;
  }
  return 0;
}

id_key_entry* find_entry(const char* kid) {
  if (kid == nullptr || kid[0] == '\0') return nullptr;
  for (int i = 0; i < g_nkeys; ++i) {
    if (std::strcmp(g_keys[i].kid, kid) == 0) return &g_keys[i];
  }
  return nullptr;
}

// The copies an operation hands out, valid until it is called again.
struct Handout {
  id_rsa_private_key sk;
  id_rsa_public_key pk;
};

int hand_out(id_key_entry* k, Handout* h, const id_rsa_private_key** sk,
             const id_rsa_public_key** pk) {
  if (k == nullptr || id_key_decode(k) != 0) return -1;
  h->sk.key = *br_skey_decoder_get_rsa(&k->decoder);
  h->pk.key = br_rsa_public_key{k->n, k->n_len, k->e, k->e_len};
  if (sk) *sk = &h->sk;
  if (pk) *pk = &h->pk;
  return 0;
}

Handout g_active_out;
Handout g_find_out;

}  // namespace
}  // namespace zeb

using namespace zeb;

extern "C" int id_keys_load_or_create(void) {
  if (g_store_loaded) return 0;
  // Files are only ever replaced whole, so a lock-free read sees a complete
  // keys.json; the lock is needed only to create one.
  if (DocPtr doc = store_read(kKeysFile)) {
    if (store_from_doc(yyjson_doc_get_root(doc.get())) != 0) {
      keys_forget();
      return -1;
    }
    g_store_loaded = 1;
    return 0;
  }
  return create_store();
}

extern "C" int id_keys_get_active(const id_rsa_private_key** sk, const id_rsa_public_key** pk,
                                  char* kid, size_t kid_cap) {
  if (id_keys_load_or_create() != 0) return -1;
  id_key_entry* k = find_entry(g_active_kid);
  if (k == nullptr || k->status != kKeyActive || hand_out(k, &g_active_out, sk, pk) != 0) return -1;
  if (kid && kid_cap) zeb_strlcpy(kid, k->kid, kid_cap);
  return 0;
}

extern "C" int id_keys_find(const char* kid, const id_rsa_private_key** sk,
                            const id_rsa_public_key** pk) {
  if (id_keys_load_or_create() != 0) return -1;
  return hand_out(find_entry(kid), &g_find_out, sk, pk);
}

extern "C" char* id_keys_jwks_json(void) {
  if (id_keys_load_or_create() != 0) return nullptr;
  char* out = static_cast<char*>(std::malloc(kJwksCap));
  if (!out) return nullptr;
  size_t len = 0;
  out[len++] = '[';
  const char* sep = "";
  for (int i = 0; i < g_nkeys; ++i) {
    id_key_entry& k = g_keys[i];
    if (id_key_decode(&k) != 0) continue;
    size_t lead = 0;
    while (lead + 1 < k.n_len && k.n[lead] == 0) ++lead;
    char n_text[448];
    char e_text[32];
    if (zeb_base64url_encode(k.n + lead, k.n_len - lead, n_text, sizeof n_text) < 0 ||
        zeb_base64url_encode(k.e, k.e_len, e_text, sizeof e_text) < 0) {
      continue;
    }
    int w = zeb_snprintf(out + len, kJwksCap - len,
                         "%s{\"kty\":\"RSA\",\"use\":\"sig\",\"alg\":\"RS256\",\"kid\":\"%s\","
                         "\"n\":\"%s\",\"e\":\"%s\"}",
                         sep, k.kid, n_text, e_text);
    if (w < 0 || static_cast<size_t>(w) >= kJwksCap - len) {
      std::free(out);
      return nullptr;
    }
    len += static_cast<size_t>(w);
    sep = ",";
  }
  if (len + 2 > kJwksCap) {
    std::free(out);
    return nullptr;
  }
  out[len++] = ']';
  out[len] = '\0';
  return out;
}

extern "C" char* id_keys_list_json(void) {
  if (id_keys_load_or_create() != 0) return nullptr;
  // Built with the JSON writer rather than printf: identifiers that never decode
  // come from the file as they are and may need escaping.
  MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* arr = doc ? yyjson_mut_arr(doc.get()) : nullptr;
  if (!arr) return nullptr;
  yyjson_mut_doc_set_root(doc.get(), arr);
  for (int i = 0; i < g_nkeys; ++i) {
    const id_key_entry& k = g_keys[i];
    yyjson_mut_val* obj = yyjson_mut_arr_add_obj(doc.get(), arr);
    if (!obj || !yyjson_mut_obj_add_strcpy(doc.get(), obj, "kid", k.kid) ||
        !yyjson_mut_obj_add_int(doc.get(), obj, "created", k.created) ||
        !yyjson_mut_obj_add_str(doc.get(), obj, "alg", "RS256") ||
        !yyjson_mut_obj_add_str(doc.get(), obj, "status", status_text(k))) {
      return nullptr;
    }
  }
  return yyjson_mut_write(doc.get(), YYJSON_WRITE_NOFLAG, nullptr);
}

extern "C" int id_keys_rotate(void) {
  return change_store([]() -> int {
    if (g_nkeys >= kMaxKeys) return -1;
    if (id_key_entry* old = find_entry(g_active_kid)) old->status = kKeyRetired;
    if (id_key_generate(&g_keys[g_nkeys]) != 0) return -1;
    zeb_strlcpy(g_active_kid, g_keys[g_nkeys].kid, sizeof g_active_kid);
    ++g_nkeys;
    return 1;
  });
}

extern "C" int id_keys_prune(int32_t days) {
  int removed = 0;
  int rc = change_store([&]() -> int {
    int64_t cutoff = zeb_time_now() - static_cast<int64_t>(days) * 86400;
    int kept = 0;
    for (int i = 0; i < g_nkeys; ++i) {
      const id_key_entry& k = g_keys[i];
      if (k.status == kKeyRetired && k.created < cutoff && std::strcmp(k.kid, g_active_kid) != 0) {
        ++removed;
        continue;
      }
      if (kept != i) {
        g_keys[kept] = k;
        g_keys[kept].decoded = 0;  // its decoded key pointed into the old place
      }
      ++kept;
    }
    g_nkeys = kept;
    return removed > 0 ? 1 : 0;
  });
  return rc != 0 ? -1 : removed;
}
