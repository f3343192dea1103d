#include "lib/platform/error.h"

#include <cerrno>
#include <cstring>

namespace kav::platform {

std::string system_error_number(int code) {
  return (is_windows_compatible_code(code) ? "error " : "errno ") + std::to_string(code);
}

std::string system_error_text(int code) {
  switch (code) {
    case kErrorNoMoreItems:
      return "No more data is available.";
    case kErrorBadHiveFile:
      return "The settings file is corrupt and cannot be read.";
    // The two codes of this layer's own read like strerror's texts, without a full stop: the
    // messages that quote a system text end the sentence themselves.
    case kErrorFileTooLarge:
      return "The file is too large to be read";
    case kErrorNotRegularFile:
      return "It is not a regular file";
    case kErrorResourceTypeNotFound:
      return "The specified resource type cannot be found in the image file.";
    case kErrorResourceNameNotFound:
      return "The specified resource name cannot be found in the image file.";
    case kErrorDeviceNotConnected:
      return "The device is not connected.";
    default:
      break;
  }
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in `buffer`.
  std::string text = strerror_r(code, buffer, sizeof buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace kav::platform
