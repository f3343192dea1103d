// One kav step run as a child process for kav each and kav station: `kav WORDS --port COM<n>
// --json` in a process group of its own (a terminal's Ctrl-C reaches the parent only), its
// standard output (the step's JSON document) read through a pipe, its standard error
// discarded. child_step.cc does it with POSIX spawn, poll and waitpid; child_step_win32.cc with
// CreateProcessA, an anonymous pipe and the process handle.
//
// Threading: the program's main thread only.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace kav::tool {

struct ChildStep {
  // The child as the system names it: its pid on Linux, its process handle on Windows; 0 when
  // no step runs.
  intptr_t process = 0;
  // The read end of the child's output pipe: a file descriptor on Linux, a handle on Windows;
  // -1 (INVALID_HANDLE_VALUE) when closed.
  intptr_t output = -1;
  std::string out;

  bool running() const { return process != 0; }
};

// How a child ended: with an exit status, or (Linux only) by a signal.
struct ChildExit {
  int status = 0;
  int signal = 0;  // 0: exited with `status`
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

// Appends what the running steps wrote, waiting at most `timeout_ms` for any output (or, on
// Windows, for a step to end).
void read_step_outputs(const std::vector<ChildStep*>& steps, int timeout_ms);

// One of `steps` whose child has ended, found without waiting, with how it ended; null when
// none has.
ChildStep* reap_step(const std::vector<ChildStep*>& steps, ChildExit* exit);

// Reads the rest of the ended step's output and makes its result; the step is free again.
StepResult finish_step(ChildStep* step, const ChildExit& exit);

// The result of a step that wrote `out` and ended as `exit` (step_result.cc, shared).
StepResult step_result(const std::string& out, const ChildExit& exit);

// Asks a running step to stop early: what a stop request at the terminal would be to the
// command. `kav nv restore` takes it as a stop after its current item. On Linux SIGINT to the
// child; on Windows CTRL_BREAK_EVENT to its process group (Ctrl-C is off in a new group), which
// nv restore's console handler keeps as its stop request (SIGBREAK).
void interrupt_step(const ChildStep& step);

}  // namespace kav::tool
