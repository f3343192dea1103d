#include "lib/platform/udev.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "lib/platform/files.h"

namespace kav::platform {

bool udev_running() {
  return access(root_path("run/udev/control").c_str(), F_OK) == 0;
}

std::optional<std::string> udev_entry_path(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  char kind = 0;
  if (S_ISCHR(st.st_mode)) kind = 'c';
  if (S_ISBLK(st.st_mode)) kind = 'b';
  if (kind == 0) return std::nullopt;
  return root_path("run/udev/data/") + kind + std::to_string(major(st.st_rdev)) + ":" +
         std::to_string(minor(st.st_rdev));
}

bool udev_still_handling(const std::string& path) {
  if (!udev_running()) return false;
  const std::optional<std::string> entry = udev_entry_path(path);
  return entry && access(entry->c_str(), F_OK) != 0 && errno == ENOENT;
}

std::optional<std::string> udev_property(const std::string& path, const std::string& key) {
  const std::optional<std::string> entry = udev_entry_path(path);
  if (!entry) return std::nullopt;
  std::ifstream in(*entry);
  const std::string prefix = "E:" + key + "=";
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
  }
  return std::nullopt;
}

}  // namespace kav::platform
