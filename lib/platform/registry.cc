#include "lib/platform/registry.h"

#include <fcntl.h>
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
  const int error = read_whole_file(file, &text);
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
  if (const int error = make_directories(parent_directory(file))) return error;
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
