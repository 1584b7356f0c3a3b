#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fault.h"
#include "id_keys.h"
#include "identity_common.h"
#include "keys_fixture.h"

namespace {

class SecretKeyTest : public TempDataDirTest {
 protected:
  std::string path() { return dir.path("secret.key"); }
  // The secret as id_get_secret_key gives it, "(failed)" on failure.
  static std::string secret() {
    unsigned char out[33];
    std::memset(out, 0xa5, sizeof out);
    if (id_get_secret_key(out) != 0) return "(failed)";
    EXPECT_EQ(out[32], 0xa5) << "wrote past 32 bytes";
    return std::string(reinterpret_cast<char*>(out), 32);
  }
};

TEST_F(SecretKeyTest, MissingOrShortFileIsCreatedOnceWithMode0600) {
  for (const char* start : {"", "short"}) {
    SCOPED_TRACE(start);
    if (*start) TempDataDir::write_file(path(), std::string(31, 'x'));
    std::string first = secret();
    ASSERT_EQ(first.size(), 32u);
    EXPECT_NE(first, std::string(31, 'x') + "x");
    EXPECT_EQ(TempDataDir::read_file(path()), first);
    struct stat st;
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(secret(), first);
    EXPECT_FALSE(TempDataDir::exists(path() + ".tmp"));
    ::unlink(path().c_str());
  }
}

TEST_F(SecretKeyTest, LongerFileGivesItsFirst32BytesAndStays) {
  std::string forty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
  TempDataDir::write_file(path(), forty);
  EXPECT_EQ(secret(), forty.substr(0, 32));
  EXPECT_EQ(TempDataDir::read_file(path()), forty);
}

TEST_F(SecretKeyTest, FailingStepFailsAndLeavesNoFile) {
  std::vector<SaveFault> cases(std::begin(kSaveFaults), std::end(kSaveFaults));
  cases.push_back({"random", [](zeb_platform_ops& o) { o.getrandom = fail_getrandom; }});
  for (const SaveFault& c : cases) {
    SCOPED_TRACE(c.what);
    {
      PlatformFault fault;
      c.inject(fault.ops());
      unsigned char out[32];
      std::memset(out, 0xa5, sizeof out);
      EXPECT_EQ(id_get_secret_key(out), -1);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 32), std::string(32, '\0'));
    }
    EXPECT_FALSE(TempDataDir::exists(path()));
    EXPECT_FALSE(TempDataDir::exists(path() + ".tmp"));
  }
  EXPECT_EQ(secret().size(), 32u) << "works again once the fault is gone";
}

// Processes that find no secret together all end with the one secret on disk: the
// lock makes the later ones read what the first wrote.
TEST_F(SecretKeyTest, ProcessesStartingTogetherShareOneSecret) {
  std::vector<std::string> secrets = keys_test::race_behind_lock("secret.key", 3, secret, dir.root());
  std::string on_disk = TempDataDir::read_file(path());
  ASSERT_EQ(on_disk.size(), 32u);
  EXPECT_EQ(secrets, std::vector<std::string>(3, on_disk));
}

}  // namespace
