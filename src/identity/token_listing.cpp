// The sessions, refresh tokens and rotated entries of tokens.json as one compact
// JSON text, for everybody or for one user.
#include <cstring>
#include <string>
#include <string_view>

#include "store.h"

namespace {

constexpr char kEmptyListing[] = R"({"sessions":[],"refresh":[],"rotated":[]})";

// Builds the result document; the first allocation that fails spoils it, and the
// caller then answers "{}" rather than a listing with holes.
class Builder {
 public:
  explicit Builder(yyjson_mut_doc* doc) : doc_(doc) {}
  bool ok() const { return ok_; }

  yyjson_mut_val* obj() { return check(yyjson_mut_obj(doc_)); }
  yyjson_mut_val* arr() { return check(yyjson_mut_arr(doc_)); }
  void add(yyjson_mut_val* obj, const char* key, yyjson_mut_val* val) {
    if (!obj || !val || !yyjson_mut_obj_add_val(doc_, obj, key, val)) ok_ = false;
  }
  void append(yyjson_mut_val* arr, yyjson_mut_val* val) {
    if (!arr || !val || !yyjson_mut_arr_append(arr, val)) ok_ = false;
  }
  // Copies the whole text (embedded NULs included), so the result outlives the store.
  void add_text(yyjson_mut_val* obj, const char* key, std::string_view text) {
    add(obj, key, check(yyjson_mut_strncpy(doc_, text.data(), text.size())));
  }
  // The member `key` of src, when it is a string.
  void copy_text(yyjson_mut_val* obj, yyjson_val* src, const char* key) {
    yyjson_val* v = zeb::json_member(src, key);
    if (yyjson_is_str(v)) add_text(obj, key, view(v));
  }
  // The member `key` of src, when it exists: its integer, or 0 for any other type.
  void copy_int(yyjson_mut_val* obj, yyjson_val* src, const char* key) {
    yyjson_val* v = zeb::json_member(src, key);
    if (v) add(obj, key, check(yyjson_mut_sint(doc_, zeb::json_as_int(v))));
  }

  static std::string_view view(yyjson_val* s) {
    return std::string_view(yyjson_get_str(s), yyjson_get_len(s));
  }

 private:
  yyjson_mut_val* check(yyjson_mut_val* v) {
    if (!v) ok_ = false;
    return v;
  }
  yyjson_mut_doc* doc_;
  bool ok_ = true;
};

// Byte length of the first n characters of s (UTF-8, as the store is read), or
// s.size() when it has fewer.
size_t chars_prefix(std::string_view s, size_t n) {
  size_t i = 0;
  for (; i < s.size() && n > 0; --n) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
  }
  return i;
}
size_t char_count(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// Counted and cut in characters, not bytes, so that a mask never splits a
// multi-byte character (the writer would refuse the whole listing for it).
std::string mask(std::string_view token) {
  size_t count = char_count(token);
  if (count < 13) return "********";
  size_t tail = chars_prefix(token, count - 6);
  return std::string(token.substr(0, chars_prefix(token, 6))) + "..." +
         std::string(token.substr(tail));
}

// With a filter, only records whose "user_id" is a string equal to it are listed.
bool wanted(yyjson_val* rec, std::string_view filter) {
  if (filter.empty()) return true;
  yyjson_val* user = zeb::json_member(rec, "user_id");
  return yyjson_is_str(user) && Builder::view(user) == filter;
}

void list_sessions(Builder& b, yyjson_mut_val* out, yyjson_val* sessions, std::string_view filter) {
  yyjson_obj_iter it = yyjson_obj_iter_with(sessions);
  while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
    yyjson_val* rec = yyjson_obj_iter_get_val(key);
    if (!yyjson_is_obj(rec) || !wanted(rec, filter)) continue;
    yyjson_mut_val* e = b.obj();
    b.add_text(e, "session_id", Builder::view(key));
    b.copy_text(e, rec, "user_id");
    b.copy_text(e, rec, "username");
    b.copy_int(e, rec, "created_at");
    b.copy_int(e, rec, "expires_at");
    b.append(out, e);
  }
}

void list_refresh(Builder& b, yyjson_mut_val* out, yyjson_val* refresh, std::string_view filter) {
  yyjson_arr_iter it = yyjson_arr_iter_with(refresh);
  while (yyjson_val* rec = yyjson_arr_iter_next(&it)) {
    if (!filter.empty() && !(yyjson_is_obj(rec) && wanted(rec, filter))) continue;
    yyjson_mut_val* e = b.obj();
    yyjson_val* token = zeb::json_member(rec, "token");
    if (yyjson_is_str(token)) {
      b.add_text(e, "token", Builder::view(token));
      b.add_text(e, "token_masked", mask(Builder::view(token)));
    }
    for (const char* key : {"user_id", "username", "client_id", "scope"}) b.copy_text(e, rec, key);
    b.copy_int(e, rec, "expires_at");
    b.append(out, e);
  }
}

void list_rotated(Builder& b, yyjson_mut_val* out, yyjson_val* rotated) {
  yyjson_arr_iter it = yyjson_arr_iter_with(rotated);
  while (yyjson_val* entry = yyjson_arr_iter_next(&it)) {
    yyjson_mut_val* e = b.obj();
    b.copy_text(e, entry, "token");
    b.copy_text(e, entry, "family");
    b.append(out, e);
  }
}

}  // namespace

extern "C" {

char* id_refresh_token_list_json_scoped(const char* user_id) {
  std::string_view filter = user_id ? user_id : "";
  zeb::DocPtr store = zeb::store_read("tokens.json");
  yyjson_val* root = store ? yyjson_doc_get_root(store.get()) : nullptr;
  if (!yyjson_is_obj(root)) return strdup(kEmptyListing);

  zeb::MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return strdup("{}");
  Builder b(doc.get());
  yyjson_mut_val* top = b.obj();
  yyjson_mut_val* sessions = b.arr();
  yyjson_mut_val* refresh = b.arr();
  yyjson_mut_val* rotated = b.arr();
  b.add(top, "sessions", sessions);
  b.add(top, "refresh", refresh);
  b.add(top, "rotated", rotated);
  if (!b.ok()) return strdup("{}");
  yyjson_mut_doc_set_root(doc.get(), top);

  list_sessions(b, sessions, zeb::json_obj(root, "sessions"), filter);
  list_refresh(b, refresh, zeb::json_arr(root, "refresh"), filter);
  list_rotated(b, rotated, zeb::json_arr(root, "rotated"));
  if (!b.ok()) return strdup("{}");

  char* text = yyjson_mut_write(doc.get(), 0, nullptr);
  return text ? text : strdup("{}");
}

char* id_refresh_token_list_json(void) { return id_refresh_token_list_json_scoped(nullptr); }

}  // extern "C"
