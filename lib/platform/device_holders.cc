#include "lib/platform/device_holders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kav::platform {

namespace {

// Holders named in a text at most; a busy device rarely has more than one or two.
constexpr size_t kMaxHoldersNamed = 4;

// Pseudo-terminal slaves are MKDEV(136, index); the master side is opened through ptmx (5, 2).
constexpr unsigned kPtySlaveMajor = 136;
constexpr unsigned kTtyAuxMajor = 5;
constexpr unsigned kPtmxMinor = 2;

bool same_node(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) || S_ISCHR(b.st_mode)) {
    return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
  }
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The index of the pseudo-terminal whose slave `st` is, or -1.
long pty_slave_index(const struct stat& st) {
  if (!S_ISCHR(st.st_mode) || major(st.st_rdev) != kPtySlaveMajor) return -1;
  return static_cast<long>(minor(st.st_rdev));
}

bool is_ptmx(const struct stat& st) {
  return S_ISCHR(st.st_mode) && major(st.st_rdev) == kTtyAuxMajor &&
         minor(st.st_rdev) == kPtmxMinor;
}

// The pseudo-terminal index a ptmx descriptor is the master of ("tty-index:" in its fdinfo).
long master_index(const std::string& pid, const char* fd) {
  long index = -1;
  if (FILE* f = std::fopen(("/proc/" + pid + "/fdinfo/" + fd).c_str(), "re")) {
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
      if (std::strncmp(line, "tty-index:", 10) == 0) index = std::strtol(line + 10, nullptr, 10);
    }
    std::fclose(f);
  }
  return index;
}

struct ProcessView {
  bool holds = false;         // has the node open
  bool holds_master = false;  // has the master side of the node's pseudo-terminal open
};

// Whether the open file `link` (an entry of /proc/<pid>/fd) is the node. Only the link's text
// is read first, which /proc gives without touching the file: the node itself is recognised by
// its resolved path, and only other files under /dev are looked at (another name of the same
// device, a pseudo-terminal's master). A file on a network mount that no longer answers is
// never stat'ed, so it cannot hang the scan.
bool points_at(const std::string& link, const std::string& resolved, struct stat* st) {
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  const std::string text(target, static_cast<size_t>(n));
  if (text != resolved && text.compare(0, 5, "/dev/") != 0) return false;
  return stat(link.c_str(), st) == 0;
}

ProcessView look_at_process(const std::string& pid, const std::string& resolved,
                            const struct stat& target, long pty_index) {
  ProcessView view;
  const std::string fd_dir = "/proc/" + pid + "/fd";
  DIR* dir = opendir(fd_dir.c_str());
  if (dir == nullptr) return view;  // gone, or not ours to look at
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    struct stat st;
    if (!points_at(fd_dir + "/" + entry->d_name, resolved, &st)) continue;
    if (same_node(st, target)) view.holds = true;
    if (pty_index >= 0 && is_ptmx(st) && master_index(pid, entry->d_name) == pty_index) {
      view.holds_master = true;
    }
  }
  closedir(dir);
  return view;
}

std::string process_name(const std::string& pid) {
  std::string name;
  if (FILE* f = std::fopen(("/proc/" + pid + "/comm").c_str(), "re")) {
    char buffer[64];
    if (std::fgets(buffer, sizeof buffer, f)) name = buffer;
    std::fclose(f);
  }
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  return name.empty() ? "unknown" : name;
}

}  // namespace

std::vector<DeviceHolder> device_holders(const std::string& path, bool skip_self) {
  struct stat target;
  if (stat(path.c_str(), &target) != 0) return {};
  char resolved_path[PATH_MAX];
  if (realpath(path.c_str(), resolved_path) == nullptr) return {};
  const std::string resolved = resolved_path;
  const long index = pty_slave_index(target);
  const long self = static_cast<long>(getpid());
  std::vector<DeviceHolder> holders;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return holders;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || (skip_self && pid == self)) continue;
    const ProcessView view = look_at_process(entry->d_name, resolved, target, index);
    if (!view.holds || (view.holds_master && pid != self)) continue;
    holders.push_back({pid, process_name(entry->d_name)});
  }
  closedir(proc);
  std::sort(holders.begin(), holders.end(),
            [](const DeviceHolder& a, const DeviceHolder& b) { return a.pid < b.pid; });
  return holders;
}

bool running_as_root() {
  return geteuid() == 0;
}

bool process_running(const std::string& name) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (process_name(entry->d_name) == name) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

bool is_pty_slave(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && pty_slave_index(st) >= 0;
}

std::string holders_text(const std::vector<DeviceHolder>& holders) {
  std::string text;
  for (size_t i = 0; i < holders.size() && i < kMaxHoldersNamed; ++i) {
    if (!text.empty()) text += "; ";
    text += holders[i].name + ", pid " + std::to_string(holders[i].pid);
  }
  return text;
}

}  // namespace kav::platform
