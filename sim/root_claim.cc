#include "sim/root_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "sim/device_tree.h"
#include "sim/root_files.h"

namespace kav::sim {

namespace fs = std::filesystem;

namespace {

constexpr long kSysfsMagic = 0x62656572;

std::string ready_file(const std::string& root) {
  return root + "/.ready";
}

std::string system_error_text(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// The /dev entries a DeviceTree makes: links to pseudo-terminals or empty plain files named as
// the kernel names serial, HID and CD-ROM nodes. A real device node is never one of them.
bool is_simulated_node(const fs::directory_entry& entry) {
  static const std::regex name("(ttyUSB|ttyACM|hidraw|sr|wwan[0-9]+qcdm)[0-9]+");
  std::error_code ec;
  const fs::file_status status = entry.symlink_status(ec);
  return !ec && (fs::is_symlink(status) || fs::is_regular_file(status)) &&
         std::regex_match(entry.path().filename().string(), name);
}

// The directories a DeviceTree makes below the root (their parents included). A link in
// place of any of them would lead the simulator's writes and removals out of the root.
constexpr const char* kTreeDirectories[] = {kPciBase,
                                            kPcieBase,
                                            "sys/class/tty",
                                            "sys/class/hidraw",
                                            "sys/class/block",
                                            "sys/class/wwan",
                                            "sys/bus/usb/devices",
                                            "sys/bus/usb/drivers",
                                            "sys/bus/pci/drivers",
                                            "dev"};

// Removes the entries of `root`/`dir` that `pick` selects, without following a link. Returns
// the first failure, or empty.
template <typename Pick>
std::string remove_entries(const std::string& root, const std::string& dir, Pick pick) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root + "/" + dir, ec)) {
    if (!pick(entry)) continue;
    const std::string failure = remove_below(root, entry.path().string());
    if (!failure.empty()) return failure;
  }
  return {};
}

}  // namespace

RootClaim::RootClaim(const std::string& root) : root_(root) {
  std::error_code ec;
  fs::create_directories(root_, ec);
  if (ec) throw std::runtime_error("cannot create the root " + root_ + ": " + ec.message());
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  // The root itself must be a directory of the caller's: another user's root, or a link,
  // could hold links of that user's choosing that the removal of leftovers would follow.
  fd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0 && errno == ELOOP) {
    throw std::runtime_error("the root " + root_ +
                             " is a symbolic link; give kav-modem-sim the directory itself");
  }
  if (fd_ < 0) throw std::runtime_error(system_error_text("cannot open the root " + root_));
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || info.st_uid != ::geteuid()) {
    ::close(fd_);
    throw std::runtime_error("the root " + root_ + " belongs to another user (uid " +
                             std::to_string(info.st_uid) + "); give kav-modem-sim a directory of " +
                             "its own");
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const std::string text = errno == EWOULDBLOCK
                                 ? root_ + " is in use by another kav-modem-sim"
                                 : system_error_text("cannot lock the root " + root_);
    ::close(fd_);
    throw std::runtime_error(text);
  }
  remove_leftovers();
}

RootClaim::~RootClaim() {
  clear_ready();
  ::close(fd_);
}

void RootClaim::set_ready() {
  const int fd = ::open(ready_file(root_).c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error(system_error_text("cannot create " + ready_file(root_)));
  ::close(fd);
}

void RootClaim::clear_ready() {
  ::unlink(ready_file(root_).c_str());
}

// With the lock held no simulator runs here: every device entry and .ready is a leftover of a
// run that was killed. Only what a DeviceTree creates is removed, never the root's other files.
void RootClaim::remove_leftovers() {
  const std::string sys = root_ + "/sys";
  struct statfs fs_info {};
  if (::statfs(sys.c_str(), &fs_info) == 0 && fs_info.f_type == kSysfsMagic) {
    throw std::runtime_error(root_ +
                             " holds the kernel's own device tree; give a directory of "
                             "its own to kav-modem-sim");
  }
  for (const char* dir : kTreeDirectories) {
    const std::string link = first_link_below(root_, root_ + "/" + dir);
    if (!link.empty()) {
      throw std::runtime_error(link + " is a symbolic link where kav-modem-sim makes a " +
                               "directory; remove it or give kav-modem-sim another root");
    }
  }
  clear_ready();
  std::string failure = remove_entries(root_, "dev", is_simulated_node);
  const auto is_link = [](const fs::directory_entry& e) { return e.is_symlink(); };
  for (const char* dir : {"sys/class/tty", "sys/class/hidraw", "sys/class/block", "sys/class/wwan",
                          "sys/bus/usb/devices"}) {
    if (failure.empty()) failure = remove_entries(root_, dir, is_link);
  }
  for (const char* base : {kPciBase, kPcieBase}) {
    if (failure.empty()) {
      failure = remove_entries(root_, base, [](const auto&) { return true; });
    }
  }
  if (!failure.empty()) {
    throw std::runtime_error("cannot remove what an earlier run left in " + root_ + " (" + failure +
                             "); remove it with: rm -rf " + sys + " " + root_ + "/dev " +
                             ready_file(root_));
  }
  prune_empty_directories(sys);
  prune_empty_directories(root_ + "/dev");
}

}  // namespace kav::sim
