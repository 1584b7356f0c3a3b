// Shared by the fuzzing harnesses: a private working and data directory per fuzzing
// process, a clock that never moves, store files written from the input, and the
// checks that turn a silent fault into a crash libFuzzer reports.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "platform.h"

namespace fuzz {

// Tokens in the seed corpora were minted at this second, so they stay valid for
// as long as the clock is held here.
constexpr int64_t kNow = 1700000000;

inline int64_t fixed_now() { return kNow; }

// Stops the process the way a sanitizer would, so that a broken contract counts
// as a crash and leaves its input behind.
#define FUZZ_CHECK(cond)                                                          \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

inline std::string& root_dir() {
  static std::string root;
  return root;
}

inline std::string data_path(const char* name) { return root_dir() + "/data/" + name; }

// Makes <TMPDIR or /tmp>/zeb-fuzz-XXXXXX with data/ inside the working directory
// (the configuration is read from there), points IDENTITY_DATA_DIR at it, fixes
// the clock and removes the tree when the fuzzer exits normally.
inline void setup() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zeb-fuzz-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) std::abort();
  root_dir() = buf.data();
  if (chdir(root_dir().c_str()) != 0) std::abort();
  std::string data = root_dir() + "/data";
  if (mkdir(data.c_str(), 0700) != 0) std::abort();
  setenv("IDENTITY_DATA_DIR", data.c_str(), 1);
  g_platform.time = fixed_now;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(root_dir(), ec);
  });
}

inline void write_file(const std::string& path, const void* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();
}

inline void write_store(const char* name, const void* data, size_t size) {
  write_file(data_path(name), data, size);
}

// Splits the input at NUL bytes into at most max_fields fields; the last field
// keeps the rest of the input, NULs included. Missing fields are empty.
inline std::vector<std::string> split(const uint8_t* data, size_t size, size_t max_fields) {
  std::vector<std::string> out;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (out.size() + 1 < max_fields) {
    size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) break;
    out.emplace_back(rest.substr(0, nul));
    rest.remove_prefix(nul + 1);
  }
  out.emplace_back(rest);
  out.resize(max_fields);
  return out;
}

// An out buffer filled with a marker and guarded by canary bytes past its capacity.
class OutBuffer {
 public:
  explicit OutBuffer(size_t cap) : cap_(cap), buf_(cap + kGuard, kMarker) {}
  char* data() { return buf_.data(); }
  size_t cap() const { return cap_; }
  // The canaries past the capacity survived.
  void check_guard() const {
    for (size_t i = cap_; i < buf_.size(); ++i) FUZZ_CHECK(buf_[i] == kMarker);
  }
  // check_guard, and the text written ends inside the capacity.
  void check_text() const {
    check_guard();
    FUZZ_CHECK(cap_ > 0 && std::memchr(buf_.data(), '\0', cap_) != nullptr);
  }
  // The buffer was not written at all.
  void check_untouched() const {
    for (char c : buf_) FUZZ_CHECK(c == kMarker);
  }

 private:
  static constexpr size_t kGuard = 16;
  static constexpr char kMarker = '\xa5';
  size_t cap_;
  std::string buf_;
};

// True when text parses as JSON whose root has the given type.
inline bool json_of_type(const char* text, yyjson_type type) {
  if (!text) return false;
  yyjson_doc* doc = yyjson_read(text, std::strlen(text), 0);
  bool ok = doc && yyjson_get_type(yyjson_doc_get_root(doc)) == type;
  yyjson_doc_free(doc);
  return ok;
}

}  // namespace fuzz
