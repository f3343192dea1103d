// Windows has no udev: nothing is ever being set up by it, and it records no properties.
#include "lib/platform/udev.h"

namespace kav::platform {

bool udev_running() {
  return false;
}

std::optional<std::string> udev_entry_path(const std::string&) {
  return std::nullopt;
}

bool udev_still_handling(const std::string&) {
  return false;
}

std::optional<std::string> udev_property(const std::string&, const std::string&) {
  return std::nullopt;
}

}  // namespace kav::platform
