#include "tool/kav/child_step.h"

#include <fcntl.h>
#include <poll.h>
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

void read_some(ChildStep* step) {
  char buffer[4096];
  const ssize_t n = ::read(step->out_fd, buffer, sizeof buffer);
  if (n > 0) step->out.append(buffer, static_cast<size_t>(n));
}

std::string exit_text(int wait_status) {
  if (WIFEXITED(wait_status)) return "exit status " + std::to_string(WEXITSTATUS(wait_status));
  return "ended by signal " + std::to_string(WTERMSIG(wait_status));
}

}  // namespace

bool start_step(ChildStep* step, const std::vector<std::string>& words, int com) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> all = {self_path()};
  all.insert(all.end(), words.begin(), words.end());
  all.insert(all.end(), {"--port", "COM" + std::to_string(com), "--json"});
  std::vector<char*> argv;
  for (std::string& word : all) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  const int error = posix_spawn(&step->pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(pipe_fds[1]);
  if (error != 0) {
    ::close(pipe_fds[0]);
    step->pid = -1;
    return false;
  }
  step->out_fd = pipe_fds[0];
  step->out.clear();
  return true;
}

void read_step_outputs(const std::vector<ChildStep*>& steps, int timeout_ms) {
  std::vector<pollfd> fds;
  std::vector<ChildStep*> owners;
  for (ChildStep* step : steps) {
    if (step->out_fd < 0) continue;
    fds.push_back({step->out_fd, POLLIN, 0});
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

pid_t reap_child(int* wait_status) {
  const pid_t pid = ::waitpid(-1, wait_status, WNOHANG);
  return pid > 0 ? pid : 0;
}

StepResult finish_step(ChildStep* step, int wait_status) {
  // The child has ended: what it wrote is in the pipe, followed by its end.
  for (;;) {
    char buffer[4096];
    const ssize_t n = step->out_fd >= 0 ? ::read(step->out_fd, buffer, sizeof buffer) : 0;
    if (n <= 0) break;
    step->out.append(buffer, static_cast<size_t>(n));
  }
  if (step->out_fd >= 0) ::close(step->out_fd);
  step->out_fd = -1;
  step->pid = -1;
  StepResult result;
  result.doc = nlohmann::json::parse(step->out, nullptr, false);
  const bool exited_ok = WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
  result.ok = exited_ok && result.doc.is_object() && result.doc.value("ok", false);
  if (!result.ok) {
    const bool said =
        result.doc.is_object() && result.doc.contains("error") && result.doc["error"].is_string();
    result.error = said ? result.doc["error"].get<std::string>() : exit_text(wait_status);
  }
  return result;
}

}  // namespace kav::tool
