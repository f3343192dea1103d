#include "tool/stdout_check.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kav::tool {
namespace {

const char* program_name = "";
int exit_status_on_failure = 1;

// Closes standard output, returning 0 or the error that lost output (-1 when a write failed
// earlier and its reason is no longer known). A standard output that was closed before the
// program started (EBADF on close) with nothing written to it loses nothing.
int close_stdout() {
  const bool failed_before = std::ferror(stdout) != 0;
  errno = 0;
  if (std::fflush(stdout) != 0) return errno != 0 ? errno : -1;  // output was lost just now
  const bool close_failed = std::fclose(stdout) != 0;
  const int close_error = errno;
  if (close_failed && close_error != EBADF) return close_error;
  return failed_before ? -1 : 0;
}

void check_at_exit() {
  const int error = close_stdout();
  if (error == 0) return;
  std::fprintf(stderr, "%s: cannot write standard output: %s\n", program_name,
               error > 0 ? std::strerror(error) : "a write failed");
  // exit() may not be called again from an exit handler; the streams are done with.
  _exit(exit_status_on_failure);
}

}  // namespace

void check_stdout_at_exit(const char* program, int failure_status) {
  program_name = program;
  exit_status_on_failure = failure_status;
  std::atexit(check_at_exit);
}

}  // namespace kav::tool
