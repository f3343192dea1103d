#include "sim/root_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "sim/device_tree.h"

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

// Removes the entries of `dir` that `pick` selects. Returns the first failure, or empty.
template <typename Pick>
std::string remove_entries(const fs::path& dir, Pick pick) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (!pick(entry)) continue;
    std::error_code removed;
    fs::remove_all(entry.path(), removed);
    if (removed) return entry.path().string() + ": " + removed.message();
  }
  return {};
}

}  // namespace

RootClaim::RootClaim(const std::string& root) : root_(root) {
  std::error_code ec;
  fs::create_directories(root_, ec);
  if (ec) throw std::runtime_error("cannot create the root " + root_ + ": " + ec.message());
  fd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error(system_error_text("cannot open the root " + root_));
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
  clear_ready();
  std::string failure = remove_entries(root_ + "/dev", is_simulated_node);
  const auto is_link = [](const fs::directory_entry& e) { return e.is_symlink(); };
  for (const char* dir : {"/sys/class/tty", "/sys/class/hidraw", "/sys/class/block",
                          "/sys/class/wwan", "/sys/bus/usb/devices"}) {
    if (failure.empty()) failure = remove_entries(root_ + dir, is_link);
  }
  for (const char* base : {kPciBase, kPcieBase}) {
    if (failure.empty()) {
      failure = remove_entries(root_ + "/" + base, [](const auto&) { return true; });
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
