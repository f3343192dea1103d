// kav-modem-sim: runs simulated USB (or PCIe) modems in a device root until it is told to stop.
//
//   kav-modem-sim --root DIR [--scenario FILE] [--trace FILE|-] [--set KEY=VALUE]...
//
// Without a scenario one modem with the default configuration runs (5C8E:A7E2 bcdDevice 0318
// on bus port 1-2: DM port on interface 1 as ttyUSB0/COM1, AT port on interface 2 as ttyUSB1).
// --set applies one modem key (the keys of the scenario file) to the first modem, creating it
// when the scenario has none; "--set fault=..." adds a fault.
//
// With "--set udc=dummy_udc.0" (gadget mode) the modem is a USB gadget on that controller and
// the machine's own drivers make its ports ("COM2 /dev/ttyUSB1 <- /dev/ttyGS1 (DM)").
//
// Scenario file ("key = value" lines, '#' or ';' comments):
//   root = DIR              the device root (--root wins)
//   trace = FILE | -        trace every frame received and sent (- : standard error)
//   [modem]                 starts a modem; the keys below it configure that modem
//   vid = 0x5C8E            ... every key listed by --help
//   fault = unplug command=0x26 return=500 tty=other
//
// On start it locks DIR (a second simulator in DIR is refused), removes what a killed run left
// there, prints one line per port it created ("COM1 DIR/dev/ttyUSB0 -> /dev/pts/5 (DM)"; a
// modem that starts as a CD-ROM prints "CDROM DIR/dev/sr0") and then creates DIR/.ready.
// On exit (SIGINT, SIGTERM, SIGHUP, SIGQUIT) it removes .ready, its sysfs entries and /dev
// nodes and closes its pseudo-terminals; only the NV store files stay.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/modem.h"
#include "sim/root_claim.h"
#include "tool/stdout_check.h"

namespace {

using kav::sim::Modem;
using kav::sim::ModemConfig;
using kav::sim::Scenario;

struct Options {
  std::string root;
  std::string scenario_file;
  std::string trace;
  std::vector<std::string> sets;
  int modems = 0;        // --modems N: N modems made from the first one
  int arrive_every = 0;  // --arrive-every MS
  int stay = 0;          // --stay MS
  bool help = false;
};

void print_usage(FILE* out) {
  std::fprintf(
      out,
      "Usage: kav-modem-sim --root DIR [--scenario FILE] [--trace FILE|-] "
      "[--set KEY=VALUE]...\n"
      "Runs simulated USB modems below DIR (created if missing) until SIGINT, "
      "SIGTERM,\nSIGHUP or SIGQUIT. Entries left in DIR by a killed run are removed; "
      "a DIR in use\nby another kav-modem-sim is refused.\n"
      "  --root DIR        device root (required unless the scenario sets it)\n"
      "  --scenario FILE   scenario file (format below)\n"
      "  --trace FILE|-    trace every frame received and sent (- : standard error)\n"
      "  --set KEY=VALUE   one modem key for the first modem (repeatable)\n"
      "  --modems N        N modems made from the first (1 to 32): busports 1-2, 1-3, ...,\n"
      "                    DM ports COM1, COM3, ..., IMEIs 356938035000017, ...\n"
      "  --arrive-every MS with --modems: modem k arrives k*MS after the start\n"
      "  --stay MS         with --modems: each modem leaves MS after its arrival\n"
      "  --help            this text\n\n%s",
      kav::sim::scenario_help());
}

// Returns an empty text, or what is wrong with the command line.
std::string parse_options(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      continue;
    }
    if (i + 1 >= argc) return "missing value after " + arg;
    const std::string value = argv[++i];
    if (arg == "--root") {
      options->root = value;
    } else if (arg == "--scenario") {
      options->scenario_file = value;
    } else if (arg == "--trace") {
      options->trace = value;
    } else if (arg == "--set") {
      options->sets.push_back(value);
    } else if (arg == "--modems" || arg == "--arrive-every" || arg == "--stay") {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      const long high = arg == "--modems" ? 32 : 3600 * 1000;
      if (value.empty() || *end != '\0' || n < (arg == "--modems" ? 1 : 0) || n > high) {
        return arg + " needs a number up to " + std::to_string(high) + ": " + value;
      }
      (arg == "--modems" ? options->modems
       : arg == "--stay" ? options->stay
                         : options->arrive_every) = static_cast<int>(n);
    } else {
      return "unknown option " + arg;
    }
  }
  return {};
}

// A 15-digit IMEI from 14 digits and their Luhn check digit.
std::string imei_with_check_digit(const std::string& body) {
  int sum = 0;
  for (size_t i = 0; i < body.size(); ++i) {
    int digit = body[body.size() - 1 - i] - '0';
    if (i % 2 == 0) digit = digit * 2 > 9 ? digit * 2 - 9 : digit * 2;
    sum += digit;
  }
  return body + static_cast<char>('0' + (10 - sum % 10) % 10);
}

// --modems N: N copies of the first modem, each with its own bus port, tty indexes, IMEI and
// arrival time.
void make_modems(const Options& options, Scenario* scenario) {
  const ModemConfig first = scenario->modems[0];
  scenario->modems.clear();
  for (int k = 0; k < options.modems; ++k) {
    ModemConfig config = first;
    config.busport = "1-" + std::to_string(k + 2);
    config.dm_tty = 2 * k;
    config.at_tty = 2 * k + 1;
    config.alt_dm_tty = 130 + 2 * k;
    config.alt_at_tty = 131 + 2 * k;
    char body[24];
    std::snprintf(body, sizeof body, "35693803%06d", k + 1);
    config.status.imei = imei_with_check_digit(body);
    config.arrive_ms = k * options.arrive_every;
    config.stay_ms = options.stay;
    scenario->modems.push_back(config);
  }
}

std::string build_scenario(const Options& options, Scenario* scenario) {
  if (!options.scenario_file.empty()) {
    std::ifstream in(options.scenario_file);
    if (!in) return "cannot read " + options.scenario_file;
    std::stringstream text;
    text << in.rdbuf();
    const std::string error = kav::sim::parse_scenario(text.str(), scenario);
    if (!error.empty()) return options.scenario_file + ": " + error;
  }
  if (!options.root.empty()) scenario->root = options.root;
  if (!options.trace.empty()) scenario->trace = options.trace;
  if (scenario->modems.empty()) scenario->modems.emplace_back();
  for (const std::string& set : options.sets) {
    const size_t eq = set.find('=');
    if (eq == std::string::npos) return "--set needs KEY=VALUE: " + set;
    const std::string error =
        kav::sim::apply_modem_key(set.substr(0, eq), set.substr(eq + 1), &scenario->modems[0]);
    if (!error.empty()) return error;
  }
  if (scenario->root.empty()) return "--root is required";
  if (options.modems > 0) make_modems(options, scenario);
  return {};
}

// The trace goes to standard error or a file; lines from every modem's threads are serialised.
class Trace {
 public:
  // Throws std::runtime_error naming the file when it cannot be opened for appending.
  explicit Trace(const std::string& target) {
    if (target == "-") {
      out_ = stderr;
    } else if (!target.empty()) {
      out_ = std::fopen(target.c_str(), "a");
      if (out_ == nullptr) {
        throw std::runtime_error("cannot write the trace file " + target + ": " +
                                 std::strerror(errno));
      }
      owned_ = true;
    }
  }
  ~Trace() {
    if (owned_) std::fclose(out_);
  }
  bool enabled() const { return out_ != nullptr; }
  void line(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
  }

 private:
  FILE* out_ = nullptr;
  bool owned_ = false;
  std::mutex mutex_;
};

// The modem's ports as the host sees them. On a gadget the host's drivers name them, which
// takes a moment after the bind: it waits up to 5 s for every port to have a name.
std::vector<kav::sim::PortInfo> host_ports(const Modem& modem, const ModemConfig& config) {
  std::vector<kav::sim::PortInfo> ports = modem.ports();
  for (int waited = 0; !config.udc.empty() && waited < 5000; waited += 20) {
    bool named = true;
    for (const auto& port : ports) named = named && port.com != 0;
    if (named) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ports = modem.ports();
  }
  return ports;
}

void print_ports(const Modem& modem, const ModemConfig& config) {
  if (modem.in_cdrom_mode()) {
    if (config.udc.empty()) {
      std::printf("CDROM %s/dev/sr%d\n", modem.root().c_str(), config.cdrom_index);
    } else {
      std::printf("CDROM on %s\n", config.udc.c_str());
    }
  }
  for (const kav::sim::PortInfo& port : host_ports(modem, config)) {
    if (port.com == 0) {
      std::printf("COM? (no host driver bound it) <- %s (%s)\n", port.slave.c_str(),
                  port.role.c_str());
    } else {
      std::printf("COM%d %s %s %s (%s)\n", port.com, port.node.c_str(),
                  config.udc.empty() ? "->" : "<-", port.slave.c_str(), port.role.c_str());
    }
  }
}

// Second and later modems of a root get their own NV store file unless they name one.
void default_nv_files(Scenario* scenario) {
  for (size_t i = 1; i < scenario->modems.size(); ++i) {
    ModemConfig& config = scenario->modems[i];
    if (config.nv_file.empty()) {
      config.nv_file = scenario->root + "/kav-modem-sim-nv-" + std::to_string(i + 1) + ".txt";
    }
  }
}

// Plugs in and takes away the modems at their times (arrive_ms, stay_ms) until one of
// `signals` comes.
void run_timeline(const Scenario& scenario, std::vector<std::unique_ptr<Modem>>& modems,
                  const sigset_t& signals) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<bool> arrived(modems.size()), left(modems.size());
  for (;;) {
    const auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    long next = -1;  // ms until the next event, -1 when none is left
    for (size_t i = 0; i < modems.size(); ++i) {
      const ModemConfig& config = scenario.modems[i];
      if (!arrived[i] && config.arrive_ms <= now_ms) {
        arrived[i] = true;
        if (config.arrive_ms > 0) {
          modems[i]->start();
          print_ports(*modems[i], config);
          std::fflush(stdout);
        }
      }
      const long leave_at = config.stay_ms > 0 ? config.arrive_ms + config.stay_ms : -1;
      if (arrived[i] && !left[i] && leave_at >= 0 && leave_at <= now_ms) {
        left[i] = true;
        modems[i]->stop();
        std::printf("LEFT %s\n", config.busport.c_str());
        std::fflush(stdout);
      }
      for (long at :
           {arrived[i] ? -1L : static_cast<long>(config.arrive_ms), left[i] ? -1L : leave_at}) {
        if (at >= 0 && (next < 0 || at - now_ms < next)) next = std::max(0L, at - now_ms);
      }
    }
    int signal_number = 0;
    if (next < 0) {
      sigwait(&signals, &signal_number);
      return;
    }
    const timespec wait{next / 1000, (next % 1000) * 1000000};
    if (sigtimedwait(&signals, nullptr, &wait) > 0) return;
  }
}

int run(Scenario scenario) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);  // the terminal went away
  sigaddset(&signals, SIGQUIT);
  // Blocked before any thread starts, so every thread inherits the mask and sigwait below
  // receives them.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  Trace trace(scenario.trace);
  kav::sim::RootClaim claim(scenario.root);
  default_nv_files(&scenario);
  std::vector<std::unique_ptr<Modem>> modems;
  for (const ModemConfig& config : scenario.modems) {
    modems.push_back(std::make_unique<Modem>(scenario.root, config));
    if (trace.enabled())
      modems.back()->set_trace([&trace](const std::string& t) { trace.line(t); });
    if (config.arrive_ms > 0) continue;
    modems.back()->start();
    print_ports(*modems.back(), config);
  }
  std::fflush(stdout);
  claim.set_ready();
  run_timeline(scenario, modems, signals);
  claim.clear_ready();  // before the modems leave: a watcher never sees .ready over a half tree
  modems.clear();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  kav::tool::check_stdout_at_exit("kav-modem-sim", 1);
  Options options;
  std::string error = parse_options(argc, argv, &options);
  if (options.help) {
    print_usage(stdout);
    return 0;
  }
  Scenario scenario;
  if (error.empty()) error = build_scenario(options, &scenario);
  if (!error.empty()) {
    std::fprintf(stderr, "kav-modem-sim: %s\n", error.c_str());
    print_usage(stderr);
    return 2;
  }
  try {
    return run(std::move(scenario));
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "kav-modem-sim: %s\n", failure.what());
    return 1;
  }
}
