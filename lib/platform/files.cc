#include "lib/platform/files.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "lib/platform/error.h"

namespace kav::platform {

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return (value && *value) ? std::string(value) : fallback;
}

std::string root_dir() {
  std::string root = env_or("UMTS_KAV_ROOT", "/");
  if (root.back() != '/') root += '/';
  return root;
}

std::string root_path(const std::string& relative) {
  return root_dir() + relative;
}

std::optional<std::string> module_file_name() {
  const std::string dir = env_or("UMTS_KAV_MODULE_DIR", "");
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) {
    capture_errno();
    if (dir.empty()) return std::nullopt;
    return dir + (dir.back() == '/' ? "" : "/") + "umts_kav_lib";
  }
  std::string file(exe, static_cast<size_t>(n));
  if (dir.empty()) return file;
  return dir + (dir.back() == '/' ? "" : "/") + file.substr(file.rfind('/') + 1);
}

bool make_directory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  capture_errno();
  return false;
}

bool path_exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

namespace {

// Joins `parts` with '/' after a leading '/'.
std::string join_absolute(const std::vector<std::string>& parts) {
  if (parts.empty()) return "/";
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out;
}

}  // namespace

std::optional<std::string> full_path(const std::string& path, size_t max_length) {
  std::string absolute = path;
  if (path.empty() || path[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
      capture_errno();
      return std::nullopt;
    }
    absolute = std::string(cwd) + "/" + path;
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= absolute.size()) {
    size_t end = absolute.find('/', start);
    if (end == std::string::npos) end = absolute.size();
    const std::string part = absolute.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result = join_absolute(parts);
  if (!absolute.empty() && absolute.back() == '/' && result.back() != '/') result += '/';
  if (result.size() >= max_length) {
    set_last_error(ENAMETOOLONG);
    return std::nullopt;
  }
  return result;
}

int find_files(const std::string& pattern, std::vector<std::string>* names) {
  names->clear();
  const size_t slash = pattern.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
  const std::string wildcard = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  DIR* listing = opendir(dir.c_str());
  if (!listing) {
    set_last_error(ENOENT);
    return ENOENT;
  }
  while (const dirent* entry = readdir(listing)) {
    if (fnmatch(wildcard.c_str(), entry->d_name, FNM_PERIOD) == 0) names->push_back(entry->d_name);
  }
  closedir(listing);
  if (names->empty()) {
    set_last_error(ENOENT);
    return ENOENT;
  }
  return 0;
}

std::FILE* open_file(const std::string& path, const char* mode) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (!file) capture_errno();
  return file;
}

}  // namespace kav::platform
