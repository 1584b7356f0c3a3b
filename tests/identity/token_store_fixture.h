// Shared by the tests of tokens.json: a fresh data directory with a fixed clock,
// helpers to write and inspect the store (and any other store file), and a way to
// run many processes at once.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "fault.h"
#include "store.h"
#include "temp_dir.h"

inline constexpr int64_t kNow = 1700000000;
inline int64_t g_fake_now = kNow;
inline int64_t fake_time() { return g_fake_now; }

// Any store file of the data directory by name, outside a fixture: for tables of
// cases and for forked children.
namespace store_file {

inline std::string path_of(const char* name) {
  char p[1024];
  id_get_file_path(name, p, sizeof p);
  return p;
}

// Writes the whole file, bypassing the lock.
inline void put(const char* name, const std::string& json) { TempDataDir::write_file(path_of(name), json); }

// The root of a store read lock-free; null when missing or not JSON.
struct Loaded {
  zeb::DocPtr doc;
  yyjson_val* root = nullptr;
};
inline Loaded load(const char* name) {
  Loaded l{zeb::store_read(name)};
  if (l.doc) l.root = yyjson_doc_get_root(l.doc.get());
  return l;
}

// The compact text of a value ("" for null).
inline std::string compact(yyjson_val* v) {
  if (!v) return "";
  size_t len = 0;
  zeb::JsonText text(yyjson_val_write(v, 0, &len), &std::free);
  return text ? std::string(text.get(), len) : "";
}

}  // namespace store_file

class TokenStoreTest : public TempDataDirTest {
 protected:
  TokenStoreTest() {
    g_fake_now = kNow;
    seam_.ops().time = fake_time;
  }

  // The seam, for faults that must not also undo the fake clock.
  zeb_platform_ops& platform() { return seam_.ops(); }

  std::string store_path() const { return dir.path("tokens.json"); }
  void write_store(const std::string& json) const { TempDataDir::write_file(store_path(), json); }
  std::string store_text() const { return TempDataDir::read_file(store_path()); }

  // The compact text of the whole store, or of one top-level member ("" when the
  // store or the member is missing).
  static std::string compact(yyjson_val* v) { return store_file::compact(v); }
  std::string store_json(const char* member = nullptr) const {
    store_file::Loaded l = store_file::load("tokens.json");
    return compact(member ? zeb::json_member(l.root, member) : l.root);
  }

  // Runs op and checks that the store keeps its text and was (or was not) saved
  // anew: every save replaces the file, so the inode tells.
  void expect_same_store(const std::function<void()>& op, bool saved) const {
    std::string before = store_text();
    ino_t inode = store_inode();
    op();
    EXPECT_EQ(store_text(), before);
    EXPECT_EQ(store_inode() != inode, saved);
  }

 private:
  ino_t store_inode() const {
    struct stat st {};
    return ::stat(store_path().c_str(), &st) == 0 ? st.st_ino : 0;
  }

  PlatformFault seam_;
};

// Forks n children that wait at a common start line and then run fn(i) each, so
// that all of them contend for the store at once. Returns the children's results
// in order (fn's result must lie in -100..100).
inline std::vector<int> run_at_once(int n, const std::function<int(int)>& fn) {
  int gate[2];
  if (::pipe(gate) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  std::vector<pid_t> pids;
  for (int i = 0; i < n; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      while (::read(gate[0], &c, 1) < 0) {
      }
      ::_exit(fn(i) + 100);
    }
    if (pid < 0) ADD_FAILURE() << "fork failed";
    pids.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // end of file at every child: all start together
  std::vector<int> results;
  for (pid_t pid : pids) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
      results.push_back(-1000);
      continue;
    }
    results.push_back(WEXITSTATUS(status) - 100);
  }
  return results;
}
