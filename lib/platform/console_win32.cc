// The console on Windows: _isatty of the stream's descriptor, and FindFirstFileA for whether a
// directory can be listed.
#include "lib/platform/console.h"

#include <io.h>

#include <cerrno>

#include "lib/platform/win32.h"

namespace kav::platform {

bool is_terminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

int directory_list_error(const std::string& dir) {
  const DWORD attributes = GetFileAttributesA(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return win32::error_of(GetLastError());
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ENOTDIR;
  WIN32_FIND_DATAA entry;
  const std::string pattern =
      dir + (dir.empty() || dir.back() == '/' || dir.back() == '\\' ? "*" : "/*");
  HANDLE found = FindFirstFileA(pattern.c_str(), &entry);
  if (found == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : win32::error_of(error);
  }
  FindClose(found);
  return 0;
}

std::string device_view_problem() {
  return {};
}

}  // namespace kav::platform
