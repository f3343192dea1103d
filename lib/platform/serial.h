// The serial port of the platform: an exclusively opened tty device node in raw 8N1 mode, with
// the read and write time-outs and the error word that the DM transport relies on. A
// character device that is not a terminal (the wwan DM port of a PCIe modem) is a port
// without line settings: it is locked and read and written the same way, and the calls that
// would change its line settings have nothing to do.
//
// SerialPort is a move-only owner of one open device; "no port" is a SerialPort that is not
// open (is_open() false). Closing happens in close() or in the destructor.
//
// Threading: one thread may read (read, clear_comm_error) while another writes (write, purge)
// on the same open port. open, close, set_timeouts, configure and moves must not run
// concurrently with any other call on the same object. Every failure sets the calling
// thread's last error (lib/platform/error.h): an errno value, or kErrorDeviceNotConnected
// when the device has gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kav::platform {

// Bits of the comm error word (the values of Windows' CE_* flags).
constexpr uint32_t kCeRxOver = 0x01;    // driver input buffer overflowed
constexpr uint32_t kCeOverrun = 0x02;   // UART overrun: a character was lost
constexpr uint32_t kCeRxParity = 0x04;  // parity error
constexpr uint32_t kCeFrame = 0x08;     // framing error
constexpr uint32_t kCeBreak = 0x10;     // break received
// All five at once: what a USB serial driver reports once its device has left the bus.
constexpr uint32_t kCeDeviceGone = 0x1F;

// How long reads and writes may take.
struct SerialTimeouts {
  // A read with nothing buffered waits at most this long for a first byte, and returns as
  // soon as one arrives. A read with bytes buffered returns them at once.
  uint32_t read_first_byte_ms = 10;
  // A write gives up after write_constant_ms + write_per_byte_ms * size and reports the bytes
  // it moved (possibly none) as a success.
  uint32_t write_per_byte_ms = 1;
  uint32_t write_constant_ms = 5000;
};

// Cumulative line error counts of a driver (TIOCGICOUNT).
struct LineErrorCounts {
  uint32_t frame = 0;
  uint32_t overrun = 0;
  uint32_t parity = 0;
  uint32_t brk = 0;
  uint32_t buf_overrun = 0;
};

// The comm error word for the errors counted between two readings of the counters.
uint32_t comm_errors_between(const LineErrorCounts& before, const LineErrorCounts& after);

// True for the standard line speeds (50 to 4000000 baud) that configure() accepts.
bool is_standard_baud_rate(uint32_t baud_rate);

class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort();
  SerialPort(SerialPort&& other) noexcept;
  SerialPort& operator=(SerialPort&& other) noexcept;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  bool is_open() const { return fd_ >= 0; }

  // Opens the device node at `path` (symbolic links followed) for reading and writing,
  // exclusively: the node is advisorily locked (flock) and a tty is marked exclusive
  // (TIOCEXCL), so a second user, in this process or another, fails with EBUSY. The open
  // fails with EBUSY too when another holder had marked the tty exclusive, and, when running
  // as root (whom the kernel lets past that mark), when any other process has the node open.
  // A tty is made raw at once (as configure() does, the speed untouched), so that nothing is
  // echoed back to a modem that is already sending; when it was not raw before, what the line
  // discipline received until then is dropped. Whether the node is a tty is asked of the open
  // file, not read from its name: a character device or FIFO without termios is taken with
  // the lock alone, and anything else fails with ENOTTY. A port already open is closed first;
  // the time-outs are the defaults. On failure the last error is the errno value and
  // open_error_text() describes it.
  bool open(const std::string& path);

  // False for a port without line settings (a character device that is not a tty).
  bool is_tty() const { return tty_; }

  // Replaces the time-outs of later reads and writes. Fails only when the port is not open.
  bool set_timeouts(const SerialTimeouts& timeouts);
  const SerialTimeouts& timeouts() const { return timeouts_; }

  // Raw 8N1 at `baud_rate`, receiver on, modem status lines ignored, no hardware or software
  // flow control; then DTR and RTS are raised where the driver has modem lines (a
  // pseudo-terminal has none, which is not an error). An unknown speed fails with EINVAL. A
  // port without line settings only checks the speed.
  bool configure(uint32_t baud_rate);

  // True when the port's line settings can be read (the first half of configure(), which
  // callers may check on its own to tell a refused read from a refused write).
  bool line_settings_readable();

  // Reads up to `size` bytes into `buffer`; `*bytes_read` gets the count, 0 when the read
  // time-out passed without a byte. Fails with kErrorDeviceNotConnected when the device has
  // gone.
  bool read(uint8_t* buffer, size_t size, size_t* bytes_read);

  // Waits at most `ms` for bytes to read, or for the device to go; returns at once when some
  // are already waiting. True when the port became readable (or gone) in time. A closed port
  // just sleeps.
  bool wait_readable(uint32_t ms);

  // Writes `size` bytes synchronously; `*bytes_written` gets the count moved before the write
  // time-out (fewer than `size` is still a success). Fails with kErrorDeviceNotConnected when
  // the device has gone.
  bool write(const uint8_t* bytes, size_t size, size_t* bytes_written);

  // Discards everything not yet sent and everything received but not read. A port without
  // line settings has no output queue to discard; what it has received is read and dropped.
  bool purge();

  // `*errors` gets the comm error word: kCeDeviceGone when the device has gone (hang-up,
  // EIO, ENODEV, ENXIO, ESHUTDOWN), else the line errors the driver counted since the
  // previous call (or the open), else 0. `*in_queue` gets the bytes waiting to be read (0 when
  // gone, or when a device without line settings cannot count them). Either pointer may be
  // null.
  bool clear_comm_error(uint32_t* errors, uint32_t* in_queue);

  // Releases the exclusive mark (only when this port set it) and the lock, and closes. The port is
  // closed afterwards even when the system reports an error (which is then returned as false).
  bool close();

  // The file descriptor, for diagnostics and tests; -1 when closed.
  int native_handle() const { return fd_; }

 private:
  bool read_counts(LineErrorCounts* counts) const;

  int fd_ = -1;
  SerialTimeouts timeouts_;
  LineErrorCounts counts_;
  bool has_counts_ = false;
  bool tty_ = false;
  bool marked_exclusive_ = false;  // this port set the tty's exclusive mark
};

// The text of the calling thread's last failed SerialPort::open: the system text of the
// error, naming the processes that hold a busy device ("Device or resource busy (held by
// ModemManager, pid 812)"), or, when none can be seen (they belong to another user), saying
// that another program holds it and how to find it; when permission was refused, the group
// that grants access ("Permission denied (add your user to the 'dialout' group)"), or, for a
// node left 0600 root:root, that no udev rule has applied to it. Empty before any failure.
std::string open_error_text();

// The same text, computed for `path` and the errno value `error` now.
std::string describe_open_error(const std::string& path, int error);

// True for the errors of a device that has gone: EIO, ENODEV, ENXIO, and ESHUTDOWN (what USB
// drivers return while their device is being disconnected).
bool is_device_gone_error(int error);

// True when an open that failed with `error` may succeed when tried again soon: the device is
// held by someone (EBUSY, EAGAIN) or still settling (EIO, EINTR). Anything else (a missing node,
// a refused permission, a node that is not a terminal) stays as it is and is not retried.
bool open_error_is_transient(int error);

}  // namespace kav::platform
