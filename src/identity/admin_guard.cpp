// What a caller may do as an administrator: the role behind a session, and the
// guard of the administrative API.
#include <cstring>

#include "crypto.h"
#include "store.h"
#include "zeb_cgi.h"

extern "C" {

bool id_session_verify_role(const char* session_id, char* user_id, size_t user_cap,
                            char* username, size_t name_cap, char* role, size_t role_cap) {
  if (!session_id || !*session_id) return false;
  char uid[256] = "";
  char name[256] = "";
  if (!id_session_verify(session_id, uid, sizeof uid, name, sizeof name)) return false;
  if (user_id && user_cap) zeb_strlcpy(user_id, uid, user_cap);
  if (username && name_cap) zeb_strlcpy(username, name, name_cap);
  if (role && role_cap) {
    // A session without a user, or whose user is gone, has no rights beyond "user".
    id_user user;
    bool found = uid[0] && id_user_find_by_id(uid, &user);
    zeb_strlcpy(role, found ? user.role : "user", role_cap);
  }
  return true;
}

bool id_api_admin_ok(const id_config* cfg, const char* user_id) {
  if (user_id && *user_id && id_user_is_admin_by_id(user_id)) return true;
  if (!cfg || !cfg->admin_secret[0]) return false;
  const char* presented = cgi_env("HTTP_X_IDENTITY_ADMIN", "");
  if (!*presented) return false;
  if (zeb_ct_equal(presented, std::strlen(presented), cfg->admin_secret,
                   std::strlen(cfg->admin_secret)))
    return true;
  zeb::id_log_line("SECURITY: /api admin-secret mismatch from %s", cgi_env("REMOTE_ADDR", "unknown"));
  return false;
}

}  // extern "C"
