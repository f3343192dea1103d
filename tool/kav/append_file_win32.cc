#include <windows.h>

#include "tool/kav/append_file.h"

namespace kav::tool {

namespace {

std::string error_text(DWORD code) {
  char text[512];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

// True when the opened file is a reparse point (a symbolic link or a junction) itself.
bool is_reparse_point(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

AppendFile::~AppendFile() {
  if (file_ != -1) CloseHandle(reinterpret_cast<HANDLE>(file_));
}

bool AppendFile::open(const std::string& path, std::string* error) {
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link as itself instead of what it names.
  const HANDLE file =
      CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = path + ": " + error_text(GetLastError());
    return false;
  }
  if (is_reparse_point(file)) {
    CloseHandle(file);
    *error = path + ": it is a link, which is not followed";
    return false;
  }
  file_ = reinterpret_cast<intptr_t>(file);
  return true;
}

bool AppendFile::append(const std::string& text, std::string* error) {
  const HANDLE file = reinterpret_cast<HANDLE>(file_);
  DWORD written = 0;
  if (WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file)) {
    return true;
  }
  *error = error_text(GetLastError());
  return false;
}

}  // namespace kav::tool
