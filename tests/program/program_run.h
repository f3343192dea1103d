// Runs a built program as a child process and collects its standard output line by line,
// letting the caller act on each line while the program still runs (for example to unplug a
// simulated modem when the program says it found it), or runs it with arguments and collects
// its standard output and standard error apart.
//
// Threading: run_program blocks the calling thread until the child ends; the line callback runs
// on that thread. The child inherits the caller's environment.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kav::test {

struct ProgramRun {
  std::string out;  // everything the child wrote to standard output
  std::string err;  // and to standard error, when run_command collected it
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::chrono::milliseconds elapsed{0};
};

// Starts `path` without arguments, standard error left as the caller's. `on_line` gets every
// complete line (without its '\n') as soon as it arrives. A child still running after
// `limit` is killed (status -1).
ProgramRun run_program(const std::string& path,
                       const std::function<void(const std::string&)>& on_line = {},
                       std::chrono::milliseconds limit = std::chrono::seconds(100));

// Starts argv[0] with the arguments argv[1...] and collects its standard output and standard
// error apart. Killed after `limit` as above.
ProgramRun run_command(const std::vector<std::string>& argv,
                       std::chrono::milliseconds limit = std::chrono::seconds(100));

// run_command, sending `signal` to the child when a line of its standard output starts with
// `trigger` (the first such line only).
ProgramRun run_command_signalled(const std::vector<std::string>& argv, const std::string& trigger,
                                 int signal);

// The path of a program of the build: $KAV_TEST_BINARY_DIR/`relative`.
std::string built_program(const std::string& relative);

}  // namespace kav::test
