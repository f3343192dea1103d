#include "lib/platform/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lib/platform/error.h"
#include "sim/pty.h"
#include "tests/support/device_root.h"
#include "tests/support/port_holder.h"

namespace kav::platform {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Waits until the port reports `count` bytes queued (pty delivery is asynchronous).
uint32_t wait_for_queue(SerialPort& port, uint32_t count) {
  uint32_t errors = 0, queued = 0;
  for (int i = 0; i < 200; ++i) {
    if (!port.clear_comm_error(&errors, &queued)) return 0;
    if (queued >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return queued;
}

// Whether the tty at `path` is marked exclusive, asked through a descriptor of our own. An
// unprivileged opener is refused by the mark itself, which answers the question too.
int exclusive_mark(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? 1 : -1;
  int excl = -1;
  if (ioctl(fd, TIOCGEXCL, &excl) != 0) excl = -1;
  ::close(fd);
  return excl;
}

// Runs `body` in a forked child and returns its exit status (or -1 when it did not exit).
template <typename F>
int in_child(F body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(SerialPort, OpensPtyAndConfiguresRaw8N1) {
  sim::Pty pty;
  SerialPort port;
  ASSERT_TRUE(port.open(pty.slave_path())) << open_error_text();
  ASSERT_TRUE(port.configure(115200)) << system_error_text(last_error());
  termios tio{};
  ASSERT_EQ(tcgetattr(port.native_handle(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_NE(tio.c_cflag & CREAD, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  ASSERT_TRUE(port.configure(9600));
  ASSERT_EQ(tcgetattr(port.native_handle(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));

  // Unknown speeds are refused and leave the line as it was.
  EXPECT_FALSE(port.configure(12345));
  EXPECT_EQ(last_error(), EINVAL);
  EXPECT_FALSE(is_standard_baud_rate(12345));
  EXPECT_TRUE(is_standard_baud_rate(921600));
  ASSERT_EQ(tcgetattr(port.native_handle(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
}

TEST(SerialPort, BinaryBytesPassBothWaysUnchanged) {
  sim::Pty pty;
  SerialPort port;
  ASSERT_TRUE(port.open(pty.slave_path()));
  ASSERT_TRUE(port.configure(115200));
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  size_t written = 0;
  ASSERT_TRUE(port.write(all.data(), all.size(), &written));
  EXPECT_EQ(written, all.size());
  Bytes seen;
  while (seen.size() < all.size()) {
    Bytes chunk = pty.read(200);
    if (chunk.empty()) break;
    seen.insert(seen.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(seen, all);

  ASSERT_TRUE(pty.write(all));
  ASSERT_EQ(wait_for_queue(port, 256), 256u);
  Bytes got(512);
  size_t n = 0;
  ASSERT_TRUE(port.read(got.data(), got.size(), &n));
  got.resize(n);
  EXPECT_EQ(got, all);
}

TEST(SerialPort, ReadReturnsBufferedAtOnceElseWithinTheFirstByteTimeout) {
  sim::Pty pty;
  SerialPort port;
  ASSERT_TRUE(port.open(pty.slave_path()));
  ASSERT_TRUE(port.configure(115200));
  uint8_t buffer[64];
  size_t n = 99;

  // Nothing buffered: about 10 ms, never much longer.
  auto start = Clock::now();
  ASSERT_TRUE(port.read(buffer, sizeof buffer, &n));
  long took = elapsed_ms(start);
  EXPECT_EQ(n, 0u);
  EXPECT_GE(took, 8);
  EXPECT_LE(took, 30);

  // Buffered bytes come back at once, without waiting out the time-out.
  ASSERT_TRUE(pty.write(Bytes{1, 2, 3}));
  ASSERT_EQ(wait_for_queue(port, 3), 3u);
  start = Clock::now();
  ASSERT_TRUE(port.read(buffer, sizeof buffer, &n));
  EXPECT_EQ(n, 3u);
  EXPECT_LE(elapsed_ms(start), 5);

  // A byte arriving during the wait ends the read as soon as it arrives.
  ASSERT_TRUE(port.set_timeouts({.read_first_byte_ms = 2000}));
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty.write(Bytes{0x7E});
  });
  start = Clock::now();
  ASSERT_TRUE(port.read(buffer, sizeof buffer, &n));
  took = elapsed_ms(start);
  sender.join();
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(buffer[0], 0x7E);
  EXPECT_GE(took, 20);
  EXPECT_LE(took, 500);
}

TEST(SerialPort, QueueCountAndPurge) {
  sim::Pty pty;
  SerialPort port;
  ASSERT_TRUE(port.open(pty.slave_path()));
  ASSERT_TRUE(port.configure(115200));
  uint32_t errors = 1, queued = 1;
  ASSERT_TRUE(port.clear_comm_error(&errors, &queued));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(queued, 0u);

  ASSERT_TRUE(pty.write(Bytes{9, 8, 7, 6, 5}));
  EXPECT_EQ(wait_for_queue(port, 5), 5u);
  ASSERT_TRUE(port.purge());
  ASSERT_TRUE(port.clear_comm_error(&errors, &queued));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(queued, 0u);
  uint8_t buffer[16];
  size_t n = 0;
  ASSERT_TRUE(port.read(buffer, sizeof buffer, &n));
  EXPECT_EQ(n, 0u);

  // Later input is received normally.
  ASSERT_TRUE(pty.write(Bytes{0x42}));
  EXPECT_EQ(wait_for_queue(port, 1), 1u);
}

TEST(SerialPort, WriteGivesUpAfterItsTimeoutWithPartialCount) {
  sim::Pty pty;  // nobody reads the master, so its buffer fills up
  SerialPort port;
  ASSERT_TRUE(port.open(pty.slave_path()));
  ASSERT_TRUE(port.configure(115200));
  ASSERT_TRUE(port.set_timeouts({.write_per_byte_ms = 0, .write_constant_ms = 50}));
  const Bytes big(1 << 20, 0x55);
  size_t written = 0;
  const auto start = Clock::now();
  ASSERT_TRUE(port.write(big.data(), big.size(), &written));
  const long took = elapsed_ms(start);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  EXPECT_GE(took, 40);
  EXPECT_LE(took, 500);
}

TEST(SerialPort, OpenIsExclusiveWithinTheProcessAndNamesTheHolder) {
  sim::Pty pty;
  SerialPort first;
  ASSERT_TRUE(first.open(pty.slave_path()));
  EXPECT_EQ(exclusive_mark(pty.slave_path()), 1);

  SerialPort second;
  EXPECT_FALSE(second.open(pty.slave_path()));
  EXPECT_EQ(last_error(), EBUSY);
  EXPECT_FALSE(second.is_open());
  const std::string text = open_error_text();
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(text.rfind("Device or resource busy (held by ", 0), 0u) << text;
  EXPECT_NE(text.find(", pid " + pid), std::string::npos) << text;
  char comm[32] = {};
  prctl(PR_GET_NAME, comm);
  EXPECT_NE(text.find(std::string(comm) + ", pid " + pid), std::string::npos) << text;

  // Closing releases both the lock and the exclusive mark: the next open succeeds.
  ASSERT_TRUE(first.close());
  EXPECT_EQ(exclusive_mark(pty.slave_path()), 0);
  EXPECT_TRUE(second.open(pty.slave_path())) << open_error_text();
}

TEST(SerialPort, OpenIsExclusiveAcrossProcesses) {
  sim::Pty pty;
  SerialPort port;
  ASSERT_TRUE(port.open(pty.slave_path()));
  const std::string path = pty.slave_path();
  const int code = in_child([&] {
    SerialPort other;
    if (other.open(path)) return 0;
    return last_error() == EBUSY ? 1 : 2;
  });
  EXPECT_EQ(code, 1);
}

TEST(SerialPort, BusyTextNamesAnotherHoldingProcess) {
  sim::Pty pty;
  const std::string path = pty.slave_path();
  test::PortHolder holder(path, "kav-holder");
  ASSERT_TRUE(holder.held());
  SerialPort port;
  EXPECT_FALSE(port.open(path));
  EXPECT_EQ(last_error(), EBUSY);
  const std::string text = open_error_text();
  EXPECT_NE(text.find("kav-holder, pid " + std::to_string(holder.pid())), std::string::npos)
      << text;
  EXPECT_EQ(describe_open_error(path, EBUSY), text);
  holder.release();
  // The holder's exit releases the device.
  EXPECT_TRUE(port.open(path)) << open_error_text();
}

TEST(SerialPort, DeviceGoneShowsInErrorWordWriteAndRead) {
  sim::Pty pty;
  SerialPort port;
  ASSERT_TRUE(port.open(pty.slave_path()));
  ASSERT_TRUE(port.configure(115200));
  pty.close_master();
  uint32_t errors = 0, queued = 7;
  ASSERT_TRUE(port.clear_comm_error(&errors, &queued));
  EXPECT_EQ(errors, kCeDeviceGone);
  EXPECT_EQ(queued, 0u);
  // It stays gone.
  ASSERT_TRUE(port.clear_comm_error(&errors, nullptr));
  EXPECT_EQ(errors, 0x1Fu);

  const uint8_t flag = 0x7E;
  size_t written = 5;
  EXPECT_FALSE(port.write(&flag, 1, &written));
  EXPECT_EQ(last_error(), kErrorDeviceNotConnected);
  EXPECT_EQ(written, 0u);
  uint8_t buffer[8];
  size_t n = 5;
  const auto start = Clock::now();
  EXPECT_FALSE(port.read(buffer, sizeof buffer, &n));
  EXPECT_EQ(last_error(), kErrorDeviceNotConnected);
  EXPECT_EQ(n, 0u);
  EXPECT_LE(elapsed_ms(start), 30);
  // Closing a gone device still releases the descriptor.
  port.close();
  EXPECT_FALSE(port.is_open());
}

TEST(SerialPort, OpenFailuresCarryTheSystemText) {
  SerialPort port;
  EXPECT_FALSE(port.open("/nonexistent/ttyUSB0"));
  EXPECT_EQ(last_error(), ENOENT);
  EXPECT_EQ(open_error_text(), "No such file or directory");

  // Something that is not a terminal is refused and left unlocked: a file, and /dev/null, which
  // nearly every process holds (never "busy": no port at all).
  char name[] = "/tmp/kav_serial_test_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  for (const char* path : {static_cast<const char*>(name), "/dev/null"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(port.open(path));
    EXPECT_EQ(last_error(), ENOTTY);
    EXPECT_FALSE(port.is_open());
  }
  ::close(fd);
  unlink(name);

  // Calls on a closed port fail instead of touching a stale descriptor.
  uint8_t b = 0;
  size_t n = 0;
  EXPECT_FALSE(port.write(&b, 1, &n));
  EXPECT_EQ(last_error(), EBADF);
  EXPECT_FALSE(port.clear_comm_error(nullptr, nullptr));
  EXPECT_FALSE(port.close());
}

TEST(SerialPort, PermissionTextNamesTheDialoutGroup) {
  const std::string expected = "Permission denied (add your user to the 'dialout' group)";
  if (geteuid() != 0) {
    char name[] = "/tmp/kav_serial_perm_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(chmod(name, 0), 0);
    SerialPort port;
    EXPECT_FALSE(port.open(name));
    EXPECT_EQ(last_error(), EACCES);
    EXPECT_EQ(open_error_text(), expected);
    unlink(name);
    return;
  }
  // As root: a pty slave only its owner may open, tried by an unprivileged child. It is given a
  // group (20 is dialout on Debian): a node left root:root reads as one no udev rule reached.
  sim::Pty pty;
  ASSERT_EQ(chown(pty.slave_path().c_str(), 0, 20), 0);
  ASSERT_EQ(chmod(pty.slave_path().c_str(), 0600), 0);
  int result[2];
  ASSERT_EQ(pipe(result), 0);
  const std::string path = pty.slave_path();
  const int code = in_child([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 3;
    SerialPort port;
    if (port.open(path)) return 0;
    const std::string text = open_error_text();
    (void)!::write(result[1], text.data(), text.size());
    return last_error() == EACCES ? 1 : 2;
  });
  ::close(result[1]);
  char buffer[256] = {};
  const ssize_t n = ::read(result[0], buffer, sizeof buffer - 1);
  ::close(result[0]);
  EXPECT_EQ(code, 1);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), expected);
}

TEST(SerialPort, MovedPortKeepsTheDevice) {
  sim::Pty pty;
  SerialPort a;
  ASSERT_TRUE(a.open(pty.slave_path()));
  SerialPort b = std::move(a);
  EXPECT_FALSE(a.is_open());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  ASSERT_TRUE(b.is_open());
  const uint8_t byte = 0x3A;
  size_t n = 0;
  ASSERT_TRUE(b.write(&byte, 1, &n));
  EXPECT_EQ(pty.read(200), Bytes{0x3A});
  // Assigning over an open port closes it: the device can be opened again.
  b = SerialPort();
  SerialPort c;
  EXPECT_TRUE(c.open(pty.slave_path())) << open_error_text();
}

// Runs `body` in a child that has become the unprivileged user "nobody", and returns the
// exit status and what the child wrote to its result pipe.
template <typename F>
std::pair<int, std::string> as_nobody(F body) {
  int result[2];
  if (pipe(result) != 0) return {-1, {}};
  const int code = in_child([&] {
    // Holds nothing of the parent's: descriptors it inherited would make it a holder itself.
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != result[1]) ::close(fd);
    }
    if (setgid(65534) != 0 || setuid(65534) != 0) return 3;
    const std::string text = body();
    (void)!::write(result[1], text.data(), text.size());
    return 0;
  });
  ::close(result[1]);
  char buffer[512] = {};
  const ssize_t n = ::read(result[0], buffer, sizeof buffer - 1);
  ::close(result[0]);
  return {code, std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0)};
}

// Other programs open a port without our lock: ModemManager marks it exclusive or not at all,
// and the kernel lets root past the mark. Root therefore refuses a port any other process has
// open; a process at the far end of a pseudo-terminal (a simulator) is not such a holder.
TEST(SerialPort, AnotherProgramWithoutTheLockKeepsThePort) {
  struct Case {
    const char* name;
    test::HoldStyle style;
    bool needs_root;  // only root looks for holders that left no mark
    bool refused;     // our open fails with EBUSY, naming the holder
  };
  const Case cases[] = {
      {"marks the tty exclusive", test::HoldStyle::kMarkOnly, false, true},
      {"neither marks nor locks", test::HoldStyle::kPlain, true, true},
      {"plays the device (holds the master)", test::HoldStyle::kDeviceEnd, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && geteuid() != 0) continue;
    sim::Pty pty;
    const std::string path = pty.slave_path();
    test::PortHolder holder(path, "kav-mm", c.style);
    ASSERT_TRUE(holder.held());
    const int mark_before = exclusive_mark(path);
    SerialPort port;
    EXPECT_EQ(port.open(path), !c.refused) << open_error_text();
    if (c.refused) {
      EXPECT_EQ(last_error(), EBUSY);
      // Root leaves itself out; a normal user's text also names the test process, which
      // holds the pseudo-terminal's slave too.
      const std::string named = "kav-mm, pid " + std::to_string(holder.pid()) + ")";
      if (geteuid() == 0) {
        EXPECT_EQ(open_error_text(), "Device or resource busy (held by " + named);
      } else {
        EXPECT_NE(open_error_text().find(named), std::string::npos) << open_error_text();
      }
      // The refused open leaves the holder's mark as it was.
      EXPECT_EQ(exclusive_mark(path), mark_before);
    }
    port.close();
    holder.release();
  }
}

// A normal user cannot look into root's processes: the busy text then says where to look.
TEST(SerialPort, BusyTextWithoutAVisibleHolderSaysHowToFindIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hold the port as another user";
  sim::Pty pty;
  const std::string path = pty.slave_path();
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  test::PortHolder holder(path, "kav-mm", test::HoldStyle::kMarkOnly);
  ASSERT_TRUE(holder.held());
  const auto [code, text] = as_nobody([&] {
    SerialPort port;
    if (port.open(path)) return std::string("opened");
    return std::to_string(last_error()) + " " + open_error_text();
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(text, std::to_string(EBUSY) +
                      " Device or resource busy (another program holds it, often ModemManager; "
                      "'sudo fuser -v " +
                      path + "' or 'sudo lsof " + path + "' shows which)");
}

TEST(SerialPort, CloseClearsOnlyTheMarkItSet) {
  sim::Pty pty;
  const std::string path = pty.slave_path();
  {
    SerialPort port;
    ASSERT_TRUE(port.open(path)) << open_error_text();
    EXPECT_EQ(exclusive_mark(path), 1);
    ASSERT_TRUE(port.close());
    EXPECT_EQ(exclusive_mark(path), 0);
  }
  // A pseudo-terminal keeps the mark of a holder that ended without clearing it, as long as
  // its master lives (a real tty drops it with its last close). The kernel refuses everyone
  // but root; root, seeing no holder left, takes the mark over and clears it on close.
  test::PortHolder gone(path, "kav-mm", test::HoldStyle::kMarkOnly);
  ASSERT_TRUE(gone.held());
  gone.release();
  ASSERT_EQ(exclusive_mark(path), 1);
  SerialPort port;
  if (geteuid() != 0) {
    EXPECT_FALSE(port.open(path));
    EXPECT_EQ(last_error(), EBUSY);
    return;
  }
  ASSERT_TRUE(port.open(path)) << open_error_text();
  ASSERT_TRUE(port.close());
  EXPECT_EQ(exclusive_mark(path), 0);
}

// Between the open and configure() the line must already be raw: under the default termios
// the line discipline echoes everything a streaming modem sends straight back to it.
TEST(SerialPort, OpenMakesTheLineRawAndDropsWhatCameBefore) {
  sim::Pty pty;
  const int keep = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(keep, 0);
  termios cooked{};
  ASSERT_EQ(tcgetattr(keep, &cooked), 0);
  cooked.c_lflag |= ECHO | ICANON | ISIG;
  cooked.c_iflag |= ICRNL;
  ASSERT_EQ(tcsetattr(keep, TCSANOW, &cooked), 0);
  ASSERT_TRUE(pty.write(Bytes{'o', 'l', 'd', '\r'}));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  while (!pty.read(20).empty()) {
  }  // the echo of what came before the open

  SerialPort port;
  ASSERT_TRUE(port.open(pty.slave_path())) << open_error_text();
  ::close(keep);
  termios tio{};
  ASSERT_EQ(tcgetattr(port.native_handle(), &tio), 0);
  EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG), 0u);
  EXPECT_EQ(tio.c_iflag & ICRNL, 0u);
  uint32_t errors = 0, queued = 9;
  ASSERT_TRUE(port.clear_comm_error(&errors, &queued));
  EXPECT_EQ(queued, 0u) << "input from before the open is dropped";

  const Bytes frame{0x7E, 0x0D, 0x0A, 0x7E};
  ASSERT_TRUE(pty.write(frame));
  EXPECT_TRUE(pty.read(50).empty()) << "nothing is echoed back";
  ASSERT_EQ(wait_for_queue(port, 4), 4u);
  Bytes got(16);
  size_t n = 0;
  ASSERT_TRUE(port.read(got.data(), got.size(), &n));
  got.resize(n);
  EXPECT_EQ(got, frame);
}

// A node that is a character device but not a terminal (the wwan DM port of a PCIe modem), or
// a FIFO standing in for one, is opened with the lock alone and moves bytes as a tty does.
TEST(SerialPort, NodeWithoutTermiosIsAPortWithoutLineSettings) {
  char dir[] = "/tmp/kav_serial_node_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/wwan0qcdm0";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  SerialPort port;
  ASSERT_TRUE(port.open(fifo)) << open_error_text();
  EXPECT_FALSE(port.is_tty());
  EXPECT_TRUE(port.line_settings_readable());
  EXPECT_TRUE(port.configure(115200));
  EXPECT_FALSE(port.configure(12345));
  // A FIFO opened for both reading and writing hands our own bytes back.
  const Bytes frame{0x4B, 0x7E, 0x00, 0x7D, 0x5E, 0x7E};
  size_t n = 0;
  ASSERT_TRUE(port.write(frame.data(), frame.size(), &n));
  EXPECT_EQ(n, frame.size());
  uint32_t errors = 9, queued = 0;
  ASSERT_TRUE(port.clear_comm_error(&errors, &queued));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(queued, frame.size());
  Bytes got(16);
  ASSERT_TRUE(port.read(got.data(), 2, &n));
  got.resize(n);
  EXPECT_EQ(got, Bytes(frame.begin(), frame.begin() + 2));
  ASSERT_TRUE(port.purge());
  ASSERT_TRUE(port.clear_comm_error(&errors, &queued));
  EXPECT_EQ(queued, 0u);
  // The lock still keeps a second user out.
  SerialPort second;
  EXPECT_FALSE(second.open(fifo));
  EXPECT_EQ(last_error(), EBUSY);
  ASSERT_TRUE(port.close());
  EXPECT_TRUE(second.open(fifo)) << open_error_text();
  second.close();

  // A real character device without termios (/dev/zero's numbers), where root may make one:
  // reads and writes work, and the calls without meaning for it succeed.
  const std::string chr = std::string(dir) + "/wwan0qcdm1";
  if (geteuid() == 0 && mknod(chr.c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0) {
    ASSERT_TRUE(port.open(chr)) << open_error_text();
    EXPECT_FALSE(port.is_tty());
    ASSERT_TRUE(port.configure(115200));
    ASSERT_TRUE(port.write(frame.data(), frame.size(), &n));
    EXPECT_EQ(n, frame.size());
    Bytes zeros(8, 0xFF);
    ASSERT_TRUE(port.read(zeros.data(), zeros.size(), &n));
    EXPECT_EQ(n, zeros.size());
    EXPECT_EQ(zeros, Bytes(8, 0));
    ASSERT_TRUE(port.clear_comm_error(&errors, &queued));
    EXPECT_EQ(errors, 0u);
    port.close();
    unlink(chr.c_str());
  }
  unlink(fifo.c_str());
  rmdir(dir);
}

TEST(SerialPort, PermissionTextTellsAnUnmanagedNodeFromAGroupOne) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give nodes to root and to other groups";
  char dir[] = "/tmp/kav_serial_perm_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  ASSERT_EQ(chmod(dir, 0755), 0);
  const std::string node = std::string(dir) + "/ttyUSB2";
  // As devtmpfs makes a node: no udev rule has applied.
  const std::string unmanaged =
      "Permission denied (" + node +
      " is 0600 root:root: no udev rule has given it a group, as in a container or without "
      "udev; run as root, or have the node made group 'dialout', mode 0660)";
  const struct {
    mode_t mode;
    gid_t gid;
    std::string text;
  } rows[] = {
      {0600, 0, unmanaged},
      // A group was given (20 is dialout on Debian), whether or not the mode lets it in.
      {0660, 20, "Permission denied (add your user to the 'dialout' group)"},
      {0600, 20, "Permission denied (add your user to the 'dialout' group)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const int fd = ::open(node.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(chown(node.c_str(), 0, row.gid), 0);
    ASSERT_EQ(chmod(node.c_str(), row.mode), 0);
    const auto [code, text] = as_nobody([&] {
      SerialPort port;
      if (port.open(node)) return std::string("opened");
      return open_error_text();
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(text, row.text);
    unlink(node.c_str());
  }
  rmdir(dir);
}

// What the refusal of a 0600 root:root node says depends on udev: still at work on a new node
// (the open is worth trying again), done without a rule, or absent (a container). A wwan port
// is always made so, and only the generated rules change it.
TEST(SerialPort, PermissionTextFollowsWhatUdevHasDone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make device nodes";
  test::DeviceRoot root;
  const struct {
    const char* name;
    bool udev_runs, has_entry;
    std::string expected;  // a part of the text
    const char* not_expected;
  } rows[] = {
      {"ttyUSB2", false, false, "as in a container or without udev", nullptr},
      {"ttyUSB2", true, false, "udev is still setting up", "container"},
      {"ttyUSB2", true, true, "no udev rule has given it a group; run as root", "container"},
      {"wwan0qcdm0", true, true, "install the udev rules of 'kav ports --udev-rules'", "container"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + (row.udev_runs ? " udev" : "") +
                 (row.has_entry ? " entry" : ""));
    const std::string node = root.path() + "/dev/" + row.name;
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 5)), 0);
    if (row.udev_runs) root.write("run/udev/control", "");
    if (row.has_entry) root.write("run/udev/data/c1:5", "E:ID_MM_CANDIDATE=1\n");
    const std::string text = describe_open_error(node, EACCES);
    EXPECT_NE(text.find(row.expected), std::string::npos) << text;
    if (row.not_expected) {
      EXPECT_EQ(text.find(row.not_expected), std::string::npos) << text;
    }
    unlink(node.c_str());
    unlink((root.path() + "/run/udev/control").c_str());
    unlink((root.path() + "/run/udev/data/c1:5").c_str());
  }
}

TEST(SerialPort, ErrorsOfAVanishedDevice) {
  for (int error : {EIO, ENODEV, ENXIO, ESHUTDOWN}) EXPECT_TRUE(is_device_gone_error(error));
  for (int error : {EAGAIN, EINTR, EBUSY, EINVAL, ENOTTY})
    EXPECT_FALSE(is_device_gone_error(error));
}

TEST(CommErrors, LineErrorCountDeltasMapToErrorBits) {
  LineErrorCounts before{.frame = 3, .overrun = 1, .parity = 0, .brk = 2, .buf_overrun = 0};
  EXPECT_EQ(comm_errors_between(before, before), 0u);
  LineErrorCounts after = before;
  after.frame += 1;
  EXPECT_EQ(comm_errors_between(before, after), kCeFrame);
  after.overrun += 2;
  after.parity += 1;
  EXPECT_EQ(comm_errors_between(before, after), kCeFrame | kCeOverrun | kCeRxParity);
  after.brk += 1;
  after.buf_overrun += 1;
  EXPECT_EQ(comm_errors_between(before, after), kCeDeviceGone);
  // Counters wrap; a change is a change.
  LineErrorCounts high{.frame = 0xFFFFFFFFu};
  LineErrorCounts wrapped{.frame = 0};
  EXPECT_EQ(comm_errors_between(high, wrapped), kCeFrame);
}

}  // namespace
}  // namespace kav::platform
