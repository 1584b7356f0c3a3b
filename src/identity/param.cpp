// Request parameters: the query string first, then the POST body (JSON or form).
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "identity_common.h"
#include "store.h"
#include "zeb_cgi.h"

namespace {

constexpr size_t kFormSlots = 8;
constexpr size_t kFormSlotSize = 1024;

char form_slots[kFormSlots][kFormSlotSize];
size_t form_slot = 0;
// The body is read at most once: one process serves one request.
char* cached_post = nullptr;
size_t cached_post_len = 0;
bool post_read_attempted = false;
const char kEmpty[] = "";

// The string member `name` of a JSON object body (the first of that name), or null
// when the body is not such an object or the member is missing or not a string.
const char* json_member(const char* name) {
  zeb::DocPtr doc(yyjson_read(cached_post, cached_post_len, 0));
  if (!doc) return nullptr;
  // yyjson_obj_getn walks the members in order, so the first of a name counts.
  yyjson_val* v = yyjson_obj_getn(yyjson_doc_get_root(doc.get()), name, std::strlen(name));
  if (!yyjson_is_str(v)) return nullptr;
  char* out = form_slots[form_slot];
  zeb_strlcpy(out, yyjson_get_str(v), kFormSlotSize);
  return out;
}

const char* body_value(const char* name) {
  form_slot = (form_slot + 1) % kFormSlots;
  char* out = form_slots[form_slot];
  out[0] = '\0';
  if (std::strstr(cgi_env("CONTENT_TYPE", nullptr), "application/json")) {
    if (const char* v = json_member(name)) return v;
  }
  return cgi_form_value(cached_post, cached_post_len, name, out, kFormSlotSize) ? out : kEmpty;
}

}  // namespace

void zeb::param_forget() {
  std::free(cached_post);
  cached_post = nullptr;
  cached_post_len = 0;
  post_read_attempted = false;
}

extern "C" {

const char* id_param(const char* name) {
  if (!name || !*name) return kEmpty;
  const char* q = cgi_query(name);
  if (*q) return q;
  if (!post_read_attempted && cgi_is_post()) {
    post_read_attempted = true;
    cached_post = cgi_read_post(&cached_post_len);
  }
  if (!cached_post || cached_post_len == 0) return kEmpty;
  return body_value(name);
}

int id_param_copy(const char* name, char* out, size_t cap) {
  if (!out || cap == 0) return -1;
  const char* v = id_param(name);
  size_t n = std::strlen(v);
  if (n + 1 > cap) return -1;
  std::memcpy(out, v, n + 1);
  return 0;
}

}  // extern "C"
