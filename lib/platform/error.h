// Error codes and system error texts of the platform layer. This is the one place where
// errno becomes an error code and an error code becomes the text shown to users.
//
// Codes are errno values, plus the few Windows-compatible codes that the library tests for
// by number (listed below; none collides with an errno value).
//
// Threading: the last error is kept per thread.
#pragma once

#include <string>

namespace kav::platform {

// An enumeration ran out of members (ERROR_NO_MORE_ITEMS).
constexpr int kErrorNoMoreItems = 259;
// A settings file that cannot be parsed (ERROR_BADDB).
constexpr int kErrorBadHiveFile = 1009;
// A file larger than the reader accepts (ERROR_FILE_TOO_LARGE).
constexpr int kErrorFileTooLarge = 223;
// A FIFO, a device, a directory or a socket where a regular file is read (ERROR_BAD_FILE_TYPE).
constexpr int kErrorNotRegularFile = 222;
// No compiled-in resource of the type, or of the id (ERROR_RESOURCE_TYPE_NOT_FOUND,
// ERROR_RESOURCE_NAME_NOT_FOUND).
constexpr int kErrorResourceTypeNotFound = 1813;
constexpr int kErrorResourceNameNotFound = 1814;
// A write to a serial device that has left the bus (ERROR_DEVICE_NOT_CONNECTED).
constexpr int kErrorDeviceNotConnected = 1167;

// True for the Windows-compatible codes above (they are numbered as Windows numbers them).
bool is_windows_compatible_code(int code);

// The last error of the calling thread, as set by the failing platform call.
int last_error();
void set_last_error(int code);

// Records errno as the calling thread's last error and returns it.
int capture_errno();

// The system's message for `code`, without a final line feed.
std::string system_error_text(int code);

// The code as the system numbers it, for messages: "errno 5", or on Windows "error 50" for a
// Windows error that has no errno value.
std::string system_error_number(int code);

}  // namespace kav::platform
