// The parts of the error layer that are the same on every system: the calling thread's last
// error and which codes are the layer's Windows-compatible ones.
#include <cerrno>

#include "lib/platform/error.h"

namespace kav::platform {

namespace {
thread_local int t_last_error = 0;
}  // namespace

int last_error() {
  return t_last_error;
}

void set_last_error(int code) {
  t_last_error = code;
}

int capture_errno() {
  t_last_error = errno;
  return t_last_error;
}

bool is_windows_compatible_code(int code) {
  switch (code) {
    case kErrorNoMoreItems:
    case kErrorBadHiveFile:
    case kErrorFileTooLarge:
    case kErrorNotRegularFile:
    case kErrorResourceTypeNotFound:
    case kErrorResourceNameNotFound:
    case kErrorDeviceNotConnected:
      return true;
    default:
      return false;
  }
}

}  // namespace kav::platform
