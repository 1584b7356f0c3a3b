#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"
#include "temp_dir.h"

namespace {

TEST(RunProgram, GivesExactlyTheEnvironmentAndCollectsBothOutputs) {
  ProgramResult env = run_program("/usr/bin/env", {"A=1", "B=x y"}, "");
  EXPECT_EQ(env.exit_code, 0);
  EXPECT_EQ(env.out, "A=1\nB=x y\n");

  TempDataDir dir;
  const struct {
    std::string script;  // /bin/sh reads it from stdin
    std::string cwd;
    int exit_code;
    std::string out;
    std::string err;
  } cases[] = {
      {"echo out; echo err >&2; exit 3", "", 3, "out\n", "err\n"},
      {"pwd", dir.root(), 0, dir.root() + "\n", ""},
      {"kill -9 $$", "", 128 + 9, "", ""},
      {"exit 0", "/nonexistent-dir", 127, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    ProgramResult r = run_program("/bin/sh", {"PATH=/usr/bin:/bin"}, c.script, c.cwd);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(run_program("/nonexistent-program", {}, "").exit_code, 127);
}

// Large input and output at once: neither side may wait for the other.
TEST(RunProgram, StreamsLargeInputAndOutputTogether) {
  std::string data(3 << 20, 'z');
  for (size_t i = 0; i < data.size(); i += 4096) data[i] = '\n';
  ProgramResult r = run_program("/bin/cat", {}, data);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.out == data) << "got " << r.out.size() << " bytes";
}

TEST(RunInChild, ReturnsTheFunctionsResultAndOutput) {
  ProgramResult r = run_in_child(
      [] {
        std::string in;
        int c;
        while ((c = std::getchar()) != EOF) in += static_cast<char>(c);
        std::printf("got %s", in.c_str());
        std::fputs("note", stderr);
        return 5;
      },
      "input");
  EXPECT_EQ(r.exit_code, 5);
  EXPECT_EQ(r.out, "got input");
  EXPECT_EQ(r.err, "note");
}

}  // namespace
