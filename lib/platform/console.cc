#include "lib/platform/console.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "lib/platform/error.h"
#include "lib/platform/files.h"

namespace kav::platform {

bool is_terminal(std::FILE* stream) {
  return stream != nullptr && isatty(fileno(stream)) == 1;
}

int directory_list_error(const std::string& dir) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return errno;
  closedir(handle);
  return 0;
}

// The root of the device view (UMTS_KAV_ROOT, default /) and its sys/ must be directories this
// process can list; the scan cannot tell "nothing there" from "cannot look".
std::string device_view_problem() {
  std::string root = root_dir();
  if (root.size() > 1) root.pop_back();  // the trailing '/'
  const std::string root_name =
      "the device root " + root + (std::getenv("UMTS_KAV_ROOT") ? " (UMTS_KAV_ROOT)" : "");
  const std::pair<std::string, std::string> dirs[] = {{root, root_name}, {root_path("sys"), ""}};
  for (const auto& [dir, name] : dirs) {
    if (const int error = directory_list_error(dir); error != 0) {
      return "cannot read " + (name.empty() ? dir : name) + ": " + system_error_text(error);
    }
  }
  return {};
}

}  // namespace kav::platform
