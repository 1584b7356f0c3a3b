#include "tokens.h"

#include <cstring>

#include "crypto.h"
#include "zeb_cgi.h"

namespace zeb {
namespace {

// Appends an empty container under `key` unless a member of that name exists;
// only the name counts, not the type.
void ensure_member(yyjson_mut_doc* doc, yyjson_mut_val* root, const char* key, bool object) {
  if (json_member(root, key)) return;
  yyjson_mut_obj_add_val(doc, root, key, object ? yyjson_mut_obj(doc) : yyjson_mut_arr(doc));
}

}  // namespace

int tokens_update(const Mutate& mutate) {
  return store_update_rc(StoreSpec{"tokens.json", kStoreRetries, YYJSON_TYPE_OBJ, Missing::Empty},
                         [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
                           ensure_member(doc, root, "sessions", true);
                           ensure_member(doc, root, "auth_codes", true);
                           ensure_member(doc, root, "refresh", false);
                           return mutate(doc, root);
                         });
}

int random_id(const char* prefix, size_t nbytes, char* out, size_t cap) {
  size_t plen = std::strlen(prefix);
  if (cap <= plen) return -1;
  if (zeb_random_token(out + plen, cap - plen, nbytes) != 0) return -1;
  std::memcpy(out, prefix, plen);
  return 0;
}

}  // namespace zeb
