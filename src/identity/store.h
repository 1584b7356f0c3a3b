// Private to the identity core: the one store-update cycle, the lock-free read,
// the JSON reading rules every store shares, and the server log.
#pragma once
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>

#include "identity_common.h"

namespace zeb {

struct DocFree {
  void operator()(yyjson_doc* d) const { yyjson_doc_free(d); }
};
struct MutDocFree {
  void operator()(yyjson_mut_doc* d) const { yyjson_mut_doc_free(d); }
};
using DocPtr = std::unique_ptr<yyjson_doc, DocFree>;
using MutDocPtr = std::unique_ptr<yyjson_mut_doc, MutDocFree>;
using JsonText = std::unique_ptr<char, decltype(&std::free)>;

// Lock retries of every store but keys.json, and of keys.json.
constexpr int kStoreRetries = 2000;
constexpr int kKeysRetries = 12000;

// Holds one store's lock for its lifetime.
class StoreLock {
 public:
  StoreLock() = default;
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  ~StoreLock() { id_lock_release(&lock_); }
  int acquire(const char* name, int retries) { return id_lock_acquire_wait(&lock_, name, retries); }

 private:
  id_lock lock_{};
};

// What an update does when the store is missing or does not parse.
enum class Missing {
  Empty,  // start from an empty root of the expected type
  Fail,   // fail the update without writing
};

// What the mutate step asks for.
enum class Change { Save, Discard };

// The whole shape of a store: its file name, lock retries, top-level type and what
// a missing file means.
struct StoreSpec {
  const char* name;
  int retries;
  yyjson_type root_type;  // YYJSON_TYPE_OBJ or YYJSON_TYPE_ARR
  Missing missing;
};

using Mutate = std::function<Change(yyjson_mut_doc* doc, yyjson_mut_val* root)>;

// How an update cycle ended.
enum class StoreResult {
  Done,        // saved, or discarded by mutate
  LockFailed,  // the lock was not obtained within the retries; nothing read
  NoDocument,  // missing/invalid store under Missing::Fail, or out of memory
  SaveFailed,  // the new version could not be made durable; the old file stands
};

// The update cycle: lock, read whole, mutable copy, mutate, save durably, release.
// A root of the wrong type is replaced by an empty one. A file that exists but is
// unreadable or has the wrong root type is kept beside the store (name.corrupt-<time>)
// with a server-log line before it is replaced (SaveFailed when it cannot be kept).
StoreResult store_update(const StoreSpec& spec, const Mutate& mutate);
// The same, as 0 for Done and -1 for every failure.
inline int store_update_rc(const StoreSpec& spec, const Mutate& mutate) {
  return store_update(spec, mutate) == StoreResult::Done ? 0 : -1;
}

// Forgets the request body id_param has read (it reads it once per process), so
// that the next id_param reads the request anew; for tests and fuzzing.
void param_forget();

// Reads a store without a lock; null when missing or invalid.
DocPtr store_read(const char* name);

// JSON reading rules shared by all stores: the first member of a name counts; a
// missing or non-string text reads as ""; a missing or non-integer number reads as
// 0 (signed 64-bit); a container of the wrong type reads as null.
const char* json_str(yyjson_val* obj, const char* key);
int64_t json_int(yyjson_val* obj, const char* key);
yyjson_val* json_obj(yyjson_val* obj, const char* key);
yyjson_val* json_arr(yyjson_val* obj, const char* key);
const char* json_str(yyjson_mut_val* obj, const char* key);
int64_t json_int(yyjson_mut_val* obj, const char* key);
yyjson_mut_val* json_obj(yyjson_mut_val* obj, const char* key);
yyjson_mut_val* json_arr(yyjson_mut_val* obj, const char* key);
// The first member named key, of whatever type; null when obj is not an object or
// has no such member (for callers that must tell a missing member from a wrong type).
yyjson_val* json_member(yyjson_val* obj, const char* key);
yyjson_mut_val* json_member(yyjson_mut_val* obj, const char* key);
// Value as text / integer by the same rules (for array elements and members).
const char* json_as_str(yyjson_val* v);
int64_t json_as_int(yyjson_val* v);
const char* json_as_str(yyjson_mut_val* v);
int64_t json_as_int(yyjson_mut_val* v);

// Appends one time-stamped line to server.log in the data directory. Control bytes
// of the formatted message are written as \xHH so that no message can start a new
// line. Returns 0 when the log could not be opened, else the close result (0 on
// success).
int id_log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zeb
