#include "store.h"

#include <cstdio>
#include <cstring>

#include "platform.h"
#include "zeb_cgi.h"

namespace zeb {
namespace {

constexpr int kRetrySleepMs = 5;

struct StorePaths {
  char path[1024];
  char tmp[1040];
};

void store_paths(const char* name, StorePaths* p) {
  id_get_file_path(name, p->path, sizeof p->path);
  zeb_snprintf(p->tmp, sizeof p->tmp, "%s.tmp", p->path);
}

int save_to(const StorePaths& p, yyjson_mut_doc* doc) {
  size_t len = 0;
  JsonText text(yyjson_mut_write(doc, YYJSON_WRITE_PRETTY, &len), &std::free);
  if (!text) return -1;
  return zeb_file_replace(p.path, p.tmp, text.get(), len);
}

// Keeps an unreadable store under a name of its own before it is replaced, so that
// a damaged file can still be looked at (and mended by hand) afterwards.
int keep_corrupt(const char* name, const char* path) {
  char keep[1100];
  int64_t now = zeb_time_now();
  zeb_snprintf(keep, sizeof keep, "%s.corrupt-%lld", path, static_cast<long long>(now));
  // A second damaged file within the same second gets a counter behind the time.
  for (int i = 1; zeb_file_keep(path, keep) != 0; ++i) {
    if (i > 20) {
      id_log_line("store %s is unreadable and could not be kept; it is left as it is", name);
      return -1;
    }
    zeb_snprintf(keep, sizeof keep, "%s.corrupt-%lld-%d", path, static_cast<long long>(now), i);
  }
  id_log_line("store %s was unreadable; kept as %s and replaced", name, keep);
  return 0;
}

yyjson_mut_val* mut_get(yyjson_mut_val* obj, const char* key) {
  // yyjson_mut_obj_get does not promise the first of duplicate names: walk in order.
  if (!yyjson_mut_is_obj(obj)) return nullptr;
  size_t klen = std::strlen(key);
  yyjson_mut_obj_iter it = yyjson_mut_obj_iter_with(obj);
  while (yyjson_mut_val* k = yyjson_mut_obj_iter_next(&it)) {
    if (yyjson_mut_equals_strn(k, key, klen)) return yyjson_mut_obj_iter_get_val(k);
  }
  return nullptr;
}

yyjson_val* imm_get(yyjson_val* obj, const char* key) {
  if (!yyjson_is_obj(obj)) return nullptr;
  size_t klen = std::strlen(key);
  yyjson_obj_iter it = yyjson_obj_iter_with(obj);
  while (yyjson_val* k = yyjson_obj_iter_next(&it)) {
    if (yyjson_equals_strn(k, key, klen)) return yyjson_obj_iter_get_val(k);
  }
  return nullptr;
}

}  // namespace

StoreResult store_update(const StoreSpec& spec, const Mutate& mutate) {
  StoreLock lock;
  if (lock.acquire(spec.name, spec.retries) != 0) return StoreResult::LockFailed;
  StorePaths p;
  store_paths(spec.name, &p);

  size_t len = 0;
  bool exists = false;
  char* text = zeb_file_read(p.path, &len, &exists);
  DocPtr doc(text ? yyjson_read(text, len, 0) : nullptr);
  std::free(text);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  bool usable = root && yyjson_get_type(root) == spec.root_type;
  if (!usable && spec.missing == Missing::Fail) return StoreResult::NoDocument;

  MutDocPtr mdoc(usable ? yyjson_doc_mut_copy(doc.get(), nullptr) : yyjson_mut_doc_new(nullptr));
  if (!mdoc) return StoreResult::NoDocument;
  if (!usable) {
    yyjson_mut_val* fresh = spec.root_type == YYJSON_TYPE_ARR ? yyjson_mut_arr(mdoc.get())
                                                              : yyjson_mut_obj(mdoc.get());
    if (!fresh) return StoreResult::NoDocument;
    yyjson_mut_doc_set_root(mdoc.get(), fresh);
  }
  doc.reset();
  if (mutate(mdoc.get(), yyjson_mut_doc_get_root(mdoc.get())) == Change::Discard)
    return StoreResult::Done;
  if (exists && !usable && keep_corrupt(spec.name, p.path) != 0) return StoreResult::SaveFailed;
  return save_to(p, mdoc.get()) == 0 ? StoreResult::Done : StoreResult::SaveFailed;
}

DocPtr store_read(const char* name) { return DocPtr(id_load_json_file(name)); }

const char* json_as_str(yyjson_val* v) { return yyjson_is_str(v) ? yyjson_get_str(v) : ""; }
int64_t json_as_int(yyjson_val* v) { return yyjson_is_int(v) ? yyjson_get_sint(v) : 0; }
const char* json_as_str(yyjson_mut_val* v) { return yyjson_mut_is_str(v) ? yyjson_mut_get_str(v) : ""; }
int64_t json_as_int(yyjson_mut_val* v) { return yyjson_mut_is_int(v) ? yyjson_mut_get_sint(v) : 0; }

yyjson_val* json_member(yyjson_val* obj, const char* key) { return imm_get(obj, key); }
yyjson_mut_val* json_member(yyjson_mut_val* obj, const char* key) { return mut_get(obj, key); }
const char* json_str(yyjson_val* obj, const char* key) { return json_as_str(imm_get(obj, key)); }
int64_t json_int(yyjson_val* obj, const char* key) { return json_as_int(imm_get(obj, key)); }
yyjson_val* json_obj(yyjson_val* obj, const char* key) {
  yyjson_val* v = imm_get(obj, key);
  return yyjson_is_obj(v) ? v : nullptr;
}
yyjson_val* json_arr(yyjson_val* obj, const char* key) {
  yyjson_val* v = imm_get(obj, key);
  return yyjson_is_arr(v) ? v : nullptr;
}
const char* json_str(yyjson_mut_val* obj, const char* key) { return json_as_str(mut_get(obj, key)); }
int64_t json_int(yyjson_mut_val* obj, const char* key) { return json_as_int(mut_get(obj, key)); }
yyjson_mut_val* json_obj(yyjson_mut_val* obj, const char* key) {
  yyjson_mut_val* v = mut_get(obj, key);
  return yyjson_mut_is_obj(v) ? v : nullptr;
}
yyjson_mut_val* json_arr(yyjson_mut_val* obj, const char* key) {
  yyjson_mut_val* v = mut_get(obj, key);
  return yyjson_mut_is_arr(v) ? v : nullptr;
}

}  // namespace zeb

extern "C" {

void id_get_file_path(const char* name, char* out, size_t cap) {
  id_config cfg;
  id_get_config(&cfg);
  zeb_path_join(out, cap, cfg.data_dir, name);
}

yyjson_doc* id_load_json_file(const char* name) {
  char path[1024];
  id_get_file_path(name, path, sizeof path);
  size_t len = 0;
  char* text = zeb_file_read(path, &len, nullptr);
  if (!text) return nullptr;
  yyjson_doc* doc = yyjson_read(text, len, 0);
  std::free(text);
  return doc;
}

int id_save_json_file(const char* name, yyjson_mut_doc* doc) {
  if (!doc) return -1;
  zeb::StorePaths p;
  zeb::store_paths(name, &p);
  return zeb::save_to(p, doc);
}

int id_lock_acquire_wait(id_lock* lock, const char* name, int retries) {
  std::memset(lock, 0, sizeof *lock);
  lock->lock_handle = -1;
  char path[1024];
  id_get_file_path(name, path, sizeof path);
  zeb_snprintf(lock->lock_path, sizeof lock->lock_path, "%s.lock", path);
  int fd = zeb_lock_open(lock->lock_path);
  if (fd < 0) return -1;
  for (int tries = 0;; ++tries) {
    int r = zeb_lock_try(fd);
    if (r == 0) break;
    if (r != 1 || tries >= retries) {
      zeb_lock_close(fd);
      return -1;
    }
    zeb_sleep_ms(zeb::kRetrySleepMs);
  }
  lock->lock_handle = fd;
  lock->lock_held = 1;
  return 0;
}

int id_lock_acquire(id_lock* lock, const char* name) {
  return id_lock_acquire_wait(lock, name, zeb::kStoreRetries);
}

int id_lock_release(id_lock* lock) {
  if (!lock->lock_held) return 0;
  int rc = zeb_lock_close(lock->lock_handle);
  lock->lock_handle = -1;
  lock->lock_held = 0;
  return rc == 0 ? 1 : 0;
}

}  // extern "C"
