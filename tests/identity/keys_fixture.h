// Shared by the key and token tests: a fresh data directory with a forgotten key
// table, hand-made keys.json files, a fixed clock and the python side.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "crypto.h"
#include "fault.h"
#include "identity_common.h"
#include "keys_internal.h"
#include "platform.h"
#include "run_program.h"
#include "temp_dir.h"

namespace keys_test {

inline std::string b64url(const void* data, size_t len) {
  std::string out((len + 2) / 3 * 4 + 1, '\0');
  int n = zeb_base64url_encode(data, len, out.data(), out.size());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}
inline std::string b64url(const std::string& s) { return b64url(s.data(), s.size()); }

inline std::string b64url_decode(const std::string& text) {
  std::string out(text.size(), '\0');
  size_t n = 0;
  if (zeb_base64url_decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(out.data()),
                           out.size(), &n) != 0) {
    return "";
  }
  out.resize(n);
  return out;
}

// One element of a hand-made keys.json.
struct StoredKey {
  std::string kid;
  std::string der;  // raw PKCS#8 DER
  long long created = 1700000000;
  std::string status = "retired";
  std::string alg = "RS256";  // "" leaves the member out
};

inline StoredKey stored(const id_key_entry& k, const char* status = "retired",
                        long long created = 1700000000) {
  return StoredKey{k.kid, std::string(reinterpret_cast<const char*>(k.der), k.der_len), created,
                   status};
}

inline std::string keys_json(const std::string& active, const std::vector<StoredKey>& keys) {
  std::string s = "{\"active\":\"" + active + "\",\"keys\":[";
  for (size_t i = 0; i < keys.size(); ++i) {
    const StoredKey& k = keys[i];
    s += i ? "," : "";
    s += "{\"kid\":\"" + k.kid + "\",\"created\":" + std::to_string(k.created);
    if (!k.alg.empty()) s += ",\"alg\":\"" + k.alg + "\"";
    s += ",\"priv_der_b64\":\"" + b64url(k.der) + "\",\"status\":\"" + k.status + "\"}";
  }
  return s + "]}";
}

// A few keys made once per test process and reused, since each costs a key
// generation.
inline const id_key_entry& pool_key(int i) {
  static id_key_entry pool[3];
  static bool made[3];
  if (!made[i]) {
    EXPECT_EQ(id_key_generate(&pool[i]), 0);
    made[i] = true;
  }
  return pool[i];
}

// Runs the python side with the arguments and returns what it printed; a failing
// run fails the test.
inline std::string python(const std::string& args) {
  return command_output("python3 " ZEB_SOURCE_DIR "/tests/identity/jwt_interop.py " + args);
}

// Starts n processes that all run fn while the lock of `store` is held here, lets
// them go together by releasing it, and returns what each fn returned (written to
// a file under work_dir).
inline std::vector<std::string> race_behind_lock(const char* store, int n,
                                                 const std::function<std::string()>& fn,
                                                 const std::string& work_dir) {
  std::vector<std::string> results;
  id_lock lock;
  if (id_lock_acquire_wait(&lock, store, 0) != 0) {
    ADD_FAILURE() << "cannot lock " << store;
    return results;
  }
  std::vector<pid_t> children;
  for (int i = 0; i < n; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      std::string r = fn();
      FILE* f = std::fopen((work_dir + "/result" + std::to_string(i)).c_str(), "w");
      std::fwrite(r.data(), 1, r.size(), f);
      std::fclose(f);
      _exit(0);
    }
    EXPECT_GT(pid, 0);
    children.push_back(pid);
  }
  usleep(200 * 1000);  // every child now waits for the lock
  id_lock_release(&lock);
  for (pid_t pid : children) {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
  }
  for (int i = 0; i < n; ++i) {
    results.push_back(TempDataDir::read_file(work_dir + "/result" + std::to_string(i)));
  }
  return results;
}

// The clock of the platform seam, stopped at `now` while a FixedClock exists.
inline int64_t g_fixed_now = 0;
class FixedClock {
 public:
  explicit FixedClock(int64_t now) {
    g_fixed_now = now;
    fault_.ops().time = [] { return g_fixed_now; };
  }

 private:
  PlatformFault fault_;
};

// Each test starts like a fresh process: its own data directory, no key table.
class KeysTest : public TempDataDirTest {
 protected:
  void SetUp() override { zeb::keys_forget(); }
  void TearDown() override { zeb::keys_forget(); }
  void write_keys(const std::string& text) { TempDataDir::write_file(dir.path("keys.json"), text); }
  std::string read_keys() { return TempDataDir::read_file(dir.path("keys.json")); }
};

}  // namespace keys_test
