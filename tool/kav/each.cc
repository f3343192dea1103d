// kav each [--parallel N] [--json] [-q] -- COMMAND...: runs one kav command on every DM port
// present, one child kav per port (COMMAND --port COM<n> --json), at most N at once. Each modem
// is first asked for its IMEI (kav info), unless the command is info itself. On a terminal a
// table of the modems is kept up to date; otherwise one line (with --json one document) per
// modem as it finishes. A summary ends the run; the status is 1 when any modem failed.
//
// SIGINT and SIGTERM start no further modem; a running `nv restore` is passed the signal so
// that it stops after its current item, any other command (one item) runs to its end.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/port_map.h"
#include "lib/platform/console.h"
#include "tool/kav/commands.h"
#include "tool/kav/session.h"

extern char** environ;

namespace kav::tool {

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
  g_stop = 1;
}

// One modem of the run and the child kav working on it.
struct Modem {
  int com = 0;
  std::string imei;
  std::string step;  // "waiting", "info" or the command's name: the step running or last run
  bool finished = false;
  bool ok = false;
  std::string error;
  nlohmann::json result;  // the command's own document
  Clock::time_point started;
  double seconds = 0;
  pid_t pid = -1;
  int out_fd = -1;  // the child's standard output (its JSON document)
  std::string out;
};

struct EachOptions {
  size_t parallel = 0;  // 0: all at once
  bool json = false;
  bool quiet = false;
  std::vector<std::string> command;
};

std::string self_path() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : "kav";
}

// Starts `kav ARGS --port COM<com> --json` with its standard output on a pipe and its standard
// error discarded, in a process group of its own (a terminal's Ctrl-C reaches kav each only).
bool spawn_step(Modem* m, const std::vector<std::string>& args) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> words = {self_path()};
  words.insert(words.end(), args.begin(), args.end());
  for (const char* extra : {"--port", "", "--json"}) words.emplace_back(extra);
  words[words.size() - 2] = "COM" + std::to_string(m->com);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  const int error = posix_spawn(&m->pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(pipe_fds[1]);
  if (error != 0) {
    ::close(pipe_fds[0]);
    m->pid = -1;
    return false;
  }
  m->out_fd = pipe_fds[0];
  m->out.clear();
  return true;
}

bool is_info(const std::vector<std::string>& command) {
  return !command.empty() && command[0] == "info";
}

std::string command_name(const std::vector<std::string>& command) {
  if (command.size() >= 2 && (command[0] == "nv" || command[0] == "nvdb")) {
    return command[0] + " " + command[1];
  }
  return command.empty() ? "" : command[0];
}

// The first step of a modem: its identity, or the command when that is info.
bool start_modem(Modem* m, const EachOptions& options) {
  m->started = Clock::now();
  m->step = is_info(options.command) ? command_name(options.command) : "info";
  return spawn_step(m,
                    is_info(options.command) ? options.command : std::vector<std::string>{"info"});
}

// Reads the finished step's document; starts the command after the identity step. False when
// the modem is done.
bool finish_step(Modem* m, int wait_status, const EachOptions& options) {
  ::close(m->out_fd);
  m->out_fd = -1;
  m->pid = -1;
  const nlohmann::json doc = nlohmann::json::parse(m->out, nullptr, false);
  const bool ok = WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0 && doc.is_object() &&
                  doc.value("ok", false);
  if (doc.is_object() && doc.contains("imei") && doc["imei"].is_string()) {
    m->imei = doc["imei"].get<std::string>();
  }
  const bool identity_step = m->step == "info" && !is_info(options.command);
  if (ok && identity_step && !g_stop && spawn_step(m, options.command)) {
    m->step = command_name(options.command);
    return true;
  }
  m->ok = ok && !identity_step;
  m->result = doc;
  if (!ok) {
    m->error =
        doc.is_object() && doc.contains("error") && doc["error"].is_string()
            ? doc["error"].get<std::string>()
            : "exit status " + std::to_string(WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                                                     : 128 + WTERMSIG(wait_status));
    m->error = m->step + ": " + m->error;
  } else if (identity_step) {
    m->error = "stopped before " + command_name(options.command);
  }
  m->finished = true;
  m->seconds = std::chrono::duration<double>(Clock::now() - m->started).count();
  return false;
}

std::string row(const Modem& m) {
  char line[512];
  const char* result = !m.finished ? "" : m.ok ? "ok" : "FAILED";
  std::snprintf(line, sizeof line, "COM%-5d %-16s %-12s %-7s %6.2f s  %s", m.com,
                m.imei.empty() ? "-" : m.imei.c_str(), m.step.c_str(), result,
                m.step == "done" ? m.seconds
                : m.step == "waiting"
                    ? 0.0
                    : std::chrono::duration<double>(Clock::now() - m.started).count(),
                m.error.c_str());
  return line;
}

std::string json_line(const Modem& m) {
  nlohmann::json doc = {{"port", "COM" + std::to_string(m.com)},
                        {"imei", m.imei},
                        {"ok", m.ok},
                        {"seconds", m.seconds}};
  if (!m.error.empty()) doc["error"] = m.error;
  if (!m.result.is_discarded()) doc["result"] = m.result;
  return doc.dump();
}

// The live table on a terminal: redrawn in place after every change.
class Screen {
 public:
  explicit Screen(bool live) : live_(live) {}
  void draw(const std::vector<Modem>& modems) {
    if (!live_) return;
    if (drawn_ > 0) std::fprintf(stderr, "\x1b[%zuA", drawn_);
    for (const Modem& m : modems) std::fprintf(stderr, "\x1b[2K%s\n", row(m).c_str());
    drawn_ = modems.size();
    std::fflush(stderr);
  }

 private:
  bool live_;
  size_t drawn_ = 0;
};

// Reads what the running children wrote, for at most `timeout_ms`.
void read_outputs(std::vector<Modem>* modems, int timeout_ms) {
  std::vector<pollfd> fds;
  std::vector<Modem*> owners;
  for (Modem& m : *modems) {
    if (m.out_fd < 0) continue;
    fds.push_back({m.out_fd, POLLIN, 0});
    owners.push_back(&m);
  }
  if (fds.empty() || ::poll(fds.data(), fds.size(), timeout_ms) <= 0) return;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
    char buffer[4096];
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) owners[i]->out.append(buffer, static_cast<size_t>(n));
  }
}

void pass_stop_to_restores(const std::vector<Modem>& modems) {
  for (const Modem& m : modems) {
    if (m.pid > 0 && m.step == "nv restore") ::kill(m.pid, SIGINT);
  }
}

int run_modems(std::vector<Modem>* modems, const EachOptions& options, bool live) {
  Screen screen(live);
  size_t next = 0, running = 0, failed = 0;
  const auto begun = Clock::now();
  bool stop_passed = false;
  while (next < modems->size() || running > 0) {
    while (!g_stop && next < modems->size() &&
           (options.parallel == 0 || running < options.parallel)) {
      Modem& m = (*modems)[next++];
      if (start_modem(&m, options)) {
        ++running;
      } else {
        m.finished = true;
        m.error = "cannot start kav";
        ++failed;
      }
    }
    if (g_stop && !stop_passed) {
      pass_stop_to_restores(*modems);
      stop_passed = true;
    }
    if (running == 0) break;
    read_outputs(modems, 100);
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
      for (Modem& m : *modems) {
        if (m.pid != pid) continue;
        // Whatever the child wrote before it ended is still in the pipe.
        while (m.out_fd >= 0) {
          char buffer[4096];
          const ssize_t n = ::read(m.out_fd, buffer, sizeof buffer);
          if (n <= 0) break;
          m.out.append(buffer, static_cast<size_t>(n));
        }
        if (finish_step(&m, status, options)) break;
        --running;
        failed += m.ok ? 0 : 1;
        if (!live) std::printf("%s\n", options.json ? json_line(m).c_str() : row(m).c_str());
        std::fflush(stdout);
      }
    }
    screen.draw(*modems);
  }
  screen.draw(*modems);
  const size_t skipped = modems->size() - next;
  const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  if (live && options.json) {
    for (const Modem& m : *modems) std::printf("%s\n", json_line(m).c_str());
  }
  if (!options.quiet) {
    std::fprintf(options.json ? stderr : stdout, "%zu modem%s: %zu ok, %zu failed%s in %.2f s\n",
                 modems->size(), modems->size() == 1 ? "" : "s", next - failed - running, failed,
                 skipped ? (", " + std::to_string(skipped) + " not started (stopped)").c_str() : "",
                 seconds);
  }
  return failed > 0 || skipped > 0 ? kExitFailed : kExitOk;
}

// Reads the words after "each". Returns an empty text, or what is wrong.
std::string parse_each(const std::vector<std::string>& words, EachOptions* options) {
  size_t i = 0;
  for (; i < words.size() && words[i] != "--"; ++i) {
    if (words[i] == "--json") {
      options->json = true;
    } else if (words[i] == "-q") {
      options->quiet = true;
    } else if (words[i] == "--parallel" && i + 1 < words.size()) {
      long n = 0;
      if (!parse_number(words[++i], 1, 1000, &n)) return "--parallel needs a number from 1 to 1000";
      options->parallel = static_cast<size_t>(n);
    } else {
      return "unknown option \"" + words[i] + "\" (the command follows --)";
    }
  }
  if (i + 1 >= words.size()) return "no command after --";
  options->command.assign(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end());
  for (const std::string& word : options->command) {
    if (word == "--port" || word == "--json") return word + " is set by kav each";
  }
  const std::string name = command_name(options->command);
  if (name == "each" || name == "ports" || name.rfind("nvdb", 0) == 0) {
    return "\"" + name + "\" does not talk to a modem";
  }
  return {};
}

// The DM ports present, one per COM number.
std::vector<Modem> dm_ports() {
  std::vector<Modem> modems;
  PortScanListPtr list = get_com_port_list(PT_DM);
  if (!list) return modems;
  for (const PortScanEntry& e : list->entries) {
    if (e.com_port <= 0) continue;
    bool seen = false;
    for (const Modem& m : modems) seen = seen || m.com == e.com_port;
    if (seen) continue;
    Modem m;
    m.com = e.com_port;
    m.step = "waiting";
    modems.push_back(m);
  }
  return modems;
}

}  // namespace

int run_each(const std::vector<std::string>& words) {
  Invocation inv;
  inv.name = "each";
  EachOptions options;
  const std::string error = parse_each(words, &options);
  inv.json = options.json;
  inv.quiet = options.quiet;
  if (!error.empty()) return usage_error(inv, "%s", error.c_str());
  start_library(inv);
  std::vector<Modem> modems = dm_ports();
  if (modems.empty()) return failure(inv, "no DM port present");
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return run_modems(&modems, options, !options.json && platform::is_terminal(stderr));
}

}  // namespace kav::tool
