// One kav step run as a child process for kav each and kav station: `kav WORDS --port COM<n>
// --json` in a process group of its own (a terminal's Ctrl-C reaches the parent only), its
// standard output (the step's JSON document) read through a pipe, its standard error
// discarded.
//
// Threading: the program's main thread only.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace kav::tool {

struct ChildStep {
  pid_t pid = -1;
  int out_fd = -1;
  std::string out;

  bool running() const { return pid > 0; }
};

// What a finished step gave: success (exit 0 and "ok": true), its document (discarded when it
// wrote none) and, on failure, the reason.
struct StepResult {
  bool ok = false;
  nlohmann::json doc;
  std::string error;
};

// Starts the step. False when the child cannot be started.
bool start_step(ChildStep* step, const std::vector<std::string>& words, int com);

// Appends what the running steps wrote, waiting at most `timeout_ms` for any output.
void read_step_outputs(const std::vector<ChildStep*>& steps, int timeout_ms);

// Reaps one ended child of this process without waiting: its pid (0 when none has ended) and
// wait status.
pid_t reap_child(int* wait_status);

// Reads the rest of the ended step's output and makes its result; the step is free again.
StepResult finish_step(ChildStep* step, int wait_status);

}  // namespace kav::tool
