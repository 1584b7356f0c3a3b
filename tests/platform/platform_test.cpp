#include "platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fault.h"

namespace {

struct TmpDir {
  std::string dir;
  TmpDir() {
    char tmpl[] = "/tmp/zeb-plat-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~TmpDir() { std::system(("rm -rf '" + dir + "'").c_str()); }
  std::string at(const char* name) const { return dir + "/" + name; }
};

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

TEST(Lock, SecondDescriptorConflictsUntilReleased) {
  TmpDir t;
  std::string path = t.at("s.lock");
  int a = zeb_lock_open(path.c_str());
  int b = zeb_lock_open(path.c_str());
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(zeb_lock_try(a), 0);
  EXPECT_EQ(zeb_lock_try(b), 1);
  // Closing an unrelated descriptor of the same file must not drop a's lock.
  int c = zeb_lock_open(path.c_str());
  zeb_lock_close(c);
  EXPECT_EQ(zeb_lock_try(b), 1);
  EXPECT_EQ(zeb_lock_close(a), 0);
  EXPECT_EQ(zeb_lock_try(b), 0);
  EXPECT_EQ(zeb_lock_close(b), 0);
}

TEST(Lock, ChildProcessSeesTheLock) {
  TmpDir t;
  std::string path = t.at("s.lock");
  int a = zeb_lock_open(path.c_str());
  ASSERT_EQ(zeb_lock_try(a), 0);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = zeb_lock_open(path.c_str());
    _exit(zeb_lock_try(fd) == 1 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  zeb_lock_close(a);
}

TEST(Replace, WritesWholeFileWithPrivateMode) {
  TmpDir t;
  mode_t old = umask(0);
  std::string path = t.at("s.json"), tmp = t.at("s.json.tmp");
  ASSERT_EQ(zeb_file_replace(path.c_str(), tmp.c_str(), "{}", 2), 0);
  umask(old);
  EXPECT_EQ(slurp(path), "{}");
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(access(tmp.c_str(), F_OK), 0);
}

TEST(Replace, AnyFailingStepKeepsOldFileAndRemovesTemporary) {
  for (const SaveFault& c : kSaveFaults) {
    SCOPED_TRACE(c.what);
    TmpDir t;
    std::string path = t.at("s.json"), tmp = t.at("s.json.tmp");
    ASSERT_EQ(zeb_file_replace(path.c_str(), tmp.c_str(), "old", 3), 0);
    {
      PlatformFault f;
      c.inject(f.ops());
      EXPECT_EQ(zeb_file_replace(path.c_str(), tmp.c_str(), "new!", 4), -1);
    }
    EXPECT_EQ(slurp(path), "old");
    EXPECT_NE(access(tmp.c_str(), F_OK), 0);
  }
}

TEST(Replace, ShortWritesAreContinued) {
  TmpDir t;
  PlatformFault f;
  f.ops().write = [](int fd, const void* b, size_t n) {
    return zeb_platform_default.write(fd, b, n > 3 ? 3 : n);
  };
  std::string path = t.at("s"), tmp = t.at("s.tmp"), data(1000, 'x');
  ASSERT_EQ(zeb_file_replace(path.c_str(), tmp.c_str(), data.data(), data.size()), 0);
  EXPECT_EQ(slurp(path), data);
}

TEST(ReadKeep, MissingUnreadableAndKeptFiles) {
  TmpDir t;
  bool exists = true;
  size_t len = 99;
  EXPECT_EQ(zeb_file_read(t.at("none").c_str(), &len, &exists), nullptr);
  EXPECT_FALSE(exists);
  EXPECT_EQ(len, 0u);
  std::string path = t.at("f"), tmp = t.at("f.tmp");
  zeb_file_replace(path.c_str(), tmp.c_str(), "abc", 3);
  char* text = zeb_file_read(path.c_str(), &len, &exists);
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(exists);
  EXPECT_EQ(std::string(text, len), "abc");
  EXPECT_EQ(text[len], '\0');
  std::free(text);
  ASSERT_EQ(zeb_file_keep(path.c_str(), t.at("kept").c_str()), 0);
  EXPECT_EQ(slurp(t.at("kept")), "abc");
  EXPECT_EQ(slurp(path), "abc");
}

TEST(Random, FillsAndFailsWithoutFallback) {
  unsigned char a[64] = {0}, b[64] = {0};
  ASSERT_EQ(zeb_random_fill(a, sizeof a), 0);
  ASSERT_EQ(zeb_random_fill(b, sizeof b), 0);
  EXPECT_NE(std::string(reinterpret_cast<char*>(a), 64), std::string(reinterpret_cast<char*>(b), 64));
  PlatformFault f;
  f.ops().getrandom = fail_getrandom;
  EXPECT_EQ(zeb_random_fill(a, sizeof a), -1);
  // Short reads are completed, interrupted ones retried.
  static int calls;
  calls = 0;
  f.ops().getrandom = [](void* p, size_t n) -> long {
    if (calls++ % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    return zeb_platform_default.getrandom(p, n > 5 ? 5 : n);
  };
  EXPECT_EQ(zeb_random_fill(a, sizeof a), 0);
}

TEST(Text, AsciiCaseInsensitiveCompare) {
  EXPECT_EQ(zeb_ascii_casecmp("Secure", "sECURE"), 0);
  EXPECT_LT(zeb_ascii_casecmp("a", "b"), 0);
  EXPECT_NE(zeb_ascii_casecmp("\xC3\x84", "\xC3\xA4"), 0);  // non-ASCII bytes are not folded
  EXPECT_NE(zeb_ascii_casecmp("abc", "ab"), 0);
}

}  // namespace
