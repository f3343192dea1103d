#include "tests/support/port_holder.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/platform/serial.h"

namespace kav::test {

namespace {

// Descriptors a forked child may have inherited; far more than a test opens.
constexpr int kMaxInheritedFd = 1024;

void close_inherited_except(int keep_a, int keep_b) {
  for (int fd = 3; fd < kMaxInheritedFd; ++fd) {
    if (fd != keep_a && fd != keep_b) ::close(fd);
  }
}

// Opens the device the way `style` says; true when it is held. A plain open's descriptor is
// left open until the process exits.
bool hold(const std::string& path, HoldStyle style, platform::SerialPort* port) {
  if (style == HoldStyle::kLibrary) return port->open(path);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  return style != HoldStyle::kMarkOnly || ioctl(fd, TIOCEXCL) == 0;
}

}  // namespace

PortHolder::PortHolder(const std::string& device_path, const char* process_name, HoldStyle style) {
  if (pipe(ready_) != 0 || pipe(release_) != 0) return;
  pid_ = fork();
  if (pid_ < 0) return;
  if (pid_ == 0) {
    prctl(PR_SET_NAME, process_name);
    if (style != HoldStyle::kDeviceEnd) close_inherited_except(ready_[1], release_[0]);
    platform::SerialPort port;
    const char ok = hold(device_path, style, &port) ? 'y' : 'n';
    (void)!::write(ready_[1], &ok, 1);
    char c;
    (void)!::read(release_[0], &c, 1);
    if (port.is_open()) port.close();  // as a program ending normally does
    _exit(0);
  }
  char ok = 0;
  held_ = ::read(ready_[0], &ok, 1) == 1 && ok == 'y';
}

PortHolder::~PortHolder() {
  release();
  for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void PortHolder::release() {
  if (pid_ <= 0) return;
  (void)!::write(release_[1], "x", 1);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace kav::test
