// The admin program's pieces shared by its files: the command table, the parsed
// options a handler sees, and the reply it hands back for printing.
#pragma once
#include <yyjson.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>

namespace admin {

enum Status { kDone = 0, kRefused = 1, kUsage = 2 };

// A handler's answer: on kDone the JSON text for stdout, otherwise the message
// for the one stderr line.
struct Reply {
  Status status = kDone;
  std::string text;
};

// The options of one call, checked against the command's option list before the
// handler runs: required ones are there, numbers are numbers.
struct Args {
  std::map<std::string, std::string> values;
  const char* get(const char* name) const;  // null when not given
  bool has(const char* name) const { return values.count(name) != 0; }
  int64_t num(const char* name, int64_t fallback) const;
};

using Handler = Reply (*)(const Args&);

// Options: space-separated names, each taking a value unless marked. Marks after
// the name: '!' required, '?' a flag without value, '#' a count (0 to 2^31-1),
// '@' a time in seconds (0 to 2^63-1).
struct Command {
  const char* area;
  const char* verb;
  const char* options;
  const char* help;
  Handler run;
};

extern const Command kCommands[];
extern const size_t kCommandCount;

Reply refused(std::string message);
Reply usage(std::string message);
Reply ok();
// Takes a listing text of the core (freed here); null is refused with why.
Reply listing(char* text, const char* why = "out of memory");
// The core's message when it gave one, else the meaning of rc from the table.
Reply failed(int rc, const char* core_msg,
             std::initializer_list<std::pair<int, const char*>> meanings);

// Builds one compact JSON object; texts are copied.
class Json {
 public:
  Json();
  ~Json();
  Json(const Json&) = delete;
  Json& operator=(const Json&) = delete;
  Json& str(const char* key, const char* value);
  Json& boolean(const char* key, bool value);
  Json& integer(const char* key, int64_t value);
  Json& strings(const char* key, const char (*values)[256], int count);
  // Embeds a JSON text (a listing of the core); a text that does not parse, or
  // null, makes the whole reply a refusal.
  Json& raw(const char* key, const char* json);
  Reply reply();

 private:
  yyjson_mut_doc* doc_;
  yyjson_mut_val* root_;
  bool ok_ = true;
};

// The password: the first line of stdin without its line feed; prompted for on
// stderr with echo off when stdin is a terminal. False when nothing could be read.
bool read_password(std::string& out);

}  // namespace admin
