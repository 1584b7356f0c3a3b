#include "temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

TempDataDir::TempDataDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  std::string pattern = base + "/zeb-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) {
    ADD_FAILURE() << "mkdtemp failed under " << base;
    return;
  }
  root_ = std::filesystem::canonical(buf.data()).string();
  data_dir_ = root_ + "/data";
  if (::mkdir(data_dir_.c_str(), 0700) != 0) ADD_FAILURE() << "cannot create " << data_dir_;
  old_cwd_ = std::filesystem::current_path().string();
  if (::chdir(root_.c_str()) != 0) ADD_FAILURE() << "cannot enter " << root_;
  data_env_.emplace("IDENTITY_DATA_DIR", data_dir_);
}

TempDataDir::~TempDataDir() {
  if (root_.empty()) return;
  if (::chdir(old_cwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_cwd_;
  data_env_.reset();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

void TempDataDir::write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
  f.close();
  if (!f) ADD_FAILURE() << "cannot write " << path;
}

std::string TempDataDir::read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    ADD_FAILURE() << "cannot read " << path;
    return "";
  }
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool TempDataDir::exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}
