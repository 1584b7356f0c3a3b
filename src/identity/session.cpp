// Sign-in sessions in tokens.json and the id_session cookie.
#include <cstring>
#include <string_view>

#include "platform.h"
#include "store.h"
#include "tokens.h"
#include "zeb_cgi.h"

namespace {

constexpr int64_t kSessionLifetime = 86400;
constexpr char kCookiePrefix[] = "id_session=";

// Removes every member of "sessions" for which drop(key, value) holds; a
// "sessions" that is not an object is left alone.
template <typename Pred>
void sessions_remove_if(yyjson_mut_val* root, Pred drop) {
  yyjson_mut_val* sessions = zeb::json_obj(root, "sessions");
  if (!sessions) return;
  yyjson_mut_obj_iter it = yyjson_mut_obj_iter_with(sessions);
  while (yyjson_mut_val* key = yyjson_mut_obj_iter_next(&it)) {
    if (drop(key, yyjson_mut_obj_iter_get_val(key))) yyjson_mut_obj_iter_remove(&it);
  }
}

// Behind a proxy that ends TLS the forwarded scheme tells; otherwise the
// configured public address decides.
bool cookie_secure() {
  if (zeb_ascii_casecmp(cgi_env("HTTP_X_FORWARDED_PROTO", ""), "https") == 0) return true;
  id_config cfg;
  id_get_config(&cfg);
  return std::strncmp(cfg.base_url, "https://", 8) == 0;
}

}  // namespace

int zeb::sessions_remove_user(yyjson_mut_val* root, const char* user_id) {
  int removed = 0;
  sessions_remove_if(root, [&](yyjson_mut_val*, yyjson_mut_val* rec) {
    bool drop = yyjson_mut_is_obj(rec) && std::strcmp(zeb::json_str(rec, "user_id"), user_id) == 0;
    removed += drop;
    return drop;
  });
  return removed;
}

extern "C" {

int id_session_create(const char* user_id, const char* username, char* out, size_t cap) {
  char sid[256];
  if (zeb::random_id("sess_", 24, sid, sizeof sid) != 0) return -1;
  bool stored = false;
  int rc = zeb::tokens_update([&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    // A "sessions" of another type cannot hold the record: hand out no id that
    // could never verify, and leave the file as it is.
    yyjson_mut_val* sessions = zeb::json_obj(root, "sessions");
    if (!sessions) return zeb::Change::Discard;
    int64_t now = zeb_time_now();
    yyjson_mut_val* rec = yyjson_mut_obj(doc);
    if (user_id) yyjson_mut_obj_add_strcpy(doc, rec, "user_id", user_id);
    if (username) yyjson_mut_obj_add_strcpy(doc, rec, "username", username);
    yyjson_mut_obj_add_sint(doc, rec, "created_at", now);
    yyjson_mut_obj_add_sint(doc, rec, "expires_at", now + kSessionLifetime);
    yyjson_mut_obj_add(sessions, yyjson_mut_strcpy(doc, sid), rec);
    stored = true;
    return zeb::Change::Save;
  });
  if (rc != 0 || !stored) return -1;
  if (out && cap > 0) zeb_strlcpy(out, sid, cap);
  return 0;
}

bool id_session_verify(const char* session_id, char* user_id, size_t user_cap, char* username,
                       size_t name_cap) {
  if (!session_id || !*session_id) return false;
  zeb::DocPtr doc = zeb::store_read("tokens.json");
  if (!doc) return false;
  yyjson_val* sessions = zeb::json_obj(yyjson_doc_get_root(doc.get()), "sessions");
  yyjson_val* rec = zeb::json_obj(sessions, session_id);
  if (!rec) return false;
  // Valid through the very second of its expiry.
  if (zeb_time_now() > zeb::json_int(rec, "expires_at")) return false;
  // A missing member leaves the caller's buffer as it was.
  if (user_id && user_cap > 0 && zeb::json_member(rec, "user_id"))
    zeb_strlcpy(user_id, zeb::json_str(rec, "user_id"), user_cap);
  if (username && name_cap > 0 && zeb::json_member(rec, "username"))
    zeb_strlcpy(username, zeb::json_str(rec, "username"), name_cap);
  return true;
}

int id_session_delete(const char* session_id) {
  if (!session_id || !*session_id) return -1;
  size_t len = std::strlen(session_id);
  return zeb::tokens_update([&](yyjson_mut_doc*, yyjson_mut_val* root) {
    sessions_remove_if(root, [&](yyjson_mut_val* key, yyjson_mut_val*) {
      return yyjson_mut_equals_strn(key, session_id, len);
    });
    return zeb::Change::Save;
  });
}

int id_session_delete_by_user(const char* user_id) {
  if (!user_id || !*user_id) return -1;
  return zeb::tokens_update([&](yyjson_mut_doc*, yyjson_mut_val* root) {
    zeb::sessions_remove_user(root, user_id);
    return zeb::Change::Save;
  });
}

bool id_get_cookie_session(char* out, size_t cap) {
  std::string_view rest = cgi_env("HTTP_COOKIE", "");
  while (true) {
    size_t start = rest.find_first_not_of(" ;");
    if (start == std::string_view::npos) return false;
    rest.remove_prefix(start);
    if (rest.starts_with(kCookiePrefix)) {
      // The first id_session cookie decides, even when its value is empty.
      std::string_view value = rest.substr(sizeof kCookiePrefix - 1);
      value = value.substr(0, value.find(';'));
      if (!out || cap == 0) return false;
      size_t n = value.size() < cap - 1 ? value.size() : cap - 1;
      std::memcpy(out, value.data(), n);
      out[n] = '\0';
      return n > 0;
    }
    size_t semi = rest.find(';');
    if (semi == std::string_view::npos) return false;
    rest.remove_prefix(semi + 1);
  }
}

void id_set_session_cookie(const char* value, int max_age) {
  char line[600];
  int len = zeb_snprintf(line, sizeof line,
                         "Set-Cookie: id_session=%s; Path=/; HttpOnly; SameSite=Lax; Max-Age=%d",
                         value ? value : "", max_age);
  // Room for "; Secure" or nothing: a cut line gets no attribute glued to its end.
  if (len >= 0 && len <= 589 && cookie_secure())
    std::memcpy(line + len, "; Secure", sizeof "; Secure");
  cgi_header_extra(line);
}

void id_clear_session_cookie(void) { id_set_session_cookie("", 0); }

}  // extern "C"
