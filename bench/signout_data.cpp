// Lays out a realistic data directory for the whole-process sign-out benchmarks:
//   signout_data DATA_DIR SESSIONS
// SESSIONS sessions and as many refresh tokens, a full audit log (2000 events), two
// signing keys and ten clients. Prints shell assignments of a session cookie, an ID
// token hint of that session's user and the client's post-logout URI.
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "id_keys.h"
#include "identity_common.h"

namespace {

const char* kUri = "https://rp.bench/after-logout";

void save(const char* name, yyjson_mut_doc* doc) {
  if (id_save_json_file(name, doc) != 0) {
    std::fprintf(stderr, "signout_data: cannot write %s\n", name);
    std::exit(1);
  }
  yyjson_mut_doc_free(doc);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: signout_data DATA_DIR SESSIONS\n");
    return 2;
  }
  setenv("IDENTITY_DATA_DIR", argv[1], 1);
  long n = std::atol(argv[2]);
  const int64_t now = time(nullptr);

  yyjson_mut_doc* doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val* root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_val* sessions = yyjson_mut_obj_add_obj(doc, root, "sessions");
  yyjson_mut_obj_add_obj(doc, root, "auth_codes");
  yyjson_mut_val* refresh = yyjson_mut_obj_add_arr(doc, root, "refresh");
  for (long i = 0; i < n; ++i) {
    std::string sid = "sess_bench" + std::to_string(i) + std::string(22, 'x');
    std::string uid = "usr_" + std::to_string(i);
    yyjson_mut_val* s = yyjson_mut_obj(doc);
    yyjson_mut_obj_add_strcpy(doc, s, "user_id", uid.c_str());
    yyjson_mut_obj_add_strcpy(doc, s, "username", ("user" + std::to_string(i)).c_str());
    yyjson_mut_obj_add_int(doc, s, "created_at", now);
    yyjson_mut_obj_add_int(doc, s, "expires_at", now + 86400);
    yyjson_mut_obj_add(sessions, yyjson_mut_strcpy(doc, sid.c_str()), s);
    yyjson_mut_val* r = yyjson_mut_arr_add_obj(doc, refresh);
    std::string tok = "rt_bench" + std::to_string(i) + std::string(35, 'y');
    yyjson_mut_obj_add_strcpy(doc, r, "token", tok.c_str());
    yyjson_mut_obj_add_strcpy(doc, r, "user_id", uid.c_str());
    yyjson_mut_obj_add_strcpy(doc, r, "username", ("user" + std::to_string(i)).c_str());
    yyjson_mut_obj_add_str(doc, r, "client_id", "client_rp0");
    yyjson_mut_obj_add_str(doc, r, "scope", "openid profile");
    yyjson_mut_obj_add_strcpy(doc, r, "family", tok.c_str());
    yyjson_mut_obj_add_int(doc, r, "expires_at", now + 2419200);
  }
  save("tokens.json", doc);

  doc = yyjson_mut_doc_new(nullptr);
  root = yyjson_mut_arr(doc);
  yyjson_mut_doc_set_root(doc, root);
  for (int i = 0; i < 2000; ++i) {
    yyjson_mut_val* e = yyjson_mut_arr_add_obj(doc, root);
    yyjson_mut_obj_add_int(doc, e, "ts", now - 2000 + i);
    yyjson_mut_obj_add_str(doc, e, "event", i % 2 ? "signout" : "signin");
    yyjson_mut_obj_add_strcpy(doc, e, "user_id", ("usr_" + std::to_string(i)).c_str());
    yyjson_mut_obj_add_strcpy(doc, e, "username", ("user" + std::to_string(i)).c_str());
    yyjson_mut_obj_add_str(doc, e, "ip", "192.0.2.1");
    yyjson_mut_obj_add_str(doc, e, "detail", "");
  }
  save("audit_log.json", doc);

  doc = yyjson_mut_doc_new(nullptr);
  root = yyjson_mut_arr(doc);
  yyjson_mut_doc_set_root(doc, root);
  for (int i = 0; i < 10; ++i) {
    yyjson_mut_val* c = yyjson_mut_arr_add_obj(doc, root);
    yyjson_mut_obj_add_strcpy(doc, c, "client_id", ("client_rp" + std::to_string(i)).c_str());
    yyjson_mut_obj_add_strcpy(doc, c, "name", ("Relying party " + std::to_string(i)).c_str());
    yyjson_mut_obj_add_str(doc, c, "secret", "sec_benchbenchbenchbenchbe");
    yyjson_mut_obj_add_str(doc, c, "scopes", "openid profile");
    yyjson_mut_val* uris = yyjson_mut_obj_add_arr(doc, c, "redirect_uris");
    yyjson_mut_arr_add_str(doc, uris, "https://rp.bench/callback");
    yyjson_mut_arr_add_str(doc, uris, kUri);
  }
  save("clients.json", doc);

  if (id_keys_load_or_create() != 0 || id_keys_rotate() != 0) {
    std::fprintf(stderr, "signout_data: cannot make signing keys\n");
    return 1;
  }
  // The session that is signed out: the middle one.
  long mid = n / 2;
  std::string uid = "usr_" + std::to_string(mid);
  char hint[4096];
  if (id_jwt_mint_id_token_v2("http://127.0.0.1:8080", uid.c_str(), "bench", "bench@rp.bench", "client_rp0",
                              nullptr, nullptr, 0, 86400, hint, sizeof hint) != 0) {
    std::fprintf(stderr, "signout_data: cannot mint the hint\n");
    return 1;
  }
  std::printf("SESSION='sess_bench%ld%s'\nHINT='%s'\nURI='%s'\nUSER='%s'\n", mid, std::string(22, 'x').c_str(), hint,
              kUri, uid.c_str());
  return 0;
}
