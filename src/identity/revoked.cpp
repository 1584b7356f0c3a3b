// The revocation list of token identifiers, revoked.json: an object whose member
// names are "jti" values and whose values are {"exp", "sub", "client_id"}.
#include <cstring>

#include "platform.h"
#include "store.h"

namespace {

constexpr const char* kRevokedFile = "revoked.json";
constexpr zeb::StoreSpec kRevokedStore{kRevokedFile, zeb::kStoreRetries, YYJSON_TYPE_OBJ,
                                       zeb::Missing::Empty};

// Whether an entry with this "exp" (read by the shared rules) still revokes its
// identifier: an entry without a usable expiry revokes for as long as it is listed,
// so pruning must never drop it either.
bool revokes(int64_t exp, int64_t now) { return exp == 0 || now < exp; }

// The entry with its members in their stored order, texts copied; null when out
// of memory.
yyjson_mut_val* build_entry(yyjson_mut_doc* doc, int64_t exp, const char* sub,
                            const char* client_id) {
  yyjson_mut_val* e = yyjson_mut_obj(doc);
  bool ok = e && yyjson_mut_obj_add_sint(doc, e, "exp", exp) &&
            yyjson_mut_obj_add_strcpy(doc, e, "sub", sub ? sub : "") &&
            yyjson_mut_obj_add_strcpy(doc, e, "client_id", client_id ? client_id : "");
  return ok ? e : nullptr;
}

}  // namespace

extern "C" {

int id_revoke_add_jti(const char* jti, int64_t exp, const char* sub, const char* client_id) {
  if (!jti || !*jti) return -1;
  const size_t len = std::strlen(jti);
  bool added = false;
  int rc = zeb::store_update_rc(kRevokedStore, [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    // Built before anything is removed, so that running out of memory leaves the
    // list as it was instead of saving it pruned but without the new entry.
    yyjson_mut_val* entry = build_entry(doc, exp, sub, client_id);
    yyjson_mut_val* key = entry ? yyjson_mut_strncpy(doc, jti, len) : nullptr;
    if (!key) return zeb::Change::Discard;

    const int64_t now = zeb_time_now();
    yyjson_mut_obj_iter it = yyjson_mut_obj_iter_with(root);
    while (yyjson_mut_val* k = yyjson_mut_obj_iter_next(&it)) {
      // Length-aware: a stored name with an embedded NUL is another identifier.
      yyjson_mut_val* v = yyjson_mut_obj_iter_get_val(k);
      bool lapsed = !yyjson_mut_is_obj(v) || !revokes(zeb::json_int(v, "exp"), now);
      if (lapsed || yyjson_mut_equals_strn(k, jti, len)) yyjson_mut_obj_iter_remove(&it);
    }
    added = yyjson_mut_obj_add(root, key, entry);
    return added ? zeb::Change::Save : zeb::Change::Discard;
  });
  return rc == 0 && added ? 0 : -1;
}

bool id_revoke_is_jti(const char* jti) {
  if (!jti || !*jti) return false;
  zeb::DocPtr doc = zeb::store_read(kRevokedFile);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  yyjson_val* entry = zeb::json_member(root, jti);
  if (!yyjson_is_obj(entry)) return false;
  return revokes(zeb::json_int(entry, "exp"), zeb_time_now());
}

}  // extern "C"
