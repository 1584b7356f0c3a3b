// Private to the identity core: the update cycle of tokens.json (sessions,
// authorization codes and refresh tokens share one file and one lock) and the
// random identifiers of its records.
#pragma once
#include <cstddef>

#include "store.h"

namespace zeb {

// Runs one store_update cycle on tokens.json. Before mutate sees the root, the
// members "sessions" {}, "auth_codes" {} and "refresh" [] are appended when their
// names are missing (a member of the wrong type is left alone, and the operation
// then finds its container unusable). Returns 0 when the cycle completed (saved,
// or discarded by mutate), -1 when the lock, the start or the save failed.
int tokens_update(const Mutate& mutate);

// Remove from a tokens.json root every session, or every refresh token, whose
// "user_id" is user_id; they return how many went.
int sessions_remove_user(yyjson_mut_val* root, const char* user_id);
int refresh_remove_user(yyjson_mut_val* root, const char* user_id);

// Writes prefix followed by the base64url text of nbytes fresh random bytes into
// out. Returns 0, or -1 (out not written) when the random source fails or the text
// does not fit.
int random_id(const char* prefix, size_t nbytes, char* out, size_t cap);

}  // namespace zeb
