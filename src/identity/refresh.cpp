// Refresh tokens in the "refresh" array of tokens.json: issue, one-use rotation
// with reuse detection, revocation and lookup.
#include <cstring>

#include "platform.h"
#include "store.h"
#include "tokens.h"
#include "zeb_cgi.h"

namespace {

constexpr int64_t kRefreshLifetime = 2419200;
constexpr size_t kRotatedMax = 1024;

bool same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// The texts of one record as written; user_id null leaves the member out.
struct RecordText {
  const char* token;
  const char* user_id;
  const char* username;
  const char* client_id;
  const char* scope;
  const char* family;
  int64_t expires_at;
};

void append_record(yyjson_mut_doc* doc, yyjson_mut_val* refresh, const RecordText& t) {
  yyjson_mut_val* rec = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_strcpy(doc, rec, "token", t.token);
  if (t.user_id) yyjson_mut_obj_add_strcpy(doc, rec, "user_id", t.user_id);
  yyjson_mut_obj_add_strcpy(doc, rec, "username", t.username);
  yyjson_mut_obj_add_strcpy(doc, rec, "client_id", t.client_id);
  yyjson_mut_obj_add_strcpy(doc, rec, "scope", t.scope);
  yyjson_mut_obj_add_strcpy(doc, rec, "family", t.family);
  yyjson_mut_obj_add_sint(doc, rec, "expires_at", t.expires_at);
  yyjson_mut_arr_append(refresh, rec);
}

// Fills r from a stored record presented as `token`; no family means the token is
// its own family.
template <typename Val>
void read_record(Val* rec, const char* token, id_refresh_record* r) {
  zeb_strlcpy(r->token, token, sizeof r->token);
  zeb_strlcpy(r->user_id, zeb::json_str(rec, "user_id"), sizeof r->user_id);
  zeb_strlcpy(r->username, zeb::json_str(rec, "username"), sizeof r->username);
  zeb_strlcpy(r->client_id, zeb::json_str(rec, "client_id"), sizeof r->client_id);
  zeb_strlcpy(r->scope, zeb::json_str(rec, "scope"), sizeof r->scope);
  zeb_strlcpy(r->family, zeb::json_str(rec, "family"), sizeof r->family);
  if (!r->family[0]) zeb_strlcpy(r->family, token, sizeof r->family);
  r->expires_at = zeb::json_int(rec, "expires_at");
}

// The first object of arr (null or not an array: none) for which match holds.
template <typename Pred>
yyjson_mut_val* find_entry(yyjson_mut_val* arr, Pred match) {
  yyjson_mut_arr_iter it = yyjson_mut_arr_iter_with(arr);
  while (yyjson_mut_val* e = yyjson_mut_arr_iter_next(&it)) {
    if (yyjson_mut_is_obj(e) && match(e)) return e;
  }
  return nullptr;
}

// Removes the first record holding token and returns it (it stays valid in the
// document), or null.
yyjson_mut_val* take_record(yyjson_mut_val* refresh, const char* token) {
  yyjson_mut_arr_iter it = yyjson_mut_arr_iter_with(refresh);
  while (yyjson_mut_val* e = yyjson_mut_arr_iter_next(&it)) {
    if (yyjson_mut_is_obj(e) && same(zeb::json_str(e, "token"), token))
      return yyjson_mut_arr_iter_remove(&it);
  }
  return nullptr;
}

// Removes every record whose member `key` is a string equal to value (non-empty);
// returns how many.
int remove_records(yyjson_mut_val* refresh, const char* key, const char* value) {
  int removed = 0;
  yyjson_mut_arr_iter it = yyjson_mut_arr_iter_with(refresh);
  while (yyjson_mut_val* e = yyjson_mut_arr_iter_next(&it)) {
    if (yyjson_mut_is_obj(e) && same(zeb::json_str(e, key), value)) {
      yyjson_mut_arr_iter_remove(&it);
      ++removed;
    }
  }
  return removed;
}

// The non-empty family of the first entry of arr holding token, else null.
const char* family_in(yyjson_mut_val* arr, const char* token) {
  yyjson_mut_val* e =
      find_entry(arr, [&](yyjson_mut_val* x) { return same(zeb::json_str(x, "token"), token); });
  const char* family = e ? zeb::json_str(e, "family") : "";
  return *family ? family : nullptr;
}

// Records a retired token in "rotated" (created at the end of the root when the
// name is missing), forgetting the oldest entries beyond the limit. A "rotated"
// of another type is left alone: the retirement then goes unrecorded.
void record_rotated(yyjson_mut_doc* doc, yyjson_mut_val* root, const char* token,
                    const char* family) {
  yyjson_mut_val* rotated = zeb::json_arr(root, "rotated");
  if (!rotated && !zeb::json_member(root, "rotated")) {
    rotated = yyjson_mut_arr(doc);
    if (!yyjson_mut_obj_add_val(doc, root, "rotated", rotated)) return;
  }
  if (!rotated) return;
  yyjson_mut_val* entry = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_strcpy(doc, entry, "token", token);
  yyjson_mut_obj_add_strcpy(doc, entry, "family", family);
  yyjson_mut_arr_append(rotated, entry);
  while (yyjson_mut_arr_size(rotated) > kRotatedMax) yyjson_mut_arr_remove_first(rotated);
}

int make_token(char* out, size_t cap) { return zeb::random_id("rt_", 32, out, cap); }

}  // namespace

int zeb::refresh_remove_user(yyjson_mut_val* root, const char* user_id) {
  return remove_records(zeb::json_arr(root, "refresh"), "user_id", user_id);
}

extern "C" {

int id_refresh_token_create(const char* user_id, const char* username, const char* client_id,
                            const char* scope, char* out_token, size_t cap) {
  char token[256];
  if (make_token(token, sizeof token) != 0) return -1;
  bool stored = false;
  int rc = zeb::tokens_update([&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    yyjson_mut_val* refresh = zeb::json_arr(root, "refresh");
    // A token that the store cannot hold is not handed out.
    if (!refresh) return zeb::Change::Discard;
    append_record(
        doc, refresh,
        {token, user_id, username ? username : "", client_id ? client_id : "",
         scope && *scope ? scope : "openid profile", token, zeb_time_now() + kRefreshLifetime});
    stored = true;
    return zeb::Change::Save;
  });
  if (rc != 0 || !stored) return -1;
  if (out_token && cap > 0) zeb_strlcpy(out_token, token, cap);
  return 0;
}

int id_refresh_token_rotate(const char* token, const char* client_id, char* out_token, size_t cap,
                            id_refresh_record* out) {
  if (!token || !*token) return -1;
  int result = -1;
  id_refresh_record next{};
  int rc = zeb::tokens_update([&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    yyjson_mut_val* refresh = zeb::json_arr(root, "refresh");
    if (!refresh) return zeb::Change::Discard;

    yyjson_mut_val* live = take_record(refresh, token);
    if (!live) {
      // A token that is not live was retired (or never existed): if its family
      // still has live tokens, someone holds a stolen copy, so the family goes.
      // The first token of a chain names the family, which still catches it once
      // its rotated entry is forgotten.
      const char* family = family_in(zeb::json_arr(root, "rotated"), token);
      if (remove_records(refresh, "family", family ? family : token) == 0)
        return zeb::Change::Discard;
      result = -4;
      return zeb::Change::Save;
    }

    // From here the presented token is used up whatever the outcome, so every
    // refusal still saves its removal.
    id_refresh_record cur{};
    read_record(live, token, &cur);
    int64_t now = zeb_time_now();
    if (cur.expires_at < now) {
      result = -2;
      return zeb::Change::Save;
    }
    if (client_id && *client_id && cur.client_id[0] && !same(client_id, cur.client_id)) {
      result = -3;
      return zeb::Change::Save;
    }
    // Without a successor the rotation fails as a whole and the token stays live.
    next = cur;
    if (make_token(next.token, sizeof next.token) != 0) return zeb::Change::Discard;
    next.expires_at = now + kRefreshLifetime;
    append_record(doc, refresh,
                  {next.token, next.user_id, next.username, next.client_id, next.scope, next.family,
                   next.expires_at});
    record_rotated(doc, root, token, cur.family);
    result = 0;
    return zeb::Change::Save;
  });
  // A refusal (-2, -3, -4) stands even when saving its removal failed.
  if (result != 0) return result;
  if (rc != 0) return -1;
  if (out_token && cap > 0) zeb_strlcpy(out_token, next.token, cap);
  if (out) *out = next;
  return 0;
}

int id_refresh_token_revoke(const char* token) {
  if (!token || !*token) return -1;
  bool removed = false;
  int rc = zeb::tokens_update([&](yyjson_mut_doc*, yyjson_mut_val* root) {
    removed = take_record(zeb::json_arr(root, "refresh"), token) != nullptr;
    return removed ? zeb::Change::Save : zeb::Change::Discard;
  });
  return rc == 0 && removed ? 0 : -1;
}

int id_refresh_token_revoke_by_user(const char* user_id) {
  if (!user_id || !*user_id) return -1;
  return zeb::tokens_update([&](yyjson_mut_doc*, yyjson_mut_val* root) {
    zeb::refresh_remove_user(root, user_id);
    return zeb::Change::Save;
  });
}

bool id_refresh_token_find(const char* token, id_refresh_record* out) {
  if (!token || !*token) return false;
  zeb::DocPtr doc = zeb::store_read("tokens.json");
  if (!doc) return false;
  yyjson_val* refresh = zeb::json_arr(yyjson_doc_get_root(doc.get()), "refresh");
  yyjson_arr_iter it = yyjson_arr_iter_with(refresh);
  while (yyjson_val* e = yyjson_arr_iter_next(&it)) {
    if (!yyjson_is_obj(e) || !same(zeb::json_str(e, "token"), token)) continue;
    if (out) {
      std::memset(out, 0, sizeof *out);
      read_record(e, token, out);
    }
    return true;
  }
  return false;
}

int id_refresh_token_revoke_family(const char* token, const char* client_id) {
  if (!token || !*token) return 0;
  int removed = 0;
  int rc = zeb::tokens_update([&](yyjson_mut_doc*, yyjson_mut_val* root) {
    yyjson_mut_val* refresh = zeb::json_arr(root, "refresh");
    const char* family = family_in(refresh, token);
    if (!family) family = family_in(zeb::json_arr(root, "rotated"), token);
    if (!family) family = token;
    // A client may only revoke a family that it holds a live token of.
    if (client_id && *client_id && !find_entry(refresh, [&](yyjson_mut_val* e) {
          return same(zeb::json_str(e, "family"), family) &&
                 same(zeb::json_str(e, "client_id"), client_id);
        }))
      return zeb::Change::Discard;
    removed = remove_records(refresh, "family", family);
    return removed > 0 ? zeb::Change::Save : zeb::Change::Discard;
  });
  return rc == 0 ? removed : 0;
}

}  // extern "C"
