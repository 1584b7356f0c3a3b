// The audit log, audit_log.json: an array of events, oldest first, holding at
// most the newest kAuditCap.
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "store.h"

namespace {

constexpr const char* kAuditFile = "audit_log.json";
constexpr size_t kAuditCap = 2000;
constexpr size_t kDefaultListLimit = 200;
constexpr zeb::StoreSpec kAuditStore{kAuditFile, zeb::kStoreRetries, YYJSON_TYPE_ARR,
                                     zeb::Missing::Empty};

struct AuditEvent {
  int64_t ts;
  const char* event;
  const char* user_id;
  const char* username;
  const char* ip;
  const char* detail;
};

// The event object with its members in their stored order, texts copied; null
// when out of memory.
yyjson_mut_val* build_event(yyjson_mut_doc* doc, const AuditEvent& e) {
  yyjson_mut_val* obj = yyjson_mut_obj(doc);
  bool ok = obj && yyjson_mut_obj_add_sint(doc, obj, "ts", e.ts) &&
            yyjson_mut_obj_add_strcpy(doc, obj, "event", e.event) &&
            yyjson_mut_obj_add_strcpy(doc, obj, "user_id", e.user_id) &&
            yyjson_mut_obj_add_strcpy(doc, obj, "username", e.username) &&
            yyjson_mut_obj_add_strcpy(doc, obj, "ip", e.ip) &&
            yyjson_mut_obj_add_strcpy(doc, obj, "detail", e.detail);
  return ok ? obj : nullptr;
}

// Removes the oldest events until at most keep remain; returns how many went.
size_t drop_oldest(yyjson_mut_val* events, size_t keep) {
  size_t n = yyjson_mut_arr_size(events);
  if (n <= keep) return 0;
  yyjson_mut_arr_remove_range(events, 0, n - keep);
  return n - keep;
}

const char* or_empty(const char* s) { return s ? s : ""; }

}  // namespace

extern "C" {

int id_audit_record(const char* event, const char* user_id, const char* username,
                    const char* ip, const char* detail) {
  if (!event || !*event) return -1;
  AuditEvent e{zeb_time_now(), event,          or_empty(user_id), or_empty(username),
               ip && *ip ? ip : "?", or_empty(detail)};
  bool built = false;
  zeb::StoreResult r = zeb::store_update(kAuditStore, [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    yyjson_mut_val* obj = build_event(doc, e);
    built = obj && yyjson_mut_arr_append(root, obj);
    if (!built) return zeb::Change::Discard;
    drop_oldest(root, kAuditCap);
    return zeb::Change::Save;
  });
  // Callers go on whatever happens here, so the operator learns of a lost event
  // only from the server log.
  switch (r) {
    case zeb::StoreResult::Done:
      if (built) return 0;
      [[fallthrough]];
    case zeb::StoreResult::NoDocument:
      zeb::id_log_line("AUDIT: out of memory building audit_log.json (event=%s)", event);
      return -1;
    case zeb::StoreResult::LockFailed:
      zeb::id_log_line("AUDIT: lock failed for audit_log.json (event=%s) \xE2\x80\x94 sign-in unaffected",
                       event);
      return -1;
    case zeb::StoreResult::SaveFailed:
      break;
  }
  zeb::id_log_line("AUDIT: save failed for audit_log.json (event=%s) \xE2\x80\x94 sign-in unaffected",
                   event);
  return -1;
}

char* id_audit_list_json(int max_events) {
  size_t limit = max_events < 1 ? kDefaultListLimit : static_cast<size_t>(max_events);
  zeb::DocPtr doc = zeb::store_read(kAuditFile);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  zeb::MutDocPtr out(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* list = out ? yyjson_mut_arr(out.get()) : nullptr;
  if (!list) return strdup("[]");
  yyjson_mut_doc_set_root(out.get(), list);

  size_t n = yyjson_arr_size(root);
  size_t first = n > limit ? n - limit : 0;
  size_t idx, max;
  yyjson_val* v;
  yyjson_arr_foreach(root, idx, max, v) {
    // Visited oldest first: prepending puts the newest at the front. A position
    // that is not an object still counts against the limit.
    if (idx < first || !yyjson_is_obj(v)) continue;
    yyjson_val* ip = zeb::json_member(v, "ip");
    AuditEvent e{zeb::json_int(v, "ts"),         zeb::json_str(v, "event"),
                 zeb::json_str(v, "user_id"),    zeb::json_str(v, "username"),
                 yyjson_is_str(ip) ? yyjson_get_str(ip) : "?", zeb::json_str(v, "detail")};
    yyjson_mut_val* obj = build_event(out.get(), e);
    if (!obj || !yyjson_mut_arr_prepend(list, obj)) return strdup("[]");
  }
  char* text = yyjson_mut_write(out.get(), 0, nullptr);
  return text ? text : strdup("[]");
}

int id_audit_count(void) {
  zeb::DocPtr doc = zeb::store_read(kAuditFile);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  return static_cast<int>(yyjson_arr_size(root));
}

int id_audit_prune(int keep) {
  size_t kept = keep < 0 ? 0 : static_cast<size_t>(keep);
  size_t removed = 0;
  int rc = zeb::store_update_rc(kAuditStore, [&](yyjson_mut_doc*, yyjson_mut_val* root) {
    // A missing or unreadable log reaches here as an empty array: nothing to do,
    // and the unreadable file stays as it is.
    removed = drop_oldest(root, kept);
    return removed ? zeb::Change::Save : zeb::Change::Discard;
  });
  return rc == 0 ? static_cast<int>(removed) : -1;
}

}  // extern "C"
