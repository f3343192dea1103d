// kav each [--parallel N] [--json] [-q] -- COMMAND...: runs one kav command on every DM port
// present, one child kav per port (COMMAND --port COM<n> --json), at most N at once. Each modem
// is first asked for its IMEI (kav info), unless the command is info itself. On a terminal a
// table of the modems is kept up to date; otherwise one line (with --json one document) per
// modem as it finishes. A summary ends the run; the status is 1 when any modem failed.
//
// A stop request (SIGINT or SIGTERM; on Windows a console control event) starts no further
// modem; a running `nv restore` is passed it so that it stops after its current item, any other
// command (one item) runs to its end.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/port_map.h"
#include "lib/platform/console.h"
#include "tool/kav/child_step.h"
#include "tool/kav/commands.h"
#include "tool/kav/session.h"
#include "tool/kav/stop_request.h"

namespace kav::tool {

namespace {

using Clock = std::chrono::steady_clock;

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
  ChildStep child;
};

struct EachOptions {
  size_t parallel = 0;  // 0: all at once
  bool json = false;
  bool quiet = false;
  std::vector<std::string> command;
};

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
  return start_step(&m->child,
                    is_info(options.command) ? options.command : std::vector<std::string>{"info"},
                    m->com);
}

// Takes the finished step's result; starts the command after the identity step. False when
// the modem is done.
bool after_step(Modem* m, const ChildExit& exit, const EachOptions& options) {
  const StepResult result = finish_step(&m->child, exit);
  const nlohmann::json& doc = result.doc;
  if (doc.is_object() && doc.contains("imei") && doc["imei"].is_string()) {
    m->imei = doc["imei"].get<std::string>();
  }
  const bool identity_step = m->step == "info" && !is_info(options.command);
  if (result.ok && identity_step && !stop_requested() &&
      start_step(&m->child, options.command, m->com)) {
    m->step = command_name(options.command);
    return true;
  }
  m->ok = result.ok && !identity_step;
  m->result = doc;
  if (!result.ok) {
    m->error = m->step + ": " + result.error;
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

void pass_stop_to_restores(const std::vector<Modem>& modems) {
  for (const Modem& m : modems) {
    if (m.child.running() && m.step == "nv restore") interrupt_step(m.child);
  }
}

int run_modems(std::vector<Modem>* modems, const EachOptions& options, bool live) {
  Screen screen(live);
  size_t next = 0, running = 0, failed = 0;
  const auto begun = Clock::now();
  bool stop_passed = false;
  while (next < modems->size() || running > 0) {
    while (!stop_requested() && next < modems->size() &&
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
    if (stop_requested() && !stop_passed) {
      pass_stop_to_restores(*modems);
      stop_passed = true;
    }
    if (running == 0) break;
    std::vector<ChildStep*> children;
    for (Modem& m : *modems) children.push_back(&m.child);
    read_step_outputs(children, 100);
    ChildExit exit;
    while (ChildStep* ended = reap_step(children, &exit)) {
      for (Modem& m : *modems) {
        if (&m.child != ended) continue;
        if (after_step(&m, exit, options)) break;
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
  catch_stop_request();
  return run_modems(&modems, options, !options.json && platform::enable_terminal_sequences(stderr));
}

}  // namespace kav::tool
