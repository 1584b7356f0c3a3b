// The user store, users.json: an array of user objects in order of creation.
#include <cstring>
#include <string_view>
#include <type_traits>

#include "platform.h"
#include "store.h"
#include "tokens.h"
#include "zeb_cgi.h"

namespace {

constexpr const char* kUsersFile = "users.json";
constexpr size_t kMaxUsername = 64;
constexpr size_t kMaxEmail = 254;

zeb::StoreSpec users_store(zeb::Missing missing) {
  return zeb::StoreSpec{kUsersFile, zeb::kStoreRetries, YYJSON_TYPE_ARR, missing};
}

void set_msg(char* msg, size_t cap, const char* text) {
  if (msg && cap) zeb_strlcpy(msg, text, cap);
}

bool ascii_equal_ci(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// A stored text as a view of its whole length (an embedded NUL does not end it);
// null for anything but a string.
template <typename Val>
const char* str_view(Val* v, std::string_view* out) {
  const char* s = nullptr;
  size_t len = 0;
  if constexpr (std::is_same_v<Val, yyjson_val>) {
    if (yyjson_is_str(v)) s = yyjson_get_str(v), len = yyjson_get_len(v);
  } else {
    if (yyjson_mut_is_str(v)) s = yyjson_mut_get_str(v), len = yyjson_mut_get_len(v);
  }
  if (s) *out = std::string_view(s, len);
  return s;
}

template <typename Val>
bool member_is(Val* user, const char* key, std::string_view want, bool ignore_case) {
  std::string_view have;
  if (!str_view(zeb::json_member(user, key), &have)) return false;
  return ignore_case ? ascii_equal_ci(have, want) : have == want;
}

bool is_admin_role(const char* role) { return std::strcmp(id_role_name(role), "user") != 0; }

void fill_user(yyjson_val* u, id_user* out) {
  std::memset(out, 0, sizeof *out);
  zeb_strlcpy(out->id, zeb::json_str(u, "id"), sizeof out->id);
  zeb_strlcpy(out->username, zeb::json_str(u, "username"), sizeof out->username);
  zeb_strlcpy(out->email, zeb::json_str(u, "email"), sizeof out->email);
  zeb_strlcpy(out->pass_hash, zeb::json_str(u, "pass_hash"), sizeof out->pass_hash);
  zeb_strlcpy(out->role, id_role_name(zeb::json_str(u, "role")), sizeof out->role);
  out->created = zeb::json_int(u, "created");
  out->last_login = zeb::json_int(u, "last_login");
}

// The first user whose member key equals value; fills out (may be null).
bool find_user(const char* key, const char* value, bool ignore_case, id_user* out) {
  if (!value || !*value) return false;
  zeb::DocPtr doc = zeb::store_read(kUsersFile);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  size_t idx, max;
  yyjson_val* u;
  yyjson_arr_foreach(root, idx, max, u) {
    if (!member_is(u, key, value, ignore_case)) continue;
    if (out) fill_user(u, out);
    return true;
  }
  return false;
}

// The first user object of the array whose "id" is user_id; null when none.
yyjson_mut_val* find_mut_by_id(yyjson_mut_val* root, const char* user_id, size_t* index) {
  size_t idx, max;
  yyjson_mut_val* u;
  yyjson_mut_arr_foreach(root, idx, max, u) {
    if (!member_is(u, "id", user_id, false)) continue;
    if (index) *index = idx;
    return u;
  }
  return nullptr;
}

bool name_taken(yyjson_mut_val* root, const char* username) {
  size_t idx, max;
  yyjson_mut_val* u;
  yyjson_mut_arr_foreach(root, idx, max, u) {
    if (member_is(u, "username", username, true)) return true;
  }
  return false;
}

struct NewUser {
  const char* id;
  const char* username;
  const char* email;
  const char* pass_hash;
  const char* role;
  int64_t now;
};

yyjson_mut_val* build_user(yyjson_mut_doc* doc, const NewUser& n) {
  yyjson_mut_val* u = yyjson_mut_obj(doc);
  bool ok = u && yyjson_mut_obj_add_strcpy(doc, u, "id", n.id) &&
            yyjson_mut_obj_add_strcpy(doc, u, "username", n.username) &&
            yyjson_mut_obj_add_strcpy(doc, u, "email", n.email) &&
            yyjson_mut_obj_add_strcpy(doc, u, "pass_hash", n.pass_hash) &&
            yyjson_mut_obj_add_str(doc, u, "role", n.role) &&
            yyjson_mut_obj_add_sint(doc, u, "created", n.now) &&
            yyjson_mut_obj_add_sint(doc, u, "last_login", n.now);
  return ok ? u : nullptr;
}

// The listed form of one stored user: no password hash, the role normalised.
yyjson_mut_val* list_entry(yyjson_mut_doc* doc, yyjson_val* u) {
  yyjson_mut_val* e = yyjson_mut_obj(doc);
  if (!e) return nullptr;
  for (const char* key : {"id", "username", "email"}) {
    yyjson_val* v = zeb::json_member(u, key);
    if (yyjson_is_str(v) &&
        !yyjson_mut_obj_add_strncpy(doc, e, key, yyjson_get_str(v), yyjson_get_len(v)))
      return nullptr;
  }
  if (!yyjson_mut_obj_add_str(doc, e, "role", id_role_name(zeb::json_str(u, "role"))))
    return nullptr;
  for (const char* key : {"created", "last_login"}) {
    yyjson_val* v = zeb::json_member(u, key);
    if (v && !yyjson_mut_obj_add_sint(doc, e, key, zeb::json_as_int(v))) return nullptr;
  }
  return e;
}

}  // namespace

extern "C" {

const char* id_role_name(const char* role) {
  if (role && zeb_ascii_casecmp(role, "owner") == 0) return "owner";
  if (role && zeb_ascii_casecmp(role, "admin") == 0) return "admin";
  return "user";
}

int id_email_check(const char* email, char* msg, size_t msg_cap) {
  set_msg(msg, msg_cap, "");
  if (!email || !*email) return 0;
  std::string_view e = email;
  for (unsigned char c : e) {
    if (c <= 0x20 || c == 0x7F) {
      set_msg(msg, msg_cap, "email must not contain whitespace");
      return -3;
    }
  }
  size_t at = e.find('@');
  bool ok = at != std::string_view::npos && at > 0 && e.find('@', at + 1) == std::string_view::npos;
  if (ok) {
    std::string_view domain = e.substr(at + 1);
    size_t last_dot = domain.rfind('.');
    ok = !domain.empty() && last_dot != std::string_view::npos && last_dot != 0 &&
         last_dot != domain.size() - 1 && domain.front() != '.' &&
         domain.find("..") == std::string_view::npos;
  }
  if (ok) return 0;
  set_msg(msg, msg_cap, "email must look like name@example.com");
  return -3;
}

int id_user_create_role(const char* username, const char* password, const char* email,
                        const char* role, char* id_out, size_t id_cap, char* msg, size_t msg_cap) {
  if (!username || !*username || !password || !*password) {
    set_msg(msg, msg_cap, "missing username or password");
    return -1;
  }
  set_msg(msg, msg_cap, "");
  if (std::strlen(username) > kMaxUsername) {
    set_msg(msg, msg_cap, "username too long (max 64)");
    return -3;
  }
  if (email && std::strlen(email) > kMaxEmail) {
    set_msg(msg, msg_cap, "email too long (max 254)");
    return -3;
  }
  if (id_email_check(email, msg, msg_cap) != 0) return -3;
  if (id_password_policy(username, password, msg, msg_cap) != 0) return -3;
  // The cheap answer before the costly hash; the check under the lock decides.
  if (id_user_find_by_username_ci(username, nullptr)) {
    set_msg(msg, msg_cap, "user already exists");
    return -2;
  }
  char hash[256];
  if (id_hash_password(password, hash, sizeof hash) != 0) return -1;
  char id[256];
  if (zeb::random_id("usr_", 8, id, sizeof id) != 0) return -1;

  enum class Outcome { Failed, Added, Taken } outcome = Outcome::Failed;
  int rc = zeb::store_update_rc(users_store(zeb::Missing::Empty),
                                [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    // Another process may have created the name since the early check.
    if (name_taken(root, username)) {
      outcome = Outcome::Taken;
      return zeb::Change::Discard;
    }
    // A missing, unreadable or empty store reaches here as an empty array: its
    // first user owns the provider whatever was asked for.
    const char* stored_role = yyjson_mut_arr_size(root) == 0 ? "owner" : id_role_name(role);
    NewUser n{id, username, email ? email : "", hash, stored_role, zeb_time_now()};
    yyjson_mut_val* u = build_user(doc, n);
    if (!u || !yyjson_mut_arr_append(root, u)) return zeb::Change::Discard;
    outcome = Outcome::Added;
    return zeb::Change::Save;
  });
  if (rc == 0 && outcome == Outcome::Taken) {
    set_msg(msg, msg_cap, "user already exists");
    return -2;
  }
  if (rc != 0 || outcome != Outcome::Added) return -1;
  if (id_out && id_cap) zeb_strlcpy(id_out, id, id_cap);
  return 0;
}

int id_user_create_v(const char* username, const char* password, const char* email, char* id_out,
                     size_t id_cap, char* msg, size_t msg_cap) {
  return id_user_create_role(username, password, email, nullptr, id_out, id_cap, msg, msg_cap);
}

int id_user_create(const char* username, const char* password, const char* email, char* id_out,
                   size_t id_cap) {
  char msg[128];
  return id_user_create_role(username, password, email, nullptr, id_out, id_cap, msg, sizeof msg);
}

bool id_user_find_by_username(const char* username, id_user* out) {
  return find_user("username", username, false, out);
}

bool id_user_find_by_username_ci(const char* username, id_user* out) {
  return find_user("username", username, true, out);
}

bool id_user_find_by_id(const char* user_id, id_user* out) {
  return find_user("id", user_id, false, out);
}

bool id_user_is_admin_by_id(const char* user_id) {
  id_user u;
  return id_user_find_by_id(user_id, &u) && is_admin_role(u.role);
}

int id_user_admin_count(void) {
  zeb::DocPtr doc = zeb::store_read(kUsersFile);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  int count = 0;
  size_t idx, max;
  yyjson_val* u;
  yyjson_arr_foreach(root, idx, max, u) {
    if (yyjson_is_obj(u) && is_admin_role(zeb::json_str(u, "role"))) ++count;
  }
  return count;
}

bool id_user_is_last_admin(const char* user_id) {
  if (!user_id || !*user_id) return false;
  return id_user_is_admin_by_id(user_id) && id_user_admin_count() == 1;
}

int id_user_set_password(const char* user_id, const char* password, char* msg, size_t msg_cap) {
  set_msg(msg, msg_cap, "");
  if (!user_id || !*user_id || !password || !*password) {
    set_msg(msg, msg_cap, "missing user id or password");
    return -1;
  }
  id_user user;
  if (!id_user_find_by_id(user_id, &user)) {
    set_msg(msg, msg_cap, "user not found");
    return -1;
  }
  if (id_password_policy(user.username, password, msg, msg_cap) != 0) return -3;
  char hash[256];
  if (id_hash_password(password, hash, sizeof hash) != 0) {
    set_msg(msg, msg_cap, "failed to hash password");
    return -1;
  }
  bool found = false;
  zeb::StoreResult r = zeb::store_update(users_store(zeb::Missing::Fail),
                                         [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    yyjson_mut_val* u = find_mut_by_id(root, user_id, nullptr);
    if (!u) return zeb::Change::Discard;
    while (yyjson_mut_obj_remove_key(u, "pass_hash")) {
    }
    found = yyjson_mut_obj_add_strcpy(doc, u, "pass_hash", hash);
    return found ? zeb::Change::Save : zeb::Change::Discard;
  });
  switch (r) {
    case zeb::StoreResult::LockFailed:
      set_msg(msg, msg_cap, "failed to lock user store");
      return -1;
    case zeb::StoreResult::NoDocument:
      return -1;
    case zeb::StoreResult::SaveFailed:
      set_msg(msg, msg_cap, "failed to save user store");
      return -1;
    case zeb::StoreResult::Done:
      break;
  }
  if (!found) {
    set_msg(msg, msg_cap, "user not found");
    return -1;
  }
  return 0;
}

char* id_user_list_json(void) {
  zeb::DocPtr doc = zeb::store_read(kUsersFile);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  zeb::MutDocPtr out(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* list = out ? yyjson_mut_arr(out.get()) : nullptr;
  if (!list) return nullptr;
  yyjson_mut_doc_set_root(out.get(), list);
  size_t idx, max;
  yyjson_val* u;
  yyjson_arr_foreach(root, idx, max, u) {
    yyjson_mut_val* e = list_entry(out.get(), u);
    if (!e || !yyjson_mut_arr_append(list, e)) return nullptr;
  }
  return yyjson_mut_write(out.get(), 0, nullptr);
}

int id_user_delete(const char* user_id) {
  if (!user_id || !*user_id || !id_user_find_by_id(user_id, nullptr)) return -1;
  // Sessions and refresh tokens end first, in one cycle, and a failure there fails
  // the delete: a process stopped between the two saves leaves a user without
  // sessions, never a removed user whose refresh token still rotates. No two store
  // locks are ever held at once.
  int ended = zeb::tokens_update([&](yyjson_mut_doc*, yyjson_mut_val* root) {
    int removed = zeb::sessions_remove_user(root, user_id) + zeb::refresh_remove_user(root, user_id);
    return removed > 0 ? zeb::Change::Save : zeb::Change::Discard;
  });
  if (ended != 0) return -1;
  bool found = false;
  int rc = zeb::store_update_rc(users_store(zeb::Missing::Fail),
                                [&](yyjson_mut_doc*, yyjson_mut_val* root) {
    size_t index = 0;
    found = find_mut_by_id(root, user_id, &index) != nullptr;
    if (!found) return zeb::Change::Discard;
    yyjson_mut_arr_remove(root, index);
    return zeb::Change::Save;
  });
  return rc == 0 && found ? 0 : -1;
}

}  // extern "C"
