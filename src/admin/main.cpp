// identity-admin: the operator's command line over the identity core. One table of
// subcommands (commands.cpp), one option parser, one way to print: a JSON document
// on stdout, or one "identity-admin: <message>" line on stderr. Exit 0 done,
// 1 refused, 2 usage error.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "admin.h"

namespace {

using admin::Command;
using admin::kCommandCount;
using admin::kCommands;

constexpr char kProgram[] = "identity-admin";
constexpr char kUsageHead[] = "usage: identity-admin [--data-dir DIR] ";

struct OptSpec {
  std::string name;
  bool required = false;
  bool flag = false;
  char number = 0;  // '#' count, '@' time, 0 text
};

std::vector<OptSpec> option_specs(const Command& c) {
  std::vector<OptSpec> specs;
  const char* p = c.options;
  while (*p) {
    while (*p == ' ') ++p;
    OptSpec o;
    while (*p && *p != ' ') {
      char ch = *p++;
      if (ch == '!')
        o.required = true;
      else if (ch == '?')
        o.flag = true;
      else if (ch == '#' || ch == '@')
        o.number = ch;
      else
        o.name.push_back(ch);
    }
    if (!o.name.empty()) specs.push_back(o);
  }
  return specs;
}

std::string synopsis(const Command& c) {
  std::string s = std::string(c.area) + " " + c.verb;
  for (const OptSpec& o : option_specs(c)) {
    std::string one = "--" + o.name;
    if (o.number == '#')
      one += " N";
    else if (o.number == '@')
      one += " TIME";
    else if (!o.flag) {
      std::string meta = o.name;
      for (char& ch : meta) ch = ch == '-' ? '_' : static_cast<char>(std::toupper(ch));
      one += " " + meta;
    }
    s += o.required ? " " + one : " [" + one + "]";
  }
  return s;
}

// Lists the commands of area (null: all of them) on stdout.
int print_help(const char* head, const char* area) {
  std::printf("%s%s\n", kUsageHead, head);
  std::printf(
      "Passwords are read from the first line of standard input, never from the command line.\n");
  std::printf("Results are JSON on stdout; exit 0 done, 1 refused, 2 usage error.\n\n");
  for (size_t i = 0; i < kCommandCount; ++i) {
    const Command& c = kCommands[i];
    if (area && std::strcmp(area, c.area) != 0) continue;
    std::printf("  %s\n      %s\n", synopsis(c).c_str(), c.help);
  }
  return 0;
}

int print_command_help(const Command& c) {
  std::printf("%s%s\n  %s\n", kUsageHead, synopsis(c).c_str(), c.help);
  return 0;
}

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  return status;
}

bool is_help(const std::string& s) { return s == "--help" || s == "-h"; }

// Digits only, within the range its mark allows.
bool parse_number(const std::string& text, char mark) {
  if (text.empty() || text.size() > 19) return false;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
  }
  errno = 0;
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0) return false;
  return mark == '@' || v <= 2147483647LL;
}

// Fills args from the words after the verb, or returns the usage error.
admin::Reply parse_options(const Command& c, const std::vector<std::string>& words, size_t i,
                           admin::Args& args) {
  const std::string where = std::string(" for ") + c.area + " " + c.verb;
  std::vector<OptSpec> specs = option_specs(c);
  for (; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.rfind("--", 0) != 0) return admin::usage("unexpected argument " + w);
    std::string name = w.substr(2);
    const OptSpec* spec = nullptr;
    for (const OptSpec& o : specs) {
      if (o.name == name) spec = &o;
    }
    if (!spec) return admin::usage("unknown option " + w + where);
    if (args.has(name.c_str())) return admin::usage("option " + w + " given twice");
    if (spec->flag) {
      args.values[name] = "";
      continue;
    }
    if (i + 1 >= words.size()) return admin::usage("missing value for " + w);
    const std::string& value = words[++i];
    if (spec->number && !parse_number(value, spec->number))
      return admin::usage("bad number for " + w + ": " + value);
    args.values[name] = value;
  }
  for (const OptSpec& o : specs) {
    if (o.required && !args.has(o.name.c_str()))
      return admin::usage("missing required option --" + o.name + where);
  }
  return {};
}

int print_reply(const admin::Reply& r) {
  if (r.status != admin::kDone) return fail(r.status, r.text);
  std::fwrite(r.text.data(), 1, r.text.size(), stdout);
  std::fputc('\n', stdout);
  // The change may be done, but an answer that was lost must not look delivered.
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    return fail(admin::kRefused, "cannot write the result");
  return admin::kDone;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
  size_t i = 0;
  while (i < words.size() && words[i].rfind("-", 0) == 0) {
    if (is_help(words[i])) return print_help("<area> <verb> [--option value ...]", nullptr);
    if (words[i] != "--data-dir") return fail(admin::kUsage, "unknown option " + words[i]);
    if (i + 1 >= words.size() || words[i + 1].empty())
      return fail(admin::kUsage, "missing value for --data-dir");
    setenv("IDENTITY_DATA_DIR", words[i + 1].c_str(), 1);
    i += 2;
  }
  if (i >= words.size()) return fail(admin::kUsage, "missing area (see --help)");
  const std::string area = words[i++];
  bool known_area = false;
  for (size_t k = 0; k < kCommandCount; ++k) known_area = known_area || area == kCommands[k].area;
  if (!known_area) return fail(admin::kUsage, "unknown area " + area);
  if (i >= words.size()) return fail(admin::kUsage, "missing verb for " + area);
  if (is_help(words[i]))
    return print_help((area + " <verb> [--option value ...]").c_str(), area.c_str());
  const std::string verb = words[i++];
  const Command* cmd = nullptr;
  for (size_t k = 0; k < kCommandCount; ++k) {
    if (area == kCommands[k].area && verb == kCommands[k].verb) cmd = &kCommands[k];
  }
  if (!cmd) return fail(admin::kUsage, "unknown verb " + verb + " for " + area);
  for (size_t k = i; k < words.size(); ++k) {
    if (is_help(words[k])) return print_command_help(*cmd);
  }
  admin::Args args;
  admin::Reply bad = parse_options(*cmd, words, i, args);
  if (bad.status != admin::kDone) return print_reply(bad);
  return print_reply(cmd->run(args));
}
