#include "sim/root_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace kav::sim {

namespace {

// An open descriptor, closed on scope exit.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string failure(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + failure(path, error));
}

// The components of `path` below `root`. Throws for a path outside the root or one that
// climbs with "..".
std::vector<std::string> components(const std::string& root, const std::string& path) {
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 ||
      path[root.size()] != '/') {
    throw std::runtime_error(path + " is not below " + root);
  }
  std::vector<std::string> parts;
  size_t start = root.size() + 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "." || part == "..") throw std::runtime_error(path + " climbs out of " + root);
    if (!part.empty()) parts.push_back(std::move(part));
    start = end + 1;
  }
  if (parts.empty()) throw std::runtime_error(path + " names the root " + root);
  return parts;
}

// Opens the directory that holds the last component of `path`, creating missing directories
// on the way when `create`. ENOENT leaves an invalid Fd when not creating.
Fd open_parent(const std::string& root, const std::vector<std::string>& parts,
               const std::string& path, bool create) {
  Fd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) fail("cannot open", root, errno);
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const char* name = parts[i].c_str();
    int fd = ::openat(dir.get(), name, kDirFlags);
    if (fd < 0 && errno == ENOENT && create) {
      if (::mkdirat(dir.get(), name, 0755) != 0 && errno != EEXIST)
        fail("cannot create", path, errno);
      fd = ::openat(dir.get(), name, kDirFlags);
    }
    if (fd < 0) {
      if (errno == ENOENT && !create) return Fd();
      // O_NOFOLLOW on a link gives ELOOP; O_DIRECTORY on anything else but a directory ENOTDIR.
      fail("cannot reach", path, errno == ELOOP ? ENOTDIR : errno);
    }
    dir = Fd(fd);
  }
  return dir;
}

// Removes the entry `name` of the directory `dir`, everything below it first. Returns 0 or
// an errno value.
int remove_at(int dir, const char* name) {
  struct stat st {};
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(dir, name, 0) == 0 || errno == ENOENT ? 0 : errno;
  Fd fd(::openat(dir, name, kDirFlags));
  if (fd.get() < 0) return errno;
  DIR* entries = ::fdopendir(fd.get());
  if (entries == nullptr) return errno;
  fd.release();
  int error = 0;
  while (const dirent* entry = ::readdir(entries)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    error = remove_at(::dirfd(entries), entry->d_name);
    if (error != 0) break;
  }
  ::closedir(entries);
  if (error != 0) return error;
  return ::unlinkat(dir, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

// Removes the empty directories below the open directory `dir`. True when `dir` ended empty.
bool prune_at(int dir) {
  DIR* entries = ::fdopendir(::dup(dir));
  if (entries == nullptr) return false;
  bool empty = true;
  while (const dirent* entry = ::readdir(entries)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    Fd child(::openat(dir, entry->d_name, kDirFlags));
    if (child.get() >= 0 && prune_at(child.get()) &&
        ::unlinkat(dir, entry->d_name, AT_REMOVEDIR) == 0) {
      continue;
    }
    empty = false;
  }
  ::closedir(entries);
  return empty;
}

}  // namespace

void make_dirs_below(const std::string& root, const std::string& path) {
  std::vector<std::string> parts = components(root, path);
  parts.emplace_back("x");  // open_parent stops before the last part
  open_parent(root, parts, path, true);
}

void write_file_below(const std::string& root, const std::string& path, const std::string& text) {
  const std::vector<std::string> parts = components(root, path);
  Fd dir = open_parent(root, parts, path, true);
  Fd fd(::openat(dir.get(), parts.back().c_str(),
                 O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() < 0) fail("cannot write", path, errno);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("cannot write", path, n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
}

void make_link_below(const std::string& root, const std::string& target, const std::string& link) {
  const std::vector<std::string> parts = components(root, link);
  Fd dir = open_parent(root, parts, link, true);
  if (::symlinkat(target.c_str(), dir.get(), parts.back().c_str()) != 0) {
    fail("cannot link", link, errno);
  }
}

std::string remove_below(const std::string& root, const std::string& path) {
  try {
    const std::vector<std::string> parts = components(root, path);
    Fd dir = open_parent(root, parts, path, false);
    if (dir.get() < 0) return {};
    const int error = remove_at(dir.get(), parts.back().c_str());
    return error == 0 ? std::string() : failure(path, error);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

std::string first_link_below(const std::string& root, const std::string& path) {
  const std::vector<std::string> parts = components(root, path);
  std::string walked = root;
  for (const std::string& part : parts) {
    walked += "/" + part;
    struct stat st {};
    if (::lstat(walked.c_str(), &st) != 0) return {};
    if (S_ISLNK(st.st_mode)) return walked;
  }
  return {};
}

void prune_empty_below(const std::string& dir) {
  Fd fd(::open(dir.c_str(), kDirFlags));
  if (fd.get() >= 0 && prune_at(fd.get())) ::rmdir(dir.c_str());
}

}  // namespace kav::sim
