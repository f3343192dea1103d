#include "lib/platform/serial.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>
#include <vector>

#include "lib/platform/clock.h"
#include "lib/platform/device_holders.h"
#include "lib/platform/error.h"
#include "lib/platform/udev.h"

namespace kav::platform {

namespace {

thread_local std::string t_open_error_text;

// Reads a port without line settings makes at most to empty itself on purge (a DM port holds
// far less; this only bounds the loop).
constexpr int kMaxPurgeReads = 256;

// Sets the last error from errno, turning the errors of a vanished device into
// kErrorDeviceNotConnected. Returns false for use in return statements.
bool fail_with_errno() {
  const int error = errno;
  set_last_error(is_device_gone_error(error) ? kErrorDeviceNotConnected : error);
  return false;
}

bool fail_with(int code) {
  set_last_error(code);
  return false;
}

struct SpeedEntry {
  uint32_t baud;
  speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool speed_code(uint32_t baud, speed_t* code) {
  for (const auto& entry : kSpeeds) {
    if (entry.baud == baud) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

// Milliseconds left of a budget that started at `start`.
int remaining_ms(uint32_t start, uint64_t budget_ms) {
  const uint64_t elapsed = static_cast<uint32_t>(tick_count() - start);
  if (elapsed >= budget_ms) return 0;
  return static_cast<int>(std::min<uint64_t>(budget_ms - elapsed, INT_MAX));
}

// Polls for `events`; returns the revents (0 on time-out), or -1 with errno on failure.
int poll_once(int fd, short events, int timeout_ms) {
  pollfd pfd{fd, events, 0};
  for (;;) {
    const int n = poll(&pfd, 1, timeout_ms);
    if (n >= 0) return n == 0 ? 0 : pfd.revents;
    if (errno != EINTR) return -1;
  }
}

constexpr short kGoneEvents = POLLHUP | POLLERR;

// The group whose members may open the node: its own group when that grants read and write,
// else the group Debian gives serial devices.
std::string access_group(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP) &&
      st.st_gid != 0) {
    group grp;
    group* found = nullptr;
    char buffer[4096];
    if (getgrgid_r(st.st_gid, &grp, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
      return found->gr_name;
    }
  }
  return "dialout";
}

// devtmpfs creates nodes 0600 root:root; udev then gives serial ports their group. A node still
// in that state had no rule applied: a container without udev, or no udev at all.
bool left_by_devtmpfs(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600 && st.st_uid == 0 &&
         st.st_gid == 0;
}

// The kernel makes wwan nodes 0600 root:root and no rule of the distribution changes that.
bool is_wwan_node(const std::string& path) {
  const size_t slash = path.rfind('/');
  return path.compare(slash == std::string::npos ? 0 : slash + 1, 4, "wwan") == 0;
}

std::string permission_hint(const std::string& path) {
  if (udev_still_handling(path)) {
    return " (udev is still setting up " + path +
           ": it has no entry in /run/udev/data yet; try again in a moment)";
  }
  if (is_wwan_node(path)) {
    return " (" + path +
           " is a wwan port, which the kernel makes 0600 root:root: install the udev rules of "
           "'kav ports --udev-rules', which give it group 'dialout', mode 0660, or run as root)";
  }
  if (left_by_devtmpfs(path)) {
    if (udev_running()) {
      return " (" + path +
             " is 0600 root:root: no udev rule has given it a group; run as root, or have the "
             "node made group 'dialout', mode 0660)";
    }
    return " (" + path +
           " is 0600 root:root: no udev rule has given it a group, as in a container or "
           "without udev; run as root, or have the node made group 'dialout', mode 0660)";
  }
  return " (add your user to the '" + access_group(path) + "' group)";
}

// The holders of a busy node, or, when none can be seen (they run as another user), where to
// look.
std::string busy_hint(const std::string& path) {
  const std::string holders = holders_text(device_holders(path, false));
  if (!holders.empty()) return " (held by " + holders + ")";
  return " (another program holds it, often ModemManager; 'sudo fuser -v " + path +
         "' or 'sudo lsof " + path + "' shows which)";
}

bool fail_open(const std::string& path, int error) {
  t_open_error_text = describe_open_error(path, error);
  set_last_error(error);
  return false;
}

// Closes a descriptor whose open is refused (leaving the tty's exclusive mark alone: it is
// not ours) and fails with `error`.
bool refuse_open(int fd, const std::string& path, int error) {
  ::close(fd);
  return fail_open(path, error);
}

// Raw 8N1 with the receiver on, modem status lines ignored, and no flow control; the speed is
// left as it is.
void make_raw(termios* tio) {
  tio->c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
  tio->c_oflag &= ~OPOST;
  tio->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  // 8N1; CLOCAL so that modem status lines never hang the port up; no CTS output flow
  // control (the modem does not drive CTS reliably and would stall our writes).
  tio->c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio->c_cflag |= CS8 | CREAD | CLOCAL;
  // With O_NONBLOCK, VMIN 1 makes an empty read fail with EAGAIN rather than return 0, which
  // is kept for a hung-up line.
  tio->c_cc[VMIN] = 1;
  tio->c_cc[VTIME] = 0;
}

// /dev/null's numbers. Nearly every process holds it open, so taken for a port (a fixed port
// linked to it) it would read as busy for good; it is no port at all.
constexpr unsigned kNullMajor = 1;
constexpr unsigned kNullMinor = 3;

// Whether the open file is a terminal. A character device without termios (a PCIe modem's
// wwan port) or a FIFO is a port without line settings; anything else fails with ENOTTY.
int classify_node(int fd, bool* tty) {
  termios tio{};
  *tty = tcgetattr(fd, &tio) == 0;
  if (*tty) return 0;
  if (errno != ENOTTY && errno != EINVAL) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (S_ISCHR(st.st_mode) && major(st.st_rdev) == kNullMajor && minor(st.st_rdev) == kNullMinor) {
    return ENOTTY;
  }
  return S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) ? 0 : ENOTTY;
}

// Makes a freshly opened tty raw at once. Under the default termios the line discipline echoes
// a streaming modem's bytes straight back to it and rewrites what it keeps (CR to LF, line
// editing), so when the line was not raw already, what arrived before is dropped. A line that
// was raw (a driver keeps the settings of its last user) holds the device's bytes intact,
// perhaps an answer sent across a re-enumeration, and keeps them.
int make_raw_and_flush(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return errno;
  const termios before = tio;
  make_raw(&tio);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return errno;
  const bool processed = tio.c_iflag != before.c_iflag || tio.c_oflag != before.c_oflag ||
                         tio.c_lflag != before.c_lflag;
  if (processed && tcflush(fd, TCIOFLUSH) != 0) return errno;
  return 0;
}

// The flock keeps out our own kind only. Another program (ModemManager) opens without one,
// and the kernel lets root past its exclusive mark, so: a mark someone else set refuses the
// open, and root, who can see every process, refuses a node any other process has open.
// `*adopt_mark` is set when root finds the mark of a holder that has gone: a pseudo-terminal
// keeps it while its master lives (a real tty drops it with its last close), so it is taken
// over rather than left to refuse every later opener.
bool no_other_holder(int fd, const std::string& path, bool tty, bool* adopt_mark) {
  int marked = 0;
  if (tty && ioctl(fd, TIOCGEXCL, &marked) != 0) marked = 0;
  *adopt_mark = false;
  if (geteuid() == 0) {
    const std::string holders = holders_text(device_holders(path, true));
    if (!holders.empty()) {
      ::close(fd);
      t_open_error_text = system_error_text(EBUSY) + " (held by " + holders + ")";
      return fail_with(EBUSY);
    }
    *adopt_mark = marked != 0 && is_pty_slave(fd);
  }
  if (marked != 0 && !*adopt_mark) return refuse_open(fd, path, EBUSY);
  return true;
}

}  // namespace

bool is_standard_baud_rate(uint32_t baud_rate) {
  speed_t code;
  return speed_code(baud_rate, &code);
}

std::string describe_open_error(const std::string& path, int error) {
  if (error == EWOULDBLOCK) error = EBUSY;  // a held flock is a busy device
  std::string text = system_error_text(error);
  if (error == EBUSY) {
    text += busy_hint(path);
  } else if (error == EACCES || error == EPERM) {
    text += permission_hint(path);
  }
  return text;
}

bool is_device_gone_error(int error) {
  return error == EIO || error == ENODEV || error == ENXIO || error == ESHUTDOWN;
}

bool open_error_is_transient(int error) {
  return error == EBUSY || error == EAGAIN || error == EWOULDBLOCK || error == EIO ||
         error == EINTR;
}

std::string open_error_text() {
  return t_open_error_text;
}

bool SerialPort::open(const std::string& path) {
  if (is_open()) close();
  // Non-blocking: the open must not wait for carrier, and reads and writes wait in poll()
  // under our own time-outs.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail_open(path, errno);
  bool tty = false;
  if (const int error = classify_node(fd, &tty)) return refuse_open(fd, path, error);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return refuse_open(fd, path, errno == EWOULDBLOCK ? EBUSY : errno);
  }
  bool adopted = false;
  if (!no_other_holder(fd, path, tty, &adopted)) return false;
  // Marks the tty exclusive, so that opens by others (except root's) fail at once.
  if (tty && !adopted && ioctl(fd, TIOCEXCL) != 0) return refuse_open(fd, path, errno);
  if (tty) {
    if (const int error = make_raw_and_flush(fd)) {
      ioctl(fd, TIOCNXCL);
      return refuse_open(fd, path, error);
    }
  }
  fd_ = fd;
  tty_ = tty;
  marked_exclusive_ = tty;
  timeouts_ = SerialTimeouts{};
  has_counts_ = tty && read_counts(&counts_);
  return true;
}

bool SerialPort::set_timeouts(const SerialTimeouts& timeouts) {
  if (!is_open()) return fail_with(EBADF);
  timeouts_ = timeouts;
  return true;
}

bool SerialPort::line_settings_readable() {
  if (!is_open()) return fail_with(EBADF);
  if (!tty_) return true;  // a port without line settings has nothing to read
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return fail_with_errno();
  return true;
}

bool SerialPort::configure(uint32_t baud_rate) {
  if (!is_open()) return fail_with(EBADF);
  speed_t speed;
  if (!speed_code(baud_rate, &speed)) return fail_with(EINVAL);
  if (!tty_) return true;  // nothing to set: the device moves bytes at its own rate
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return fail_with_errno();
  make_raw(&tio);
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return fail_with(EINVAL);
  if (tcsetattr(fd_, TCSANOW, &tio) != 0) return fail_with_errno();
  int lines = TIOCM_DTR | TIOCM_RTS;
  // Drivers without modem lines (pseudo-terminals) refuse this; only a vanished device is an
  // error here.
  if (ioctl(fd_, TIOCMBIS, &lines) != 0 && is_device_gone_error(errno)) return fail_with_errno();
  return true;
}

bool SerialPort::read(uint8_t* buffer, size_t size, size_t* bytes_read) {
  *bytes_read = 0;
  if (!is_open()) return fail_with(EBADF);
  if (size == 0) return true;
  const uint32_t start = tick_count();
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n > 0) {
      *bytes_read = static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return fail_with_errno();
    // 0 is end of file on a hung-up tty, but also "nothing yet" when the line still has
    // VMIN 0 (before configure); poll tells them apart.
    if (n == 0) {
      const int events = poll_once(fd_, POLLIN, 0);
      if (events < 0) return fail_with_errno();
      if (events & kGoneEvents) return fail_with(kErrorDeviceNotConnected);
    }
    const int wait = remaining_ms(start, timeouts_.read_first_byte_ms);
    if (wait == 0) return true;  // time-out: nothing arrived
    const int revents = poll_once(fd_, POLLIN, wait);
    if (revents < 0) return fail_with_errno();
    if (revents & POLLNVAL) return fail_with(EBADF);
    if ((revents & kGoneEvents) && !(revents & POLLIN)) return fail_with(kErrorDeviceNotConnected);
    if (revents == 0) return true;  // time-out
  }
}

bool SerialPort::wait_readable(uint32_t ms) {
  if (!is_open()) {
    sleep_ms(ms);
    return false;
  }
  return poll_once(fd_, POLLIN, static_cast<int>(std::min<uint32_t>(ms, INT_MAX))) > 0;
}

bool SerialPort::write(const uint8_t* bytes, size_t size, size_t* bytes_written) {
  *bytes_written = 0;
  if (!is_open()) return fail_with(EBADF);
  const uint32_t start = tick_count();
  const uint64_t budget =
      uint64_t{timeouts_.write_constant_ms} + uint64_t{timeouts_.write_per_byte_ms} * size;
  while (*bytes_written < size) {
    const ssize_t n = ::write(fd_, bytes + *bytes_written, size - *bytes_written);
    if (n > 0) {
      *bytes_written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return fail_with_errno();
    const int wait = remaining_ms(start, budget);
    if (wait == 0) break;  // time-out: report what went out
    const int revents = poll_once(fd_, POLLOUT, wait);
    if (revents < 0) return fail_with_errno();
    if (revents & POLLNVAL) return fail_with(EBADF);
    if (revents & kGoneEvents) return fail_with(kErrorDeviceNotConnected);
  }
  return true;
}

bool SerialPort::purge() {
  if (!is_open()) return fail_with(EBADF);
  if (tty_) {
    if (tcflush(fd_, TCIOFLUSH) != 0) return fail_with_errno();
    return true;
  }
  // Without a line discipline there is nothing to flush: read what is waiting and drop it.
  // What was written has already gone to the device.
  uint8_t scrap[4096];
  for (int i = 0; i < kMaxPurgeReads; ++i) {
    const ssize_t n = ::read(fd_, scrap, sizeof scrap);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n < 0 && errno != EAGAIN) return fail_with_errno();
    break;
  }
  return true;
}

bool SerialPort::read_counts(LineErrorCounts* counts) const {
  serial_icounter_struct icount{};
  if (ioctl(fd_, TIOCGICOUNT, &icount) != 0) return false;
  counts->frame = static_cast<uint32_t>(icount.frame);
  counts->overrun = static_cast<uint32_t>(icount.overrun);
  counts->parity = static_cast<uint32_t>(icount.parity);
  counts->brk = static_cast<uint32_t>(icount.brk);
  counts->buf_overrun = static_cast<uint32_t>(icount.buf_overrun);
  return true;
}

bool SerialPort::clear_comm_error(uint32_t* errors, uint32_t* in_queue) {
  uint32_t word = 0;
  uint32_t queued = 0;
  if (!is_open()) return fail_with(EBADF);
  const int revents = poll_once(fd_, POLLIN, 0);
  if (revents < 0) return fail_with_errno();
  if (revents & POLLNVAL) return fail_with(EBADF);
  int pending = 0;
  if (revents & kGoneEvents) {
    word = kCeDeviceGone;
  } else if (ioctl(fd_, FIONREAD, &pending) != 0) {
    // A device without a queue count (FIONREAD is all a wwan port answers, and not every
    // character device does) reports none; the reader polls instead.
    if (tty_ || errno != ENOTTY) {
      if (!is_device_gone_error(errno)) return fail_with_errno();
      word = kCeDeviceGone;
    }
    pending = 0;
  }
  if (word == 0) {
    queued = static_cast<uint32_t>(std::max(pending, 0));
    LineErrorCounts now;
    // Drivers without counters (pseudo-terminals, some USB serial drivers) report none.
    if (has_counts_ && read_counts(&now)) {
      word = comm_errors_between(counts_, now);
      counts_ = now;
    }
  }
  if (errors != nullptr) *errors = word;
  if (in_queue != nullptr) *in_queue = queued;
  return true;
}

bool SerialPort::close() {
  if (!is_open()) return fail_with(EBADF);
  const int fd = std::exchange(fd_, -1);
  // The exclusive mark belongs to the tty, not to this descriptor: clear the one we set, or
  // the next opener is refused while anyone else still holds the tty open (a pseudo-terminal
  // keeps it while its master lives). A vanished device refuses the request, which does not
  // matter.
  if (std::exchange(marked_exclusive_, false)) ioctl(fd, TIOCNXCL);
  has_counts_ = false;
  if (::close(fd) != 0 && errno != EINTR) return fail_with_errno();
  return true;
}

}  // namespace kav::platform
