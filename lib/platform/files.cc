#include "lib/platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

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

namespace {

// Where the build installs programs; set by the build for this file alone.
#ifdef KAV_INSTALLED_BINDIR
constexpr const char* kInstalledBindir = KAV_INSTALLED_BINDIR;
#else
constexpr const char* kInstalledBindir = "";
#endif

}  // namespace

std::optional<std::string> module_file_name() {
  const std::string dir = env_or("UMTS_KAV_MODULE_DIR", "");
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) {
    capture_errno();
    if (dir.empty()) return std::nullopt;
    return module_file_for("umts_kav_lib", dir, "");
  }
  return module_file_for(std::string(exe, static_cast<size_t>(n)), dir, kInstalledBindir);
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

std::string home_directory() {
  std::string home = env_or("HOME", "");
  if (!home.empty()) return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "/";
}

std::string user_data_directory() {
  const std::string data = env_or("XDG_DATA_HOME", "");
  // A relative XDG_DATA_HOME is invalid and ignored, as XDG base directory users do.
  if (!data.empty() && data[0] == '/') return data;
  return home_directory() + "/.local/share";
}

std::string parent_directory(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

int make_directories(const std::string& dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string prefix = dir.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) return 0;
  }
}

namespace {

// Appends what `fd` holds to `text`; kErrorFileTooLarge past `max_bytes` (a file may grow
// between the size check and the read).
int read_up_to(int fd, std::string* text, size_t max_bytes) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (static_cast<size_t>(n) > max_bytes - text->size()) return kErrorFileTooLarge;
    text->append(buffer, static_cast<size_t>(n));
  }
}

// 0 when `st` describes a regular file of at most `max_bytes`, else why it is refused.
int check_regular(const struct stat& st, size_t max_bytes) {
  if (!S_ISREG(st.st_mode)) return kErrorNotRegularFile;
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return kErrorFileTooLarge;
  return 0;
}

}  // namespace

int check_regular_file(const std::string& file, size_t max_bytes) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return errno;
  return check_regular(st, max_bytes);
}

int read_whole_file(const std::string& file, std::string* text, size_t max_bytes) {
  text->clear();
  // A device is refused before it is opened: opening one (a serial line, say) can act on it.
  if (const int error = check_regular_file(file, max_bytes)) return error;
  struct stat st {};
  // O_NONBLOCK: should a FIFO take the file's place meanwhile, the open does not wait for a
  // writer; the check of the opened file then refuses it.
  const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = fstat(fd, &st) != 0 ? errno : check_regular(st, max_bytes);
  if (!error) {
    text->reserve(static_cast<size_t>(st.st_size));
    error = read_up_to(fd, text, max_bytes);
  }
  close(fd);
  if (error) text->clear();
  return error;
}

namespace {

int write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Gives the new file at `fd` the mode (and, where the process may, the owner) of the regular
// file it replaces, or the mode an editor would give a new file when there is none. A link planted
// at the name lends nothing: lstat does not follow it.
int take_over_attributes(int fd, const std::string& file) {
  struct stat old {};
  if (lstat(file.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) {
    return fchmod(fd, 0666 & ~process_umask()) == 0 ? 0 : errno;
  }
  if (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) return errno;
  if (fchmod(fd, old.st_mode & 07777) != 0) return errno;
  return 0;
}

void sync_directory(const std::string& dir) {
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);  // makes the rename durable; a failure here leaves the new text in place
    close(dir_fd);
  }
}

}  // namespace

namespace {

// Moves `temp` to the free name `file`: renameat2's RENAME_NOREPLACE, or a hard link for file
// systems without it. Never replaces what is there.
int move_to_free_name(const std::string& temp, const std::string& file) {
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (link(temp.c_str(), file.c_str()) != 0) return errno;
  unlink(temp.c_str());
  return 0;
}

int write_through_temporary(const std::string& file, const std::string& text, bool* temp_created,
                            bool replace) {
  const std::string dir = parent_directory(file);
  std::string temp = temporary_file_pattern(file);
  // mkostemp opens with O_CREAT | O_EXCL: it never opens an existing file or follows a link.
  const int fd = mkostemp(temp.data(), O_CLOEXEC | O_NOFOLLOW);
  if (temp_created) *temp_created = fd >= 0;
  if (fd < 0) return capture_errno();
  int error = write_all(fd, text);
  if (!error) error = take_over_attributes(fd, file);
  if (!error && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && !error) error = errno;
  if (!error && replace && rename(temp.c_str(), file.c_str()) != 0) error = errno;
  if (!error && !replace) error = move_to_free_name(temp, file);
  if (error) {
    unlink(temp.c_str());
    set_last_error(error);
    return error;
  }
  sync_directory(dir);
  return 0;
}

}  // namespace

int replace_file(const std::string& file, const std::string& text, bool* temp_created) {
  return write_through_temporary(file, text, temp_created, true);
}

int create_file_whole(const std::string& file, const std::string& text) {
  return write_through_temporary(file, text, nullptr, false);
}

std::string temporary_file_pattern(const std::string& file) {
  return parent_directory(file) + "/." + file.substr(file.rfind('/') + 1) + ".kav-tmp-XXXXXX";
}

void remove_stale_temporaries(const std::string& file, int min_age_seconds) {
  const std::string dir = parent_directory(file);
  const std::string temp = temporary_file_pattern(file);
  // The random part "XXXXXX" matches any six characters; the rest of the name literally.
  std::string wildcard;
  for (char c : temp.substr(temp.rfind('/') + 1, temp.size() - temp.rfind('/') - 7)) {
    if (c == '*' || c == '?' || c == '[' || c == '\\') wildcard += '\\';
    wildcard += c;
  }
  std::vector<std::string> names;
  if (find_files(dir + "/" + wildcard + "??????", &names) != 0) return;
  const time_t now = time(nullptr);
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (now - st.st_mtime < min_age_seconds) continue;
    remove_path(path);
  }
}

unsigned process_umask() {
  // The kernel tells the mask without changing it; umask(2) can only swap it, which would
  // race with files other threads create meanwhile, so it is the fallback for old kernels.
  std::string status;
  if (read_whole_file("/proc/self/status", &status, 1 << 20) == 0) {
    const size_t at = status.find("\nUmask:");
    if (at != std::string::npos) return std::strtoul(status.c_str() + at + 8, nullptr, 8) & 0777;
  }
  const mode_t mask = umask(022);
  umask(mask);
  return mask & 0777;
}

std::optional<std::string> final_link_target(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st {};
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    char target[4096];
    const ssize_t n = readlink(current.c_str(), target, sizeof target - 1);
    if (n < 0) return current;  // no longer a link
    const std::string next(target, static_cast<size_t>(n));
    current = next[0] == '/' ? next : parent_directory(current) + "/" + next;
  }
  set_last_error(ELOOP);
  return std::nullopt;
}

namespace {

bool trusted_owner(uid_t owner) {
  return owner == 0 || owner == geteuid();
}

}  // namespace

int trusted_link_target(const std::string& path, std::string* target) {
  const auto trusted = trusted_owner;
  std::string current = path;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st {};
    if (lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT) return errno;
      if (hops > 0) return ENOENT;
      *target = current;
      return 0;
    }
    if (!S_ISLNK(st.st_mode)) {
      *target = current;
      return 0;
    }
    if (!trusted(st.st_uid)) return EPERM;
    char text[4096];
    const ssize_t n = readlink(current.c_str(), text, sizeof text - 1);
    if (n <= 0) return n < 0 ? errno : ENOENT;
    const std::string next(text, static_cast<size_t>(n));
    current = next[0] == '/' ? next : parent_directory(current) + "/" + next;
    struct stat dir {};
    if (stat(parent_directory(current).c_str(), &dir) != 0) return errno;
    if (!trusted(dir.st_uid)) return EPERM;
  }
  return ELOOP;
}

int check_own_directory(const std::string& dir) {
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty()) return 0;
  // Each prefix ending before a '/', then the whole path: "/a", "/a/b", "/a/b/c".
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const bool last = slash == std::string::npos;
    const std::string level = last ? path : path.substr(0, slash);
    struct stat st {};
    if (lstat(level.c_str(), &st) != 0) return 0;  // made by the caller from here on
    if (S_ISLNK(st.st_mode) && last) return ELOOP;
    if (!trusted_owner(st.st_uid) && (S_ISLNK(st.st_mode) || last)) return EPERM;
    if (last) return 0;
  }
}

std::optional<std::pair<uint64_t, uint64_t>> file_identity(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  return std::make_pair(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
}

std::optional<uint64_t> entry_age_ms(const std::string& path) {
  struct stat st {};
  timespec now{};
  if (lstat(path.c_str(), &st) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0) {
    return std::nullopt;
  }
  const int64_t ms =
      (now.tv_sec - st.st_ctim.tv_sec) * 1000 + (now.tv_nsec - st.st_ctim.tv_nsec) / 1000000;
  return ms > 0 ? static_cast<uint64_t>(ms) : 0;  // a clock set back counts as just made
}

DirectoryLock::DirectoryLock(const std::string& dir)
    : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (fd_ < 0) return;
  while (!locked_) {
    if (flock(fd_, LOCK_EX) == 0) {
      locked_ = true;
    } else if (errno != EINTR) {
      break;
    }
  }
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) close(fd_);  // closing the descriptor releases the lock
}

bool rename_path(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  capture_errno();
  return false;
}

bool remove_path(const std::string& path) {
  if (unlink(path.c_str()) == 0) return true;
  capture_errno();
  return false;
}

bool replace_keeps_owner(const std::string& file) {
  struct stat st {};
  if (lstat(file.c_str(), &st) != 0) return true;
  if (geteuid() == 0) return true;
  if (st.st_uid != geteuid()) return false;
  if (st.st_gid == getegid()) return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  const int count = getgroups(static_cast<int>(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(count, 0), st.st_gid) !=
         groups.begin() + std::max(count, 0);
}

bool path_writable(const std::string& path) {
  if (access(path.c_str(), W_OK) == 0) return true;
  capture_errno();
  return false;
}

bool write_permission_denied(const std::string& path) {
  if (path_writable(path)) return false;
  const int error = last_error();
  return error == EACCES || error == EPERM || error == EROFS;
}

std::FILE* open_file(const std::string& path, const char* mode) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (!file) capture_errno();
  return file;
}

std::FILE* create_new_file(const std::string& path, const char* mode) {
  const std::string m = mode;
  int flags = O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  flags |= m.find('+') != std::string::npos ? O_RDWR : O_WRONLY;
  if (!m.empty() && m[0] == 'a') flags |= O_APPEND;
  const int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) {
    capture_errno();
    return nullptr;
  }
  std::FILE* file = fdopen(fd, mode);
  if (!file) {
    capture_errno();
    ::close(fd);
    unlink(path.c_str());  // made just now by this call
  }
  return file;
}

bool is_name_taken(int error) {
  return error == EEXIST;
}

bool is_transient_error(int error) {
  return error == EAGAIN || error == EBUSY || error == EINTR || error == ETXTBSY || error == EIO ||
         error == ENOLCK;
}

bool is_disk_full(int error) {
  return error == ENOSPC || error == EDQUOT;
}

}  // namespace kav::platform
