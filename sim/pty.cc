#include "sim/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace kav::sim {

Pty::Pty() {
  master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd_ < 0 || grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0) {
    throw std::runtime_error("cannot open a pseudo-terminal");
  }
  char name[128];
  if (ptsname_r(master_fd_, name, sizeof name) != 0) {
    throw std::runtime_error("cannot name the pseudo-terminal slave");
  }
  slave_path_ = name;
  // Holding the slave open keeps the master readable (no EIO) while no client has it open,
  // and lets us put the line in raw mode once for every later opener.
  slave_keepalive_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_keepalive_fd_ >= 0) {
    termios tio{};
    if (tcgetattr(slave_keepalive_fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave_keepalive_fd_, TCSANOW, &tio);
    }
  }
}

Pty::~Pty() {
  close_master();
  if (slave_keepalive_fd_ >= 0) ::close(slave_keepalive_fd_);
}

bool Pty::write(const uint8_t* bytes, size_t count) {
  while (count > 0 && master_fd_ >= 0) {
    const ssize_t n = ::write(master_fd_, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd pfd{master_fd_, POLLOUT, 0};
        poll(&pfd, 1, 100);
        continue;
      }
      return false;
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return count == 0;
}

std::vector<uint8_t> Pty::read(int timeout_ms) {
  std::vector<uint8_t> out;
  if (master_fd_ < 0) return out;
  pollfd pfd{master_fd_, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) <= 0 || !(pfd.revents & POLLIN)) return out;
  uint8_t buffer[4096];
  const ssize_t n = ::read(master_fd_, buffer, sizeof buffer);
  if (n > 0) out.assign(buffer, buffer + n);
  return out;
}

void Pty::close_master() {
  if (master_fd_ >= 0) {
    ::close(master_fd_);
    master_fd_ = -1;
  }
  // With the master gone, our own slave handle has no further use; closing it lets the pts
  // number be reused like a vanished ttyUSB.
  if (slave_keepalive_fd_ >= 0) {
    ::close(slave_keepalive_fd_);
    slave_keepalive_fd_ = -1;
  }
}

}  // namespace kav::sim
