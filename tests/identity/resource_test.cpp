// Store operations repeated many times in one process leave no descriptor open and
// keep the resident set flat: every lock, file and document is released on every
// path out of an operation, the failing ones included.
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "fault.h"
#include "id_keys.h"
#include "identity_common.h"
#include "keys_internal.h"
#include "temp_dir.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define ZEB_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEB_UNDER_ASAN 1
#endif
#endif

#ifdef ZEB_UNDER_ASAN
// Each store cycle is several times slower here; LeakSanitizer checks the memory.
constexpr int kScaleDown = 10;
constexpr bool kMeasureMemory = false;  // the allocator's quarantine grows the resident set by design
#else
constexpr int kScaleDown = 1;
constexpr bool kMeasureMemory = true;
#endif
constexpr int kMany = 10000;
constexpr int kFewer = 2000;  // for the operations that save more than twice a round
constexpr int kWarmUp = 200;
constexpr long kMemorySlack = 1024 * 1024;

int open_descriptors() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

long resident_bytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  long size = 0, resident = -1;
  if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = -1;
  std::fclose(f);
  return resident * sysconf(_SC_PAGESIZE);
}

class ResourceTest : public TempDataDirTest {
 protected:
  void TearDown() override { zeb::keys_forget(); }
};

TEST_F(ResourceTest, RepeatedOperationsKeepDescriptorsAndMemoryFlat) {
  char user_id[64], msg[128];
  ASSERT_EQ(id_user_create("alice", "correct horse battery", "a@x.test", user_id, sizeof user_id), 0);
  char client_id[64], secret[64];
  ASSERT_EQ(id_client_create("RP", "https://rp.test/cb", nullptr, client_id, sizeof client_id, secret, sizeof secret,
                             false, msg, sizeof msg),
            0)
      << msg;
  ASSERT_EQ(id_keys_load_or_create(), 0);
  // A store that does not parse, and a lock held elsewhere: the refused paths must
  // release what they took as well.
  TempDataDir::write_file(dir.path("revoked.json"), "{\"broken");
  id_lock held;
  ASSERT_EQ(id_lock_acquire_wait(&held, "consents.json", 0), 0);
  PlatformFault fault;
  fault.ops().sleep_ms = no_sleep;
  // Flushing to the disk takes neither descriptors nor memory, and at 10000 saves
  // its time would be most of the run.
  fault.ops().fsync = [](int) { return 0; };

  struct Case {
    const char* what;
    int times;
    std::function<bool()> op;  // true when the operation did what it should
  } cases[] = {
      {"session create, verify, delete", kMany,
       [] {
         char sid[64], uid[64], name[64];
         return id_session_create("usr_a", "alice", sid, sizeof sid) == 0 &&
                id_session_verify(sid, uid, sizeof uid, name, sizeof name) && id_session_delete(sid) == 0 &&
                !id_session_verify(sid, nullptr, 0, nullptr, 0);
       }},
      {"user lookup", kMany,
       [] {
         id_user u;
         return id_user_find_by_username("alice", &u) && !id_user_find_by_username("nobody", &u);
       }},
      {"client lookup", kMany,
       [&] {
         id_client c;
         return id_client_find_by_id(client_id, &c) && !id_client_find_by_id("client_nobody", &c);
       }},
      {"keys load", kMany,
       [] {
         zeb::keys_forget();
         char kid[24];
         return id_keys_load_or_create() == 0 && id_keys_get_active(nullptr, nullptr, kid, sizeof kid) == 0;
       }},
      {"audit record and prune", kFewer,
       [] { return id_audit_record("signout", "usr_a", "alice", "192.0.2.7", "") == 0 && id_audit_prune(20) >= 0; }},
      {"refresh token create and rotate", kFewer,
       [&] {
         char rt[128], next[128];
         return id_refresh_token_create("usr_a", "alice", client_id, "openid", rt, sizeof rt) == 0 &&
                id_refresh_token_rotate(rt, client_id, next, sizeof next, nullptr) == 0 &&
                id_refresh_token_revoke_by_user("usr_a") >= 0;
       }},
      {"revocation on a broken store", kMany, [] { return id_revoke_is_jti("jti_x") == false; }},
      {"consent change behind a held lock", kMany,
       [&] { return id_consent_set("usr_a", client_id, "openid") != 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int i = 0; i < kWarmUp; ++i) ASSERT_TRUE(c.op()) << "warm-up " << i;
    int fds_before = open_descriptors();
    long rss_before = resident_bytes();
    const int times = c.times / kScaleDown;
    for (int i = 0; i < times; ++i) ASSERT_TRUE(c.op()) << "iteration " << i;
    int fds_after = open_descriptors();
    long rss_after = resident_bytes();
    std::printf("[ figures  ] %-36s %5d times: descriptors %d -> %d, resident %ld -> %ld KiB\n", c.what,
                times, fds_before, fds_after, rss_before / 1024, rss_after / 1024);
    EXPECT_GT(fds_before, 0);
    EXPECT_EQ(fds_after, fds_before);
    if (kMeasureMemory) {
      EXPECT_LE(rss_after - rss_before, kMemorySlack);
    }
  }
  id_lock_release(&held);
}

}  // namespace
