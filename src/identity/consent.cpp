// Consent records, consents.json: user id -> client id -> {"scopes", "granted"},
// and the scope-list rules they share.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform.h"
#include "store.h"

namespace {

constexpr const char* kConsentsFile = "consents.json";
constexpr std::string_view kDefaultAllowed = "openid profile email";
// The longest token handled as a scope, and the longest list a record holds.
constexpr size_t kMaxToken = 255;
constexpr size_t kMaxList = 255;

zeb::StoreSpec consents_store(zeb::Missing missing) {
  return zeb::StoreSpec{kConsentsFile, zeb::kStoreRetries, YYJSON_TYPE_OBJ, missing};
}

bool is_separator(char c) { return c == ' ' || c == '\t' || c == ','; }

// Calls fn(token) for every token of list in order while fn returns true.
// Returns false when fn ended the walk early.
template <typename Fn>
bool each_token(std::string_view list, Fn&& fn) {
  size_t i = 0;
  while (i < list.size()) {
    if (is_separator(list[i])) {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < list.size() && !is_separator(list[i])) ++i;
    if (!fn(list.substr(start, i - start))) return false;
  }
  return true;
}

bool scope_list_has(std::string_view list, std::string_view token) {
  return !each_token(list, [&](std::string_view t) { return t != token; });
}

// Appends token to the blank-separated list buf[0..*len), keeping it terminated.
// The caller has made sure it fits.
void append_token(char* buf, size_t* len, std::string_view token) {
  if (*len) buf[(*len)++] = ' ';
  std::memcpy(buf + *len, token.data(), token.size());
  *len += token.size();
  buf[*len] = '\0';
}

// A stored list too long for a record keeps only its whole tokens: a cut inside a
// token would leave its prefix behind as a granted scope the user never saw (and
// could split a UTF-8 character, which the writer then refuses).
std::string_view whole_token_prefix(std::string_view list, size_t max) {
  if (list.size() <= max) return list;
  size_t n = max;
  while (n > 0 && !is_separator(list[n])) --n;
  return list.substr(0, n);
}

// A copy of a text value (key or member), "" when v is not a string; null when out
// of memory.
yyjson_mut_val* copy_text(yyjson_mut_doc* doc, yyjson_val* v) {
  if (!yyjson_is_str(v)) return yyjson_mut_str(doc, "");
  return yyjson_mut_strncpy(doc, yyjson_get_str(v), yyjson_get_len(v));
}

}  // namespace

extern "C" {

void id_scope_intersect(const char* requested, const char* allowed, char* out, size_t cap) {
  if (!out || cap == 0) return;
  out[0] = '\0';
  if (!requested || !*requested) return;
  std::string_view allow = allowed && *allowed ? std::string_view(allowed) : kDefaultAllowed;
  size_t len = 0;
  each_token(requested, [&](std::string_view t) {
    if (t.size() > kMaxToken) return true;
    if (!scope_list_has(allow, t) || scope_list_has(std::string_view(out, len), t)) return true;
    if (len + (len ? 1 : 0) + t.size() + 1 > cap) return false;
    append_token(out, &len, t);
    return true;
  });
}

bool id_consent_covers(const char* user_id, const char* client_id, const char* requested) {
  if (!user_id || !*user_id || !client_id || !*client_id) return false;
  zeb::DocPtr doc = zeb::store_read(kConsentsFile);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  yyjson_val* record = zeb::json_obj(zeb::json_obj(root, user_id), client_id);
  if (!record) return false;
  if (!requested) return true;
  std::string_view granted = zeb::json_str(record, "scopes");
  return each_token(requested, [&](std::string_view t) {
    return t.size() <= kMaxToken && scope_list_has(granted, t);
  });
}

int id_consent_set(const char* user_id, const char* client_id, const char* scopes) {
  if (!user_id || !*user_id || !client_id || !*client_id) return -1;
  bool stored = false;
  int rc = zeb::store_update_rc(consents_store(zeb::Missing::Empty),
                                [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    yyjson_mut_val* user = zeb::json_obj(root, user_id);
    if (!user) {
      yyjson_mut_obj_remove_keyn(root, user_id, std::strlen(user_id));
      user = yyjson_mut_obj(doc);
      if (!yyjson_mut_obj_add(root, yyjson_mut_strcpy(doc, user_id), user))
        return zeb::Change::Discard;
    }

    char list[kMaxList + 1];
    std::string_view prev =
        whole_token_prefix(zeb::json_str(zeb::json_obj(user, client_id), "scopes"), kMaxList);
    std::memcpy(list, prev.data(), prev.size());
    size_t len = prev.size();
    list[len] = '\0';
    if (scopes && *scopes) {
      each_token(scopes, [&](std::string_view t) {
        if (t.size() > kMaxToken || scope_list_has(std::string_view(list, len), t)) return true;
        if (len + t.size() + 2 > kMaxList) return false;
        append_token(list, &len, t);
        return true;
      });
    }

    // Removing and appending moves the record to the end of the user's object.
    yyjson_mut_obj_remove_keyn(user, client_id, std::strlen(client_id));
    yyjson_mut_val* rec = yyjson_mut_obj(doc);
    stored = rec && yyjson_mut_obj_add_strncpy(doc, rec, "scopes", list, len) &&
             yyjson_mut_obj_add_sint(doc, rec, "granted", zeb_time_now()) &&
             yyjson_mut_obj_add(user, yyjson_mut_strcpy(doc, client_id), rec);
    return stored ? zeb::Change::Save : zeb::Change::Discard;
  });
  return rc == 0 && stored ? 0 : -1;
}

int id_consent_revoke(const char* user_id, const char* client_id) {
  if (!user_id || !*user_id || !client_id || !*client_id) return -1;
  zeb::StoreResult r = zeb::store_update(consents_store(zeb::Missing::Fail),
                                         [&](yyjson_mut_doc*, yyjson_mut_val* root) {
    // The user's object stays even when this empties it.
    yyjson_mut_obj_remove_keyn(zeb::json_obj(root, user_id), client_id, std::strlen(client_id));
    return zeb::Change::Save;
  });
  // A store that is absent or unreadable holds nothing to revoke; it is left as it is.
  if (r == zeb::StoreResult::Done || r == zeb::StoreResult::NoDocument) return 0;
  return -1;
}

char* id_consent_list_json(void) {
  zeb::DocPtr doc = zeb::store_read(kConsentsFile);
  if (!doc) return strdup("[]");
  zeb::MutDocPtr out(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* list = out ? yyjson_mut_arr(out.get()) : nullptr;
  if (!list) return strdup("[]");
  yyjson_mut_doc_set_root(out.get(), list);

  yyjson_mut_doc* m = out.get();
  size_t ui, umax, ci, cmax;
  yyjson_val *ukey, *user, *ckey, *rec;
  yyjson_obj_foreach(yyjson_doc_get_root(doc.get()), ui, umax, ukey, user) {
    if (!yyjson_is_obj(user)) continue;
    yyjson_obj_foreach(user, ci, cmax, ckey, rec) {
      if (!yyjson_is_obj(rec)) continue;
      yyjson_mut_val* item = yyjson_mut_obj(m);
      bool ok = item && yyjson_mut_obj_add_val(m, item, "user_id", copy_text(m, ukey)) &&
                yyjson_mut_obj_add_val(m, item, "client_id", copy_text(m, ckey)) &&
                yyjson_mut_obj_add_val(m, item, "scopes",
                                       copy_text(m, zeb::json_member(rec, "scopes"))) &&
                yyjson_mut_obj_add_sint(m, item, "granted", zeb::json_int(rec, "granted")) &&
                yyjson_mut_arr_append(list, item);
      if (!ok) return strdup("[]");
    }
  }
  char* text = yyjson_mut_write(m, 0, nullptr);
  return text ? text : strdup("[]");
}

}  // extern "C"
