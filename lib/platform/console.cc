#include "lib/platform/console.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace kav::platform
