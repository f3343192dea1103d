#include "lib/platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "lib/platform/reg_file.h"

namespace kav::platform {

namespace {

std::atomic<RegistryHive*> g_user_override{nullptr};

// The home directory: $HOME, else the password database's entry of the user.
std::string home_dir() {
  std::string home = env_or("HOME", "");
  if (!home.empty()) return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "/";
}

std::string parent_dir(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// Creates `dir` and its missing parents. Returns 0 or an errno value.
int make_dirs(const std::string& dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string prefix = dir.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) return 0;
  }
}

// Reads the whole file. Returns 0 or an errno value (ENOENT for a missing file).
int read_file(const std::string& file, std::string* text) {
  text->clear();
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      close(fd);
      return error;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return 0;
}

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

// Replaces `file` by `text` atomically: a temporary file in the same directory is written,
// flushed to disk and renamed over the file, so a reader sees the old or the new text whole and
// a crash never leaves a half-written file. The file keeps its permissions.
int replace_file(const std::string& file, const std::string& text) {
  const std::string dir = parent_dir(file);
  std::string temp = dir + "/." + file.substr(file.rfind('/') + 1) + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat old {};
  const mode_t mode = stat(file.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  int error = write_all(fd, text);
  if (!error && fchmod(fd, mode) != 0) error = errno;
  if (!error && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && !error) error = errno;
  if (!error && rename(temp.c_str(), file.c_str()) != 0) error = errno;
  if (error) {
    unlink(temp.c_str());
    return error;
  }
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);  // makes the rename durable; a failure here leaves the new text in place
    close(dir_fd);
  }
  return 0;
}

// An exclusive advisory lock on "<file>.lock", held for the object's lifetime. The lock is on
// a file of its own because the hive file itself is replaced by every write.
class HiveFileLock {
 public:
  explicit HiveFileLock(const std::string& file) {
    fd_ = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      break;
    }
  }
  ~HiveFileLock() {
    if (fd_ >= 0) close(fd_);  // closing the descriptor releases the lock
  }
  HiveFileLock(const HiveFileLock&) = delete;
  HiveFileLock& operator=(const HiveFileLock&) = delete;
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

// Sets the calling thread's last error from a result code and returns the code.
int result(int code) {
  if (code != 0) set_last_error(code);
  return code;
}

}  // namespace

std::string user_hive_file() {
  const std::string file = env_or("UMTS_KAV_REGISTRY", "");
  if (!file.empty()) return file;
  std::string config = env_or("XDG_CONFIG_HOME", "");
  // A relative XDG_CONFIG_HOME is invalid and ignored, as XDG base directory users do.
  if (config.empty() || config[0] != '/') config = home_dir() + "/.config";
  return config + "/umts_kav_lib/user.reg";
}

RegistryHive& user_hive() {
  static RegFileHive default_hive;
  RegistryHive* override_hive = g_user_override.load();
  return override_hive ? *override_hive : default_hive;
}

void set_user_hive(RegistryHive* hive) {
  g_user_override.store(hive);
}

RegFileHive::RegFileHive(std::string file) : fixed_file_(std::move(file)) {}

std::string RegFileHive::location() const {
  return fixed_file_.empty() ? user_hive_file() : fixed_file_;
}

std::string RegFileHive::problem() const {
  std::lock_guard lock(mutex_);
  return problem_;
}

int RegFileHive::load(const std::string& file, RegDocument* doc) {
  std::string text;
  const int error = read_file(file, &text);
  if (error != 0 && error != ENOENT) return error;
  std::string what;
  if (!doc->parse(text, &what)) {
    problem_ = file + ": " + what;
    return kErrorBadHiveFile;
  }
  problem_.clear();
  return 0;
}

template <typename Change>
int RegFileHive::modify(Change change) {
  const std::string file = location();
  if (const int error = make_dirs(parent_dir(file))) return error;
  HiveFileLock lock(file);
  if (lock.error()) return lock.error();
  RegDocument doc;
  if (const int error = load(file, &doc)) return error;
  if (!change(doc)) return 0;
  return replace_file(file, doc.render());
}

int RegFileHive::open_key(const std::string& path, bool create) {
  std::lock_guard lock(mutex_);
  RegDocument doc;
  if (const int error = load(location(), &doc)) return result(error);
  if (doc.has_key(path)) return 0;
  if (!create) return result(ENOENT);
  return result(modify([&](RegDocument& d) { return d.add_key(path); }));
}

int RegFileHive::query_value(const std::string& path, const std::string& name, RegValue* out) {
  std::lock_guard lock(mutex_);
  RegDocument doc;
  if (const int error = load(location(), &doc)) return result(error);
  std::optional<RegValue> value = doc.value(path, name);
  if (!value) return result(ENOENT);
  *out = std::move(*value);
  return 0;
}

int RegFileHive::set_dword(const std::string& path, const std::string& name, uint32_t value) {
  std::lock_guard lock(mutex_);
  return result(modify([&](RegDocument& d) { return d.set_dword(path, name, value); }));
}

}  // namespace kav::platform
