// Windows gives a COM port to one opener at a time and refuses the others itself (the open
// fails with ERROR_ACCESS_DENIED), so there is no one else holding a port the library has
// opened, and no holders to name: administrators are kept out as everyone else is.
#include "lib/platform/device_holders.h"

namespace kav::platform {

std::vector<DeviceHolder> device_holders(const std::string&, bool) {
  return {};
}

bool running_as_root() {
  return false;
}

bool process_running(const std::string&) {
  return false;
}

bool is_pty_slave(int) {
  return false;
}

std::string holders_text(const std::vector<DeviceHolder>& holders) {
  std::string text;
  for (size_t i = 0; i < holders.size() && i < 4; ++i) {
    if (!text.empty()) text += "; ";
    text += holders[i].name + ", pid " + std::to_string(holders[i].pid);
  }
  return text;
}

}  // namespace kav::platform
