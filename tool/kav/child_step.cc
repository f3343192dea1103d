#include "tool/kav/child_step.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kav::tool {

namespace {

std::string self_path() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : "kav";
}

int out_fd(const ChildStep& step) {
  return static_cast<int>(step.output);
}

// Appends one read's worth of the step's output. False at the pipe's end (or on an error).
bool read_some(ChildStep* step) {
  char buffer[4096];
  const ssize_t n = ::read(out_fd(*step), buffer, sizeof buffer);
  if (n > 0) step->out.append(buffer, static_cast<size_t>(n));
  return n > 0;
}

pid_t spawn_child(std::vector<std::string> all, int out_write_fd) {
  std::vector<char*> argv;
  for (std::string& word : all) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_write_fd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return error == 0 ? pid : -1;
}

}  // namespace

bool start_step(ChildStep* step, const std::vector<std::string>& words, int com) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> all = {self_path()};
  all.insert(all.end(), words.begin(), words.end());
  all.insert(all.end(), {"--port", "COM" + std::to_string(com), "--json"});
  const pid_t pid = spawn_child(std::move(all), pipe_fds[1]);
  ::close(pipe_fds[1]);
  if (pid <= 0) {
    ::close(pipe_fds[0]);
    return false;
  }
  step->process = pid;
  step->output = pipe_fds[0];
  step->out.clear();
  return true;
}

void read_step_outputs(const std::vector<ChildStep*>& steps, int timeout_ms) {
  std::vector<pollfd> fds;
  std::vector<ChildStep*> owners;
  for (ChildStep* step : steps) {
    if (step->output < 0) continue;
    fds.push_back({out_fd(*step), POLLIN, 0});
    owners.push_back(step);
  }
  if (fds.empty()) {
    ::poll(nullptr, 0, timeout_ms);
    return;
  }
  if (::poll(fds.data(), fds.size(), timeout_ms) <= 0) return;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents & POLLIN) read_some(owners[i]);
  }
}

ChildStep* reap_step(const std::vector<ChildStep*>& steps, ChildExit* exit) {
  for (ChildStep* step : steps) {
    if (!step->running()) continue;
    int status = 0;
    if (::waitpid(static_cast<pid_t>(step->process), &status, WNOHANG) <= 0) continue;
    exit->status = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    exit->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return step;
  }
  return nullptr;
}

StepResult finish_step(ChildStep* step, const ChildExit& exit) {
  // The child has ended: what it wrote is in the pipe, followed by its end.
  if (step->output >= 0) {
    while (read_some(step)) {
    }
    ::close(out_fd(*step));
  }
  step->output = -1;
  step->process = 0;
  return step_result(step->out, exit);
}

void interrupt_step(const ChildStep& step) {
  if (step.running()) ::kill(static_cast<pid_t>(step.process), SIGINT);
}

}  // namespace kav::tool
