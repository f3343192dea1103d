#include "lib/transport/comm_mode.h"

#include <atomic>

namespace kav {

namespace {

// Unknown at program start: nothing is connected yet.
std::atomic<ZqUmtsKavCommModeEnum> g_current_comm_mode{ZqUmtsKavCommMode_Unknown};

}  // namespace

ZqUmtsKavCommModeEnum current_comm_mode() {
  return g_current_comm_mode.load();
}

void set_current_comm_mode(ZqUmtsKavCommModeEnum mode) {
  g_current_comm_mode.store(mode);
}

const char* comm_mode_name(ZqUmtsKavCommModeEnum mode) {
  switch (mode) {
    case ZqUmtsKavCommMode_DM:
      return "DM";
    case ZqUmtsKavCommMode_DL:
      return "DL";
    default:
      return "Unknown";
  }
}

}  // namespace kav
