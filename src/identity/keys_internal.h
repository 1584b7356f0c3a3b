// Private to the key store and its tests: the per-process key table.
#pragma once
#include "rsa_key.h"

namespace zeb {

constexpr int kMaxKeys = 8;
constexpr const char* kKeysFile = "keys.json";

// The key table, in the order of keys.json; loaded at most once per process.
extern id_key_entry g_keys[kMaxKeys];
extern int g_nkeys;
extern char g_active_kid[24];
extern int g_store_loaded;

// Forgets the table so that the next key operation loads keys.json again (tests
// use it to start each case from a fresh process's state).
void keys_forget();

}  // namespace zeb
