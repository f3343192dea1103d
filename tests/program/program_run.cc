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
#include <vector>

extern char** environ;

namespace kav::test {

namespace {

using Clock = std::chrono::steady_clock;

// Starts argv[0] with standard output on `out_fd` and, when `err_fd` is not -1, standard error
// on `err_fd`.
pid_t spawn(const std::vector<std::string>& args, int out_fd, int err_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  if (err_fd != -1) posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + args[0]);
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

// Reads the child's output pipes (`err_fd` may be -1) until both end, killing the child after
// `limit`; then waits for it.
ProgramRun collect(pid_t pid, int out_fd, int err_fd,
                   const std::function<void(const std::string&)>& on_line,
                   std::chrono::milliseconds limit) {
  const Clock::time_point start = Clock::now();
  ProgramRun run;
  std::string pending;
  bool killed = false;
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, 50) > 0) {
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          continue;
        }
        sinks[i]->append(buffer, static_cast<size_t>(n));
        if (i == 0) {
          pending.append(buffer, static_cast<size_t>(n));
          take_lines(&pending, on_line);
        }
      }
    }
    if (!killed && Clock::now() - start > limit) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  run.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

ProgramRun run_program(const std::string& path,
                       const std::function<void(const std::string&)>& on_line,
                       std::chrono::milliseconds limit) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const pid_t pid = spawn({path}, fds[1], -1);
  close(fds[1]);
  return collect(pid, fds[0], -1, on_line, limit);
}

namespace {

ProgramRun run_apart(const std::vector<std::string>& argv,
                     const std::function<void(pid_t, const std::string&)>& on_line,
                     std::chrono::milliseconds limit) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  const pid_t pid = spawn(argv, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  std::function<void(const std::string&)> each_line;
  if (on_line) each_line = [&](const std::string& line) { on_line(pid, line); };
  return collect(pid, out[0], err[0], each_line, limit);
}

}  // namespace

ProgramRun run_command(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  return run_apart(argv, {}, limit);
}

ProgramRun run_command_signalled(const std::vector<std::string>& argv, const std::string& trigger,
                                 int signal) {
  bool sent = false;
  return run_apart(
      argv,
      [&](pid_t pid, const std::string& line) {
        if (sent || line.compare(0, trigger.size(), trigger) != 0) return;
        kill(pid, signal);
        sent = true;
      },
      std::chrono::seconds(100));
}

std::string built_program(const std::string& relative) {
  const char* dir = std::getenv("KAV_TEST_BINARY_DIR");
  return std::string(dir ? dir : ".") + "/" + relative;
}

}  // namespace kav::test
