#include "tool/kav/append_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kav::tool {

AppendFile::~AppendFile() {
  if (file_ >= 0) ::close(static_cast<int>(file_));
}

bool AppendFile::open(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) *error = path + ": " + std::strerror(errno);
  file_ = fd;
  return fd >= 0;
}

bool AppendFile::append(const std::string& text, std::string* error) {
  const int fd = static_cast<int>(file_);
  if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
      ::fdatasync(fd) == 0) {
    return true;
  }
  *error = std::strerror(errno);
  return false;
}

}  // namespace kav::tool
