// Sign-in throttling: login_attempts.json holds one record per account ("acc_" +
// username), login_attempts_ip.json the failure events of the last 600 s of all
// client addresses, oldest first.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform.h"
#include "store.h"
#include "zeb_cgi.h"

namespace {

constexpr const char* kAccountsFile = "login_attempts.json";
constexpr const char* kAddressFile = "login_attempts_ip.json";
constexpr size_t kAccountsMaxBytes = 1048576;
constexpr size_t kAddressMaxBytes = 1048575;

constexpr int64_t kRunWindow = 600;
constexpr int32_t kStrikesBeforeLockout = 3;
constexpr int64_t kFirstLockout = 30;
constexpr int64_t kLockoutCap = 900;
constexpr int64_t kAddressWindow = 600;
constexpr int kAddressBudget = 20;

constexpr zeb::StoreSpec accounts_store(zeb::Missing missing) {
  return zeb::StoreSpec{kAccountsFile, zeb::kStoreRetries, YYJSON_TYPE_OBJ, missing};
}
constexpr zeb::StoreSpec kAddressStore{kAddressFile, zeb::kStoreRetries, YYJSON_TYPE_ARR,
                                       zeb::Missing::Empty};

struct AccountKey {
  char text[512];
  size_t len;
};

AccountKey account_key(const char* username) {
  AccountKey k;
  zeb_snprintf(k.text, sizeof k.text, "acc_%s", username);
  k.len = std::strlen(k.text);
  return k;
}

struct Attempts {
  int32_t count = 0;
  int32_t strikes = 0;
  int64_t locked_until = 0;
  int64_t last_ts = 0;
};

// rec may be null or of any type (all zeros). The counters are written as 64-bit
// integers but are 32-bit counts; a hand-edited wider value keeps its low bits.
template <typename Val>
Attempts attempts_of(Val* rec) {
  Attempts a;
  a.count = static_cast<int32_t>(zeb::json_int(rec, "count"));
  a.strikes = static_cast<int32_t>(zeb::json_int(rec, "strikes"));
  a.locked_until = zeb::json_int(rec, "locked_until");
  a.last_ts = zeb::json_int(rec, "last_ts");
  return a;
}

// Every member of that exact key, not just the first: a hand-edited duplicate must
// not come back into force once the first is gone.
void remove_account(yyjson_mut_val* root, const AccountKey& key) {
  yyjson_mut_obj_iter it = yyjson_mut_obj_iter_with(root);
  while (yyjson_mut_val* k = yyjson_mut_obj_iter_next(&it)) {
    if (yyjson_mut_equals_strn(k, key.text, key.len)) yyjson_mut_obj_iter_remove(&it);
  }
}

// Reads a store without its lock, refusing files outside 1..max bytes unparsed.
zeb::DocPtr read_limited(const char* name, size_t max) {
  char path[1024];
  id_get_file_path(name, path, sizeof path);
  size_t len = 0;
  char* text = zeb_file_read_max(path, max, &len, nullptr);
  zeb::DocPtr doc(text && len > 0 ? yyjson_read(text, len, 0) : nullptr);
  std::free(text);
  return doc;
}

Attempts load_account_attempts(const AccountKey& key) {
  zeb::DocPtr doc = read_limited(kAccountsFile, kAccountsMaxBytes);
  return attempts_of(zeb::json_member(doc ? yyjson_doc_get_root(doc.get()) : nullptr, key.text));
}

// Saturating, so that counters read from a hostile file cannot overflow.
int32_t plus_one(int32_t v) { return v < std::numeric_limits<int32_t>::max() ? v + 1 : v; }

int64_t lockout_seconds(int32_t strikes) {
  int64_t secs = kFirstLockout;
  for (int32_t s = kStrikesBeforeLockout; s < strikes && secs < kLockoutCap; ++s) secs *= 2;
  return std::min(secs, kLockoutCap);
}

Attempts after_failure(Attempts a, int64_t now) {
  a.count = plus_one(a.count);
  // Written as a comparison against now - window, since last_ts comes from the
  // file and now - last_ts could overflow.
  if (a.last_ts != 0 && a.last_ts < now - kRunWindow) {
    a.locked_until = 0;
    a.strikes = 1;
  } else {
    a.strikes = plus_one(a.strikes);
    // An account is open again from the second its lock names (id_login_allowed),
    // so a failure in that second must lock again rather than go free.
    if (a.strikes >= kStrikesBeforeLockout && a.locked_until <= now)
      a.locked_until = now + lockout_seconds(a.strikes);
  }
  a.last_ts = now;
  return a;
}

yyjson_mut_val* build_attempts(yyjson_mut_doc* doc, const Attempts& a) {
  yyjson_mut_val* obj = yyjson_mut_obj(doc);
  bool ok = obj && yyjson_mut_obj_add_sint(doc, obj, "count", a.count) &&
            yyjson_mut_obj_add_sint(doc, obj, "strikes", a.strikes) &&
            yyjson_mut_obj_add_sint(doc, obj, "locked_until", a.locked_until) &&
            yyjson_mut_obj_add_sint(doc, obj, "last_ts", a.last_ts);
  return ok ? obj : nullptr;
}

// False when the account store's lock was not obtained, in which case the address
// must not be recorded either.
bool record_account_failure(const char* username, const char* ip, int64_t now) {
  const AccountKey key = account_key(username);
  Attempts next;
  bool built = false;
  zeb::StoreResult r = zeb::store_update(
      accounts_store(zeb::Missing::Empty), [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
        // Read under the lock: two failures at once must not both count from the
        // same old record.
        next = after_failure(attempts_of(zeb::json_member(root, key.text)), now);
        yyjson_mut_val* rec = build_attempts(doc, next);
        yyjson_mut_val* k = yyjson_mut_strncpy(doc, key.text, key.len);
        if (!rec || !k) return zeb::Change::Discard;
        remove_account(root, key);
        built = yyjson_mut_obj_add(root, k, rec);
        return built ? zeb::Change::Save : zeb::Change::Discard;
      });
  if (r == zeb::StoreResult::LockFailed) return false;
  if (r == zeb::StoreResult::Done && built) {
    zeb::id_log_line("SECURITY: failed login for '%s' (attempt=%d strikes=%d)%s ip=%s", username,
                     next.count, next.strikes, now < next.locked_until ? " -> LOCKOUT" : "",
                     ip ? ip : "?");
  }
  return true;
}

void record_address_failure(const char* ip, int64_t now) {
  zeb::store_update(kAddressStore, [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    yyjson_mut_arr_iter it = yyjson_mut_arr_iter_with(root);
    while (yyjson_mut_val* ev = yyjson_mut_arr_iter_next(&it)) {
      yyjson_mut_val* ts = zeb::json_member(ev, "ts");
      if (!ts || zeb::json_as_int(ts) <= now - kAddressWindow) yyjson_mut_arr_iter_remove(&it);
    }
    yyjson_mut_val* ev = yyjson_mut_obj(doc);
    bool ok = ev && yyjson_mut_obj_add_sint(doc, ev, "ts", now) &&
              yyjson_mut_obj_add_strcpy(doc, ev, "ip", ip) && yyjson_mut_arr_append(root, ev);
    return ok ? zeb::Change::Save : zeb::Change::Discard;
  });
}

struct AddressWindow {
  int count = 0;
  int64_t oldest = 0;
};

AddressWindow address_window(const char* ip, int64_t now) {
  AddressWindow w;
  zeb::DocPtr doc = read_limited(kAddressFile, kAddressMaxBytes);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  const size_t ip_len = std::strlen(ip);
  size_t idx, max;
  yyjson_val* ev;
  yyjson_arr_foreach(root, idx, max, ev) {
    yyjson_val* ts = zeb::json_member(ev, "ts");
    yyjson_val* addr = zeb::json_member(ev, "ip");
    if (!ts || !yyjson_is_str(addr) || !yyjson_equals_strn(addr, ip, ip_len)) continue;
    int64_t t = zeb::json_as_int(ts);
    if (t <= now - kAddressWindow) continue;
    w.oldest = w.count == 0 ? t : std::min(w.oldest, t);
    ++w.count;
  }
  return w;
}

}  // namespace

extern "C" {

int id_login_allowed(const char* username, const char*, char* msg, size_t msg_cap) {
  const int64_t now = zeb_time_now();
  const bool has_msg = msg && msg_cap > 0;
  if (has_msg) msg[0] = '\0';
  if (!username || !*username) return 1;
  Attempts a = load_account_attempts(account_key(username));
  if (a.locked_until <= now) return 1;
  if (has_msg) {
    int64_t wait = std::min(a.locked_until - now, kLockoutCap);
    zeb_snprintf(msg, msg_cap,
                 "Account temporarily locked after repeated failures. Try again in %d s.",
                 static_cast<int>(wait));
  }
  return 0;
}

void id_login_failed(const char* username, const char* ip) {
  const int64_t now = zeb_time_now();
  if (username && *username && !record_account_failure(username, ip, now)) return;
  if (ip && *ip) record_address_failure(ip, now);
}

bool id_login_failed_and_throttled(const char* username, const char* ip) {
  id_login_failed(username, ip);
  return id_login_ip_over_budget(ip);
}

bool id_login_ip_over_budget(const char* ip) {
  if (!ip || !*ip) return false;
  return address_window(ip, zeb_time_now()).count >= kAddressBudget;
}

int id_login_ip_retry_after(const char* ip) {
  if (!ip || !*ip) return 0;
  const int64_t now = zeb_time_now();
  AddressWindow w = address_window(ip, now);
  if (w.count < kAddressBudget) return 0;
  // oldest > now - window, so this cannot overflow the way oldest + window could.
  int64_t wait = w.oldest - (now - kAddressWindow);
  return static_cast<int>(std::clamp<int64_t>(wait, 1, kAddressWindow));
}

void id_login_success(const char* username) {
  if (!username || !*username) return;
  const AccountKey key = account_key(username);
  // Missing::Fail: an unreadable store, or one whose top level is not an object, is
  // left exactly as it is.
  zeb::store_update(accounts_store(zeb::Missing::Fail), [&](yyjson_mut_doc*, yyjson_mut_val* root) {
    remove_account(root, key);
    return zeb::Change::Save;
  });
}

}  // extern "C"
