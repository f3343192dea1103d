// Where a program keeps its module files (the NV item database, the time-outs file), the same
// rule on every system: the given module directory, else per user for an installed program,
// else beside the program.
#include <string>

#include "lib/platform/files.h"

namespace kav::platform {

namespace {

std::string without_trailing_slashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string in_directory(const std::string& dir, const std::string& name) {
  return dir + (dir.back() == '/' ? "" : "/") + name;
}

}  // namespace

std::string module_file_for(const std::string& exe, const std::string& module_dir,
                            const std::string& installed_bindir) {
  const std::string name = exe.substr(exe.rfind('/') + 1);
  if (!module_dir.empty()) return in_directory(module_dir, name);
  const std::string exe_dir = exe.substr(0, exe.rfind('/') + 1);
  if (!installed_bindir.empty() &&
      without_trailing_slashes(exe_dir) == without_trailing_slashes(installed_bindir)) {
    return in_directory(user_data_directory(), "umts_kav_lib/" + name);
  }
  return exe;
}

}  // namespace kav::platform
