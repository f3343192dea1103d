// The exit check of the command-line programs (kelnorset, kav, kav-modem-sim): output
// that never reached its destination (a full disk, a closed pipe, /dev/full) turns the exit
// status into a failure instead of letting the program end with success.
//
// Threading: install once from main before other threads start; the check runs at exit.
#pragma once

namespace kav::tool {

// Installs a handler run at process exit, after the handlers registered later (so after the
// library's own detach, which may still print). It flushes and closes standard output; when a
// write to it failed at any time, it reports "<program>: cannot write standard output: <why>"
// on standard error and ends the process with `failure_status`.
void check_stdout_at_exit(const char* program, int failure_status);

}  // namespace kav::tool
