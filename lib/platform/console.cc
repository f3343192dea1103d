#include "lib/platform/console.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kav::platform {

bool is_terminal(std::FILE* stream) {
  return stream != nullptr && isatty(fileno(stream)) == 1;
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

}  // namespace kav::platform
