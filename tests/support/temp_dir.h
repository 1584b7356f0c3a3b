// A fresh working directory with a data directory inside, for one test.
#pragma once
#include <optional>
#include <string>

#include <gtest/gtest.h>

// Sets (or, for nullopt, unsets) one environment variable until the end of the
// scope, then puts back what was there before.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Creates <TMPDIR or /tmp>/zeb-test-XXXXXX with a "data" directory in it, makes it
// the process's working directory (the configuration is read from there) and points
// IDENTITY_DATA_DIR at the data directory. The destructor restores the previous
// working directory and IDENTITY_DATA_DIR and removes the whole tree.
class TempDataDir {
 public:
  TempDataDir();
  ~TempDataDir();
  TempDataDir(const TempDataDir&) = delete;
  TempDataDir& operator=(const TempDataDir&) = delete;

  // The working directory (absolute).
  const std::string& root() const { return root_; }
  // The data directory (absolute).
  const std::string& data_dir() const { return data_dir_; }
  // The absolute path of file `name` in the data directory.
  std::string path(const std::string& name) const { return data_dir_ + "/" + name; }

  // Writes data to the file at path, replacing it; fails the test when it cannot.
  static void write_file(const std::string& path, const std::string& data);
  // The whole content of the file at path; fails the test and returns "" when it
  // cannot be read.
  static std::string read_file(const std::string& path);
  static bool exists(const std::string& path);

 private:
  std::string root_;
  std::string data_dir_;
  std::string old_cwd_;
  std::optional<ScopedEnv> data_env_;
};

// A fixture that gives each test its own TempDataDir as `dir`.
class TempDataDirTest : public ::testing::Test {
 protected:
  TempDataDir dir;
};
