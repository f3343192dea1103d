#include "lib/platform/console.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "lib/platform/error.h"
#include "lib/platform/files.h"

namespace kav::platform {

bool is_terminal(std::FILE* stream) {
  return stream != nullptr && isatty(fileno(stream)) == 1;
}

bool enable_terminal_sequences(std::FILE* stream) {
  return is_terminal(stream);
}

int directory_list_error(const std::string& dir) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return errno;
  closedir(handle);
  return 0;
}

namespace {

volatile sig_atomic_t caught_signal = 0;

// The first stop signal is kept; a second one ends the process as the signal would have.
void keep_signal(int signal) {
  if (caught_signal != 0) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }
  caught_signal = signal;
}

}  // namespace

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = keep_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

int stop_signal() {
  return caught_signal;
}

std::string signal_name(int signal) {
  const char* abbreviation = sigabbrev_np(signal);
  return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

// The root of the device view (UMTS_KAV_ROOT, default /) and its sys/ must be directories this
// process can list; the scan cannot tell "nothing there" from "cannot look".
std::string device_view_problem() {
  std::string root = root_dir();
  if (root.size() > 1) root.pop_back();  // the trailing '/'
  const std::string root_name =
      "the device root " + root + (std::getenv("UMTS_KAV_ROOT") ? " (UMTS_KAV_ROOT)" : "");
  const std::pair<std::string, std::string> dirs[] = {{root, root_name}, {root_path("sys"), ""}};
  for (const auto& [dir, name] : dirs) {
    if (const int error = directory_list_error(dir); error != 0) {
      return "cannot read " + (name.empty() ? dir : name) + ": " + system_error_text(error);
    }
  }
  return {};
}

}  // namespace kav::platform
