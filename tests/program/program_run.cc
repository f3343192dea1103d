#include "tests/program/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace kav::test {

namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn_with_stdout(const std::string& path, int out_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + path);
  return pid;
}

// Hands every complete line of `pending` to `on_line` and keeps the unfinished rest.
void take_lines(std::string* pending, const std::function<void(const std::string&)>& on_line) {
  size_t end;
  while ((end = pending->find('\n')) != std::string::npos) {
    if (on_line) on_line(pending->substr(0, end));
    pending->erase(0, end + 1);
  }
}

}  // namespace

ProgramRun run_program(const std::string& path,
                       const std::function<void(const std::string&)>& on_line,
                       std::chrono::milliseconds limit) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const Clock::time_point start = Clock::now();
  const pid_t pid = spawn_with_stdout(path, fds[1]);
  close(fds[1]);
  ProgramRun run;
  std::string pending;
  bool killed = false;
  for (;;) {
    pollfd pfd{fds[0], POLLIN, 0};
    if (poll(&pfd, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      run.out.append(buffer, static_cast<size_t>(n));
      pending.append(buffer, static_cast<size_t>(n));
      take_lines(&pending, on_line);
    }
    if (!killed && Clock::now() - start > limit) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  run.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string built_program(const std::string& relative) {
  const char* dir = std::getenv("KAV_TEST_BINARY_DIR");
  return std::string(dir ? dir : ".") + "/" + relative;
}

}  // namespace kav::test
