#include "lib/platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>
#include <vector>

#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "lib/platform/reg_file.h"

namespace kav::platform {

namespace {

std::atomic<RegistryHive*> g_user_override{nullptr};

// An exclusive advisory lock on "<file>.lock", held for the object's lifetime. The lock is on
// a file of its own because the hive file itself is replaced by every write.
//
// The lock file is never followed when it is a link (a planted link would have a root run
// create any file) and must be a regular file. One made here gets the owner and group of the
// settings file, so that its owner can still lock it after a run as another user (root); an
// existing one is used as it is, opened for reading when it may not be written.
class HiveFileLock {
 public:
  explicit HiveFileLock(const std::string& file) : path_(file + ".lock") {
    fd_ = open_lock(file);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      error_ = kErrorNotRegularFile;
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

  // What is wrong with the lock file, naming it.
  std::string problem() const {
    if (error_ == ELOOP) return path_ + ": the lock file is a symbolic link and is not followed";
    return path_ + ": " + system_error_text(error_);
  }

 private:
  int open_lock(const std::string& file) {
    // O_NONBLOCK keeps a FIFO planted at the name from holding the open; fstat refuses it.
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, 0666);
    if (fd >= 0) {
      struct stat settings {};
      if (stat(file.c_str(), &settings) == 0) {
        [[maybe_unused]] const int ignored = fchown(fd, settings.st_uid, settings.st_gid);
      }
      return fd;
    }
    if (errno != EEXIST) return -1;
    fd = open(path_.c_str(), O_RDWR | kFlags);
    if (fd < 0 && errno == EACCES) fd = open(path_.c_str(), O_RDONLY | kFlags);
    return fd;
  }

  std::string path_;
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
  if (config.empty() || config[0] != '/') config = home_directory() + "/.config";
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
  const int error = read_whole_file(file, &text, kMaxSettingsFileBytes);
  if (error != 0 && error != ENOENT) {
    problem_ = file + ": " + system_error_text(error);
    return error;
  }
  std::string what;
  if (!doc->parse(text, &what)) {
    problem_ = file + ": " + what;
    return kErrorBadHiveFile;
  }
  problem_.clear();
  return 0;
}

// The file named by a link is rewritten beside its target, so the link stays a link (settings
// kept in a repository of dotfiles are linked this way); the lock and the temporary file are
// the target's too. Only links of the caller or root into their directories are followed, and
// only to an existing file: a link another user planted makes root create nothing.
template <typename Change>
int RegFileHive::modify(Change change) {
  const std::string named = location();
  if (const int error = make_directories(parent_directory(named))) {
    problem_ = parent_directory(named) + ": " + system_error_text(error);
    return error;
  }
  std::string file;
  if (const int error = trusted_link_target(named, &file)) {
    problem_ = named + ": " +
               (error == EPERM    ? "a link of another user, or into another user's directory; "
                                    "not followed"
                : error == ENOENT ? "a link to a file that does not exist; no file is created "
                                    "through a link"
                                  : system_error_text(error));
    return error;
  }
  // Whatever is no settings file gets no lock file beside it (/dev/zero.lock, say).
  if (const int error = check_regular_file(file, kMaxSettingsFileBytes); error && error != ENOENT) {
    problem_ = file + ": " + system_error_text(error);
    return error;
  }
  HiveFileLock lock(file);
  if (lock.error()) {
    problem_ = lock.problem();
    return lock.error();
  }
  // Every writer holds the lock from creating its temporary file to renaming it, so while the
  // lock is held an old temporary file of this settings file is a dead writer's.
  remove_stale_temporaries(file);
  RegDocument doc;
  if (const int error = load(file, &doc)) return error;
  if (!change(doc)) return 0;
  if (const int error = replace_file(file, doc.render())) {
    problem_ = file + ": " + system_error_text(error);
    return error;
  }
  return 0;
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

int RegFileHive::set_dwords(const std::string& path,
                            const std::vector<std::pair<std::string, uint32_t>>& values) {
  std::lock_guard lock(mutex_);
  return result(modify([&](RegDocument& d) {
    bool changed = false;
    for (const auto& [name, value] : values) changed = d.set_dword(path, name, value) || changed;
    return changed;
  }));
}

}  // namespace kav::platform
