#include "lib/platform/error.h"

#include <cerrno>
#include <cstring>

#include "lib/platform/win32.h"

namespace kav::platform {

namespace {

// FormatMessageA's text of a Windows error, without the final line break.
std::string windows_text(DWORD code) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&buffer), 0,
      nullptr);
  std::string text;
  if (length != 0 && buffer != nullptr) text.assign(buffer, length);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) text = "Windows error " + std::to_string(code);
  return text;
}

}  // namespace

std::string system_error_number(int code) {
  if (code & win32::kWindowsCodeBit) {
    return "error " + std::to_string(code & ~win32::kWindowsCodeBit);
  }
  return (is_windows_compatible_code(code) ? "error " : "errno ") + std::to_string(code);
}

std::string system_error_text(int code) {
  switch (code) {
    case kErrorBadHiveFile:
      return "The settings file is corrupt and cannot be read.";
    case kErrorNotRegularFile:
      return "It is not a regular file.";
    case kErrorFileTooLarge:
      return "The file is too large to be read.";
    default:
      break;
  }
  if (code & win32::kWindowsCodeBit) {
    return windows_text(static_cast<DWORD>(code & ~win32::kWindowsCodeBit));
  }
  if (is_windows_compatible_code(code)) return windows_text(static_cast<DWORD>(code));
  std::string text = std::strerror(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

namespace win32 {

int error_of(DWORD windows_error) {
  switch (windows_error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_NO_MATCH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return EINVAL;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return ENAMETOOLONG;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_GEN_FAILURE:
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
      return EIO;
    case ERROR_NOT_READY:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
      return ENODEV;
    default:
      break;
  }
  const int code = static_cast<int>(windows_error);
  if (is_windows_compatible_code(code)) return code;
  return code | kWindowsCodeBit;
}

int capture_last_error() {
  const int code = error_of(GetLastError());
  set_last_error(code);
  return code;
}

std::string forward_slashes(std::string text) {
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return text;
}

}  // namespace win32

}  // namespace kav::platform
