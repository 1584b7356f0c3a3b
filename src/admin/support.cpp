// Replies, the JSON builder and the password read shared by every handler.
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "admin.h"

namespace admin {

const char* Args::get(const char* name) const {
  auto it = values.find(name);
  return it == values.end() ? nullptr : it->second.c_str();
}

int64_t Args::num(const char* name, int64_t fallback) const {
  const char* v = get(name);
  // The parser has checked the digits and the range already.
  return v ? std::strtoll(v, nullptr, 10) : fallback;
}

Reply refused(std::string message) { return {kRefused, std::move(message)}; }
Reply usage(std::string message) { return {kUsage, std::move(message)}; }
Reply ok() { return Json().boolean("ok", true).reply(); }

Reply listing(char* text, const char* why) {
  if (!text) return refused(why);
  Reply r{kDone, text};
  std::free(text);
  return r;
}

Reply failed(int rc, const char* core_msg,
             std::initializer_list<std::pair<int, const char*>> meanings) {
  if (core_msg && *core_msg) return refused(core_msg);
  for (const auto& [code, meaning] : meanings) {
    if (code == rc) return refused(meaning);
  }
  return refused("failed with result " + std::to_string(rc));
}

Json::Json() : doc_(yyjson_mut_doc_new(nullptr)), root_(doc_ ? yyjson_mut_obj(doc_) : nullptr) {
  if (root_) yyjson_mut_doc_set_root(doc_, root_);
  ok_ = root_ != nullptr;
}

Json::~Json() { yyjson_mut_doc_free(doc_); }

Json& Json::str(const char* key, const char* value) {
  ok_ = ok_ && yyjson_mut_obj_add_strcpy(doc_, root_, key, value ? value : "");
  return *this;
}

Json& Json::boolean(const char* key, bool value) {
  ok_ = ok_ && yyjson_mut_obj_add_bool(doc_, root_, key, value);
  return *this;
}

Json& Json::integer(const char* key, int64_t value) {
  ok_ = ok_ && yyjson_mut_obj_add_sint(doc_, root_, key, value);
  return *this;
}

Json& Json::strings(const char* key, const char (*values)[256], int count) {
  yyjson_mut_val* arr = ok_ ? yyjson_mut_arr(doc_) : nullptr;
  for (int i = 0; arr && i < count; ++i) {
    if (!yyjson_mut_arr_add_strcpy(doc_, arr, values[i])) arr = nullptr;
  }
  ok_ = arr && yyjson_mut_obj_add_val(doc_, root_, key, arr);
  return *this;
}

Json& Json::raw(const char* key, const char* json) {
  yyjson_doc* parsed = ok_ && json ? yyjson_read(json, std::strlen(json), 0) : nullptr;
  yyjson_mut_val* copy = parsed ? yyjson_val_mut_copy(doc_, yyjson_doc_get_root(parsed)) : nullptr;
  yyjson_doc_free(parsed);
  ok_ = copy && yyjson_mut_obj_add_val(doc_, root_, key, copy);
  return *this;
}

Reply Json::reply() {
  std::unique_ptr<char, decltype(&std::free)> text(
      ok_ ? yyjson_mut_write(doc_, 0, nullptr) : nullptr, &std::free);
  if (!text) return refused("could not build the result");
  return {kDone, text.get()};
}

namespace {

// The terminal's settings while echo is off, for the signal handler: an
// interrupted prompt must not leave the operator's terminal silent.
termios g_saved_tty;

void restore_and_reraise(int sig) {
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_tty);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Echo stays off only while the line is read; the old settings come back on
// every path out.
class EchoOff {
 public:
  EchoOff() : on_(tcgetattr(STDIN_FILENO, &old_) == 0) {
    if (!on_) return;
    g_saved_tty = old_;
    for (int sig : kStopSignals) std::signal(sig, restore_and_reraise);
    termios quiet = old_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    on_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (on_) tcsetattr(STDIN_FILENO, TCSANOW, &old_);
    for (int sig : kStopSignals) std::signal(sig, SIG_DFL);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  termios old_{};
  bool on_;
};

constexpr size_t kMaxPasswordRead = 1024;

}  // namespace

bool read_password(std::string& out) {
  out.clear();
  bool tty = isatty(STDIN_FILENO) == 1;
  std::unique_ptr<EchoOff> quiet;
  if (tty) {
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    quiet = std::make_unique<EchoOff>();
  }
  int c;
  bool any = false;
  while ((c = std::getchar()) != EOF && c != '\n') {
    // Far past any acceptable length: the policy refuses it either way.
    if (out.size() < kMaxPasswordRead) out.push_back(static_cast<char>(c));
    any = true;
  }
  any = any || c == '\n';
  if (tty) std::fputc('\n', stderr);
  return any;
}

}  // namespace admin
