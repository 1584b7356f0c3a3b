#include "store.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "fault.h"
#include "temp_dir.h"

namespace {

using zeb::Change;
using zeb::Missing;
using zeb::StoreResult;
using zeb::StoreSpec;

const StoreSpec kArr{"things.json", 2, YYJSON_TYPE_ARR, Missing::Empty};

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

StoreResult append(const StoreSpec& spec, const char* text) {
  return zeb::store_update(spec, [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    yyjson_mut_arr_add_strcpy(doc, root, text);
    return Change::Save;
  });
}

class StoreTest : public TempDataDirTest {};

TEST_F(StoreTest, UpdateWritesPrettyStoreAndLeavesOnlyStoreAndLock) {
  ASSERT_EQ(append(kArr, "a"), StoreResult::Done);
  ASSERT_EQ(append(kArr, "b"), StoreResult::Done);
  EXPECT_EQ(TempDataDir::read_file(dir.path("things.json")), "[\n    \"a\",\n    \"b\"\n]");
  EXPECT_EQ(listing(dir.data_dir()), (std::vector<std::string>{"things.json", "things.json.lock"}));
}

TEST_F(StoreTest, DiscardWritesNothing) {
  auto rc = zeb::store_update(kArr, [](yyjson_mut_doc*, yyjson_mut_val*) { return Change::Discard; });
  EXPECT_EQ(rc, StoreResult::Done);
  EXPECT_FALSE(TempDataDir::exists(dir.path("things.json")));
}

TEST_F(StoreTest, MissingFailAndWrongRootType) {
  StoreSpec must_exist = kArr;
  must_exist.missing = Missing::Fail;
  bool called = false;
  auto rc = zeb::store_update(must_exist, [&](yyjson_mut_doc*, yyjson_mut_val*) {
    called = true;
    return Change::Save;
  });
  EXPECT_EQ(rc, StoreResult::NoDocument);
  EXPECT_FALSE(called);

  // A valid document of the wrong shape starts over as an empty array; the old
  // content is kept aside first.
  TempDataDir::write_file(dir.path("things.json"), "{\"x\":1}");
  ASSERT_EQ(append(kArr, "a"), StoreResult::Done);
  EXPECT_EQ(TempDataDir::read_file(dir.path("things.json")), "[\n    \"a\"\n]");
}

TEST_F(StoreTest, CorruptStoreIsKeptAndLogged) {
  TempDataDir::write_file(dir.path("things.json"), "[\"a\", tru");
  ASSERT_EQ(append(kArr, "b"), StoreResult::Done);
  EXPECT_EQ(TempDataDir::read_file(dir.path("things.json")), "[\n    \"b\"\n]");
  std::vector<std::string> names = listing(dir.data_dir());
  auto kept = std::find_if(names.begin(), names.end(),
                           [](const std::string& n) { return n.rfind("things.json.corrupt-", 0) == 0; });
  ASSERT_NE(kept, names.end());
  EXPECT_EQ(TempDataDir::read_file(dir.path(*kept)), "[\"a\", tru");
  std::string log = TempDataDir::read_file(dir.path("server.log"));
  EXPECT_NE(log.find("things.json was unreadable; kept as"), std::string::npos) << log;
  // A second corruption in the same second gets a name of its own.
  TempDataDir::write_file(dir.path("things.json"), "garbage");
  ASSERT_EQ(append(kArr, "c"), StoreResult::Done);
  names = listing(dir.data_dir());
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) { return n.find(".corrupt-") != std::string::npos; }),
            2);
}

TEST_F(StoreTest, FailingSaveStepLeavesOldStoreIntactAndNoTemporary) {
  ASSERT_EQ(append(kArr, "old"), StoreResult::Done);
  const std::string before = TempDataDir::read_file(dir.path("things.json"));
  for (const SaveFault& c : kSaveFaults) {
    SCOPED_TRACE(c.what);
    {
      PlatformFault f;
      c.inject(f.ops());
      EXPECT_EQ(append(kArr, "new"), StoreResult::SaveFailed);
    }
    EXPECT_EQ(TempDataDir::read_file(dir.path("things.json")), before);
    EXPECT_FALSE(TempDataDir::exists(dir.path("things.json.tmp")));
  }
  // The public save reports the same failure.
  zeb::MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_doc_set_root(doc.get(), yyjson_mut_arr(doc.get()));
  PlatformFault f;
  f.ops().rename = fail_rename;
  EXPECT_EQ(id_save_json_file("things.json", doc.get()), -1);
  EXPECT_EQ(id_save_json_file("things.json", nullptr), -1);
}

TEST_F(StoreTest, ReadOnlyDataDirFailsSave) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  ASSERT_EQ(append(kArr, "old"), StoreResult::Done);
  chmod(dir.data_dir().c_str(), 0500);
  EXPECT_NE(append(kArr, "new"), StoreResult::Done);
  chmod(dir.data_dir().c_str(), 0700);
}

TEST_F(StoreTest, FilesArePrivateEvenUnderOpenUmask) {
  mode_t old = umask(0);
  std::string sub = dir.root() + "/fresh/data";
  setenv("IDENTITY_DATA_DIR", sub.c_str(), 1);
  ASSERT_EQ(append(kArr, "a"), StoreResult::Done);
  umask(old);
  struct Case {
    std::string path;
    mode_t mode;
  } cases[] = {{sub, 0700}, {sub + "/things.json", 0600}, {sub + "/things.json.lock", 0600}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    struct stat st{};
    ASSERT_EQ(stat(c.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode);
  }
}

TEST_F(StoreTest, LoadMissingInvalidAndValid) {
  EXPECT_EQ(id_load_json_file("things.json"), nullptr);
  TempDataDir::write_file(dir.path("things.json"), "[1,]");
  EXPECT_EQ(id_load_json_file("things.json"), nullptr);
  TempDataDir::write_file(dir.path("things.json"), "[1]");
  zeb::DocPtr doc(id_load_json_file("things.json"));
  ASSERT_TRUE(doc);
  EXPECT_EQ(yyjson_arr_size(yyjson_doc_get_root(doc.get())), 1u);
}

TEST_F(StoreTest, LockHeldElsewhereFailsAfterExactlyTheRetries) {
  id_lock held;
  ASSERT_EQ(id_lock_acquire_wait(&held, "things.json", 0), 0);
  EXPECT_EQ(held.lock_held, 1);
  EXPECT_EQ(std::string(held.lock_path), dir.path("things.json.lock"));

  struct Case {
    int retries;
    int min_ms, max_ms;
  } cases[] = {{0, 0, 4}, {20, 100, 1000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.retries);
    id_lock other;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(id_lock_acquire_wait(&other, "things.json", c.retries), -1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, c.min_ms);
    EXPECT_LE(ms, c.max_ms);
    EXPECT_EQ(other.lock_held, 0);
    EXPECT_EQ(id_lock_release(&other), 0);
  }
  // The update cycle gives up the same way and writes nothing.
  EXPECT_EQ(append(kArr, "x"), StoreResult::LockFailed);
  EXPECT_FALSE(TempDataDir::exists(dir.path("things.json")));

  EXPECT_EQ(id_lock_release(&held), 1);
  EXPECT_EQ(id_lock_release(&held), 0);
  EXPECT_EQ(append(kArr, "x"), StoreResult::Done);
}

TEST_F(StoreTest, LockFromAnotherProcessIsWaitedFor) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  if (pid == 0) {
    id_lock l;
    if (id_lock_acquire_wait(&l, "things.json", 0) != 0) _exit(1);
    (void)!write(ready[1], "x", 1);
    usleep(100 * 1000);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  id_lock mine;
  EXPECT_EQ(id_lock_acquire_wait(&mine, "things.json", 0), -1);
  EXPECT_EQ(id_lock_acquire_wait(&mine, "things.json", 2000), 0);
  id_lock_release(&mine);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(StoreTest, ConcurrentUpdatesLoseNothing) {
  const int kProcs = 8, kEach = 10;
  StoreSpec spec = kArr;
  spec.retries = zeb::kStoreRetries;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0; i < kEach; ++i) {
        std::string v = std::to_string(p) + "-" + std::to_string(i);
        if (append(spec, v.c_str()) != StoreResult::Done) _exit(1);
      }
      _exit(0);
    }
    kids.push_back(pid);
  }
  // Lock-free readers must only ever see a whole document.
  int reads = 0;
  for (bool running = true; running;) {
    zeb::DocPtr doc(id_load_json_file("things.json"));
    if (TempDataDir::exists(dir.path("things.json"))) {
      EXPECT_TRUE(doc) << "a reader saw a half-written store";
      ++reads;
    }
    running = false;
    for (pid_t k : kids) running |= waitpid(k, nullptr, WNOHANG) == 0;
  }
  for (pid_t k : kids) waitpid(k, nullptr, 0);
  zeb::DocPtr doc(id_load_json_file("things.json"));
  ASSERT_TRUE(doc);
  EXPECT_EQ(yyjson_arr_size(yyjson_doc_get_root(doc.get())), static_cast<size_t>(kProcs * kEach));
}

TEST(JsonRules, FirstMemberCountsAndWrongTypesReadAsEmpty) {
  const char* text = R"({"s":"one","s":"two","n":"5","i":-7,"big":9007199254740993,"o":[],"a":[1],"f":1.5})";
  zeb::DocPtr doc(yyjson_read(text, strlen(text), 0));
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  zeb::MutDocPtr mdoc(yyjson_doc_mut_copy(doc.get(), nullptr));
  yyjson_mut_val* mroot = yyjson_mut_doc_get_root(mdoc.get());
  EXPECT_STREQ(zeb::json_str(root, "s"), "one");
  EXPECT_STREQ(zeb::json_str(mroot, "s"), "one");
  EXPECT_STREQ(zeb::json_str(root, "i"), "");
  EXPECT_STREQ(zeb::json_str(root, "missing"), "");
  EXPECT_EQ(zeb::json_int(root, "n"), 0);
  EXPECT_EQ(zeb::json_int(root, "i"), -7);
  EXPECT_EQ(zeb::json_int(mroot, "big"), 9007199254740993LL);
  EXPECT_EQ(zeb::json_int(root, "f"), 0);
  EXPECT_EQ(zeb::json_obj(root, "o"), nullptr);
  EXPECT_NE(zeb::json_arr(root, "a"), nullptr);
  EXPECT_EQ(zeb::json_obj(mroot, "a"), nullptr);
  EXPECT_NE(zeb::json_arr(mroot, "a"), nullptr);
  EXPECT_EQ(zeb::json_str(static_cast<yyjson_val*>(nullptr), "s"), std::string());
}

}  // namespace
