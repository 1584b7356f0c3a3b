#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace {

TEST(TempDataDir, LivesForItsScopeAndPutsEverythingBack) {
  const std::string cwd = std::filesystem::current_path().string();
  ScopedEnv preset("IDENTITY_DATA_DIR", "before");
  std::string root;
  {
    TempDataDir dir;
    root = dir.root();
    EXPECT_EQ(std::filesystem::current_path().string(), root);
    EXPECT_EQ(dir.data_dir(), root + "/data");
    EXPECT_TRUE(std::filesystem::is_directory(dir.data_dir()));
    EXPECT_STREQ(std::getenv("IDENTITY_DATA_DIR"), dir.data_dir().c_str());
    TempDataDir::write_file(dir.path("users.json"), std::string("{}\0x", 4));
    EXPECT_EQ(TempDataDir::read_file(dir.path("users.json")), std::string("{}\0x", 4));
    EXPECT_TRUE(TempDataDir::exists(dir.path("users.json")));
    EXPECT_FALSE(TempDataDir::exists(dir.path("none")));
    TempDataDir::write_file("config.json", "{}");  // relative to the working directory
    EXPECT_TRUE(TempDataDir::exists(root + "/config.json"));
  }
  EXPECT_EQ(std::filesystem::current_path().string(), cwd);
  EXPECT_STREQ(std::getenv("IDENTITY_DATA_DIR"), "before");
  EXPECT_FALSE(std::filesystem::exists(root));
}

TEST(ScopedEnv, UnsetsAndRestores) {
  ::unsetenv("ZEB_SCOPED");
  {
    ScopedEnv set("ZEB_SCOPED", "1");
    EXPECT_STREQ(std::getenv("ZEB_SCOPED"), "1");
    {
      ScopedEnv unset("ZEB_SCOPED", std::nullopt);
      EXPECT_EQ(std::getenv("ZEB_SCOPED"), nullptr);
    }
    EXPECT_STREQ(std::getenv("ZEB_SCOPED"), "1");
  }
  EXPECT_EQ(std::getenv("ZEB_SCOPED"), nullptr);
}

}  // namespace
