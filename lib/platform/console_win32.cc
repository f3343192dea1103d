// The console on Windows: GetConsoleMode on the stream's handle, FindFirstFileA for whether a
// directory can be listed, and the console's control handler for the stop request (Ctrl-C,
// Ctrl-Break, the window closing).
#include "lib/platform/console.h"

#include <io.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "lib/platform/win32.h"

namespace kav::platform {

namespace {

// The console handle under `stream` with its mode, or none: _isatty alone also holds for NUL
// and any other character device, which takes no console calls.
HANDLE console_of(std::FILE* stream, DWORD* mode) {
  if (stream == nullptr) return nullptr;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, mode) ? handle : nullptr;
}

}  // namespace

bool is_terminal(std::FILE* stream) {
  DWORD mode = 0;
  return console_of(stream, &mode) != nullptr;
}

bool enable_terminal_sequences(std::FILE* stream) {
  DWORD mode = 0;
  const HANDLE console = console_of(stream, &mode);
  if (console == nullptr) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(console,
                        mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
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

namespace {

std::atomic<int> caught_signal{0};

// The first control event is kept as the stop request; a second one gets the default handling,
// which ends the process.
BOOL WINAPI keep_control_event(DWORD event) {
  const int signal = event == CTRL_C_EVENT       ? SIGINT
                     : event == CTRL_BREAK_EVENT ? SIGBREAK
                                                 : SIGTERM;
  int none = 0;
  return caught_signal.compare_exchange_strong(none, signal) ? TRUE : FALSE;
}

}  // namespace

void catch_stop_signals() {
  SetConsoleCtrlHandler(keep_control_event, TRUE);
}

int stop_signal() {
  return caught_signal.load();
}

std::string signal_name(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGBREAK:
      return "SIGBREAK";
    default:
      return "signal " + std::to_string(signal);
  }
}

}  // namespace kav::platform
