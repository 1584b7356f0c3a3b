// Runs code in a child process with its own stdin, stdout and stderr, the way a
// web server runs a CGI program, and collects everything the child wrote.
#pragma once
#include <functional>
#include <string>
#include <vector>

struct ProgramResult {
  int exit_code;    // the exit status; 128 + signal number when killed; -1 when not started
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
};

// Runs the program at `path` with the arguments `args` after its name, exactly the
// environment `env` ("NAME=value" entries; nothing is inherited), stdin_data on its
// standard input and, when cwd is not empty, cwd as its working directory. Waits
// for it to end. A program that cannot be started exits with 127.
ProgramResult run_program(const std::string& path, const std::vector<std::string>& env,
                          const std::string& stdin_data, const std::string& cwd = "",
                          const std::vector<std::string>& args = {});

// Runs fn in a forked copy of this process (environment, working directory and
// static state inherited) with stdin_data on its standard input. The child flushes
// stdio and exits with fn's result when fn returns, so an operation that ends the
// process itself is told apart by its own exit status.
ProgramResult run_in_child(const std::function<int()>& fn, const std::string& stdin_data = "");

// Replaces this process's whole environment by env ("NAME=value" entries); meant
// for the child of run_in_child.
void set_environment(const std::vector<std::string>& env);

// Runs a shell command and returns everything it wrote to stdout; a command that
// cannot be started or exits with a status other than 0 fails the test.
std::string command_output(const std::string& cmd);
// The lines of text, without their line feeds.
std::vector<std::string> lines(const std::string& text);
