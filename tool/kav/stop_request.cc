#include "tool/kav/stop_request.h"

#include <signal.h>

namespace kav::tool {

namespace {

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
  g_stop = 1;
}

}  // namespace

void catch_stop_request() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool stop_requested() {
  return g_stop != 0;
}

}  // namespace kav::tool
