#include <windows.h>

#include <atomic>

#include "tool/kav/stop_request.h"

namespace kav::tool {

namespace {

std::atomic<bool> g_stop{false};

// Every control event is taken as the stop request. For the window closing or the session
// ending Windows ends the process when the handler returns anyway.
BOOL WINAPI on_control_event(DWORD) {
  g_stop = true;
  return TRUE;
}

}  // namespace

void catch_stop_request() {
  SetConsoleCtrlHandler(on_control_event, TRUE);
}

bool stop_requested() {
  return g_stop;
}

}  // namespace kav::tool
