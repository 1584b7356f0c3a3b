// The lock-free readers of tokens.json: session verification, refresh token
// lookup and the token listings, for everybody and for one user. The input is the
// whole file.
#include <string>

#include "fuzz_support.h"
#include "identity_common.h"

namespace {

const char* const kSessions[] = {"sess_x", "sess_", "s", ""};
const char* const kTokens[] = {"rt_x", "rt_", "a", ""};
const char* const kUsers[] = {"usr_1", "u", ""};

bool terminated(const char* s, size_t cap) { return std::memchr(s, '\0', cap) != nullptr; }

void sessions() {
  for (const char* id : kSessions) {
    fuzz::OutBuffer user(64), name(5);
    bool ok = id_session_verify(id, user.data(), user.cap(), name.data(), name.cap());
    if (!*id) FUZZ_CHECK(!ok);
    if (!ok) {
      user.check_untouched();
      name.check_untouched();
    } else {
      user.check_guard();
      name.check_guard();
    }
    FUZZ_CHECK(id_session_verify(id, nullptr, 0, nullptr, 0) == ok);
    char role[24];
    if (id_session_verify_role(id, nullptr, 0, nullptr, 0, role, sizeof role)) {
      FUZZ_CHECK(ok && terminated(role, sizeof role));
    }
  }
}

void refresh() {
  for (const char* token : kTokens) {
    id_refresh_record rec;
    std::memset(&rec, 0xa5, sizeof rec);
    id_refresh_record poison = rec;
    bool found = id_refresh_token_find(token, &rec);
    if (!found) {
      FUZZ_CHECK(std::memcmp(&rec, &poison, sizeof rec) == 0);
      continue;
    }
    FUZZ_CHECK(*token);
    for (const char* f : {rec.token, rec.user_id, rec.username, rec.client_id, rec.scope, rec.family})
      FUZZ_CHECK(terminated(f, 256));
    FUZZ_CHECK(rec.family[0] != '\0');
    FUZZ_CHECK(id_refresh_token_find(token, nullptr));
  }
}

void listings() {
  char* all = id_refresh_token_list_json();
  FUZZ_CHECK(fuzz::json_of_type(all, YYJSON_TYPE_OBJ));
  std::free(all);
  for (const char* user : kUsers) {
    char* one = id_refresh_token_list_json_scoped(user);
    FUZZ_CHECK(fuzz::json_of_type(one, YYJSON_TYPE_OBJ));
    std::free(one);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::write_store("tokens.json", data, size);
  sessions();
  refresh();
  listings();
  return 0;
}
