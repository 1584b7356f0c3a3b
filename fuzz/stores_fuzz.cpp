// The lock-free readers of the small stores: users, clients, consents, revoked
// identifiers, both sign-in attempt logs and the audit log. The first byte picks
// the store; the rest is written as its file, then every reader of it runs. Each
// listing must be JSON of the promised shape, each record terminated and in bounds.
#include <string>

#include "fuzz_support.h"
#include "identity_common.h"

namespace {

const char* const kNames[] = {"alice", "ALICE", "usr_1", "olga", ""};

void check_user(const id_user& u) {
  for (std::string_view f : {std::string_view(u.id, sizeof u.id),
                             std::string_view(u.username, sizeof u.username),
                             std::string_view(u.email, sizeof u.email),
                             std::string_view(u.pass_hash, sizeof u.pass_hash),
                             std::string_view(u.role, sizeof u.role)}) {
    FUZZ_CHECK(f.find('\0') != std::string_view::npos);
  }
  std::string_view role = u.role;
  FUZZ_CHECK(role == "owner" || role == "admin" || role == "user");
}

void users() {
  for (const char* name : kNames) {
    id_user u;
    if (id_user_find_by_username(name, &u)) {
      check_user(u);
      FUZZ_CHECK(std::strcmp(u.username, name) == 0 || std::strlen(name) >= sizeof u.username);
    }
    if (id_user_find_by_username_ci(name, &u)) check_user(u);
    if (id_user_find_by_id(name, &u)) check_user(u);
    bool admin = id_user_is_admin_by_id(name);
    if (id_user_is_last_admin(name)) FUZZ_CHECK(admin && id_user_admin_count() == 1);
  }
  FUZZ_CHECK(id_user_admin_count() >= 0);
  char* list = id_user_list_json();
  FUZZ_CHECK(fuzz::json_of_type(list, YYJSON_TYPE_ARR));
  // No password hash leaves in the listing, not even a second member of the name.
  yyjson_doc* doc = yyjson_read(list, std::strlen(list), 0);
  size_t i, max;
  yyjson_val* user;
  yyjson_arr_foreach(yyjson_doc_get_root(doc), i, max, user) {
    size_t j, jmax;
    yyjson_val *key, *val;
    yyjson_obj_foreach(user, j, jmax, key, val) FUZZ_CHECK(!yyjson_equals_str(key, "pass_hash"));
  }
  yyjson_doc_free(doc);
  std::free(list);
}

void clients() {
  for (const char* id : {"client_a", "app", ""}) {
    id_client c;
    if (!id_client_find_by_id(id, &c)) continue;
    FUZZ_CHECK(c.redirect_uri_count >= 0 && c.redirect_uri_count <= 8);
    for (int i = 0; i < c.redirect_uri_count; ++i) {
      FUZZ_CHECK(std::memchr(c.redirect_uris[i], '\0', sizeof c.redirect_uris[i]) != nullptr);
      FUZZ_CHECK(id_client_validate_redirect_uri(&c, c.redirect_uris[i]));
    }
    FUZZ_CHECK(std::memchr(c.secret, '\0', sizeof c.secret) != nullptr);
    FUZZ_CHECK(std::memchr(c.scopes, '\0', sizeof c.scopes) != nullptr);
    FUZZ_CHECK(!id_client_verify_secret(&c, ""));
    if (c.secret[0]) FUZZ_CHECK(id_client_verify_secret(&c, c.secret));
    FUZZ_CHECK(!id_client_validate_redirect_uri(&c, "https://attacker.example/cb"));
  }
  char* list = id_client_list_json();
  FUZZ_CHECK(fuzz::json_of_type(list, YYJSON_TYPE_ARR));
  std::free(list);
}

void consents() {
  for (const char* req : {"openid", "openid profile email", "", static_cast<const char*>(nullptr)}) {
    bool all = id_consent_covers("usr_1", "client_a", req);
    if (req) FUZZ_CHECK(!all || id_consent_covers("usr_1", "client_a", nullptr));
  }
  FUZZ_CHECK(!id_consent_covers("", "client_a", nullptr));
  char* list = id_consent_list_json();
  FUZZ_CHECK(fuzz::json_of_type(list, YYJSON_TYPE_ARR));
  std::free(list);
}

void revoked() {
  for (const char* jti : {"jti_1", "a", "x\x01y", ""}) {
    bool r = id_revoke_is_jti(jti);
    if (!*jti) FUZZ_CHECK(!r);
  }
}

void attempts() {
  for (const char* name : kNames) {
    fuzz::OutBuffer msg(64);
    int rc = id_login_allowed(name, nullptr, msg.data(), msg.cap());
    FUZZ_CHECK(rc == 0 || rc == 1);
    if (!*name) FUZZ_CHECK(rc == 1);
    if (rc == 0) msg.check_text(); else msg.check_guard();
  }
}

void address_attempts() {
  for (const char* ip : {"192.0.2.1", "?", ""}) {
    bool over = id_login_ip_over_budget(ip);
    int wait = id_login_ip_retry_after(ip);
    FUZZ_CHECK(wait >= 0 && wait <= 600);
    FUZZ_CHECK(over == (wait > 0));
  }
}

void audit() {
  for (int n : {0, 1, 3, 200, 5000}) {
    char* list = id_audit_list_json(n);
    FUZZ_CHECK(fuzz::json_of_type(list, YYJSON_TYPE_ARR));
    std::free(list);
  }
  FUZZ_CHECK(id_audit_count() >= 0);
}

struct Store {
  const char* file;
  void (*readers)();
};

const Store kStores[] = {
    {"users.json", users},
    {"clients.json", clients},
    {"consents.json", consents},
    {"revoked.json", revoked},
    {"login_attempts.json", attempts},
    {"login_attempts_ip.json", address_attempts},
    {"audit_log.json", audit},
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Store& s = kStores[data[0] % (sizeof kStores / sizeof kStores[0])];
  fuzz::write_store(s.file, data + 1, size - 1);
  s.readers();
  std::remove(fuzz::data_path(s.file).c_str());
  return 0;
}
