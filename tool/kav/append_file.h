// An append-only file whose every append is on the disk when the call returns: kav station's
// log, where a crash must lose no finished step. The file is created when missing; a link in
// its place is refused, never followed. append_file.cc uses open(O_APPEND | O_NOFOLLOW) and
// fdatasync; append_file_win32.cc CreateFileA with FILE_APPEND_DATA alone (every write goes to
// the end), a reparse point opened as itself and refused, and FlushFileBuffers.
//
// Threading: one object per thread.
#pragma once

#include <cstdint>
#include <string>

namespace kav::tool {

class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens `path` for appending. False, with "PATH: reason" in `error`, when it cannot be.
  bool open(const std::string& path, std::string* error);

  // Appends `text` and waits until it is on the disk. False, with the reason in `error`.
  bool append(const std::string& text, std::string* error);

 private:
  intptr_t file_ = -1;  // a file descriptor on Linux, a handle on Windows
};

}  // namespace kav::tool
