// COM ports on Windows: CreateFileA on "\\.\COM<n>" (Windows gives a port to one opener at a
// time), the line settings through a DCB, the read and write time-outs through COMMTIMEOUTS,
// PurgeComm and ClearCommError. The port's HANDLE is kept in the descriptor slot: Windows keeps
// the meaningful bits of a kernel handle within 32 bits (HandleToLong and LongToHandle).
#include <algorithm>
#include <cerrno>
#include <utility>

#include "lib/platform/clock.h"
#include "lib/platform/error.h"
#include "lib/platform/serial.h"
#include "lib/platform/win32.h"

namespace kav::platform {

namespace {

thread_local std::string t_open_error_text;

constexpr uint32_t kSpeeds[] = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

HANDLE handle_of(int fd) {
  return LongToHandle(fd);
}

// The Windows errors of a port whose device has left (a USB serial driver's removal answers).
bool is_gone_windows_error(DWORD error) {
  switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_FILE_NOT_FOUND:
      return true;
    default:
      return false;
  }
}

// Records the calling thread's last error for a failed port call: a device that has gone is
// kErrorDeviceNotConnected.
bool fail_port_call() {
  const DWORD error = GetLastError();
  set_last_error(is_gone_windows_error(error) ? kErrorDeviceNotConnected : win32::error_of(error));
  return false;
}

bool fail_with(int code) {
  set_last_error(code);
  return false;
}

bool fail_open(const std::string& path, int error) {
  t_open_error_text = describe_open_error(path, error);
  set_last_error(error);
  return false;
}

// ClearCommError clears the error word it reports. The errors that SerialPort::wait_readable()
// cleared are kept in the port's counts until clear_comm_error() reports them; both run on the
// reading thread.
void note_errors(LineErrorCounts* counts, uint32_t word) {
  if (word & kCeRxOver) ++counts->buf_overrun;
  if (word & kCeOverrun) ++counts->overrun;
  if (word & kCeRxParity) ++counts->parity;
  if (word & kCeFrame) ++counts->frame;
  if (word & kCeBreak) ++counts->brk;
}

// Raw 8N1 with the receiver on, modem status lines ignored, and no flow control; the speed is
// left as it is.
void make_raw(DCB* dcb) {
  dcb->fBinary = TRUE;
  dcb->fParity = FALSE;
  dcb->fOutxCtsFlow = FALSE;
  dcb->fOutxDsrFlow = FALSE;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fDsrSensitivity = FALSE;
  dcb->fTXContinueOnXoff = TRUE;
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fErrorChar = FALSE;
  dcb->fNull = FALSE;
  dcb->fRtsControl = RTS_CONTROL_ENABLE;
  dcb->fAbortOnError = FALSE;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
}

}  // namespace

bool is_standard_baud_rate(uint32_t baud_rate) {
  return std::find(std::begin(kSpeeds), std::end(kSpeeds), baud_rate) != std::end(kSpeeds);
}

std::string describe_open_error(const std::string& path, int error) {
  std::string text = system_error_text(error);
  if (error == EBUSY) {
    text += " (another program has " + path + " open)";
  }
  return text;
}

bool is_device_gone_error(int error) {
  return error == EIO || error == ENODEV || error == ENXIO || error == kErrorDeviceNotConnected;
}

bool open_error_is_transient(int error) {
  return error == EBUSY || error == EAGAIN || error == EIO || error == EINTR;
}

std::string open_error_text() {
  return t_open_error_text;
}

bool SerialPort::open(const std::string& path) {
  if (is_open()) close();
  // No sharing: a second opener, in this process or another, is refused by Windows itself.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A COM port that another program has open answers "access denied".
    const int code = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                         ? EBUSY
                         : win32::error_of(error);
    return fail_open(path, code);
  }
  fd_ = HandleToLong(handle);
  timeouts_ = SerialTimeouts{};
  counts_ = LineErrorCounts{};
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  tty_ = GetCommState(handle, &dcb) != FALSE;
  if (tty_) {
    make_raw(&dcb);
    SetCommState(handle, &dcb);
    PurgeComm(handle, PURGE_RXCLEAR);
  }
  if (!set_timeouts(timeouts_)) {
    const int error = last_error();
    close();
    return fail_open(path, error);
  }
  return true;
}

bool SerialPort::set_timeouts(const SerialTimeouts& timeouts) {
  if (!is_open()) return fail_with(EBADF);
  timeouts_ = timeouts;
  if (!tty_) return true;
  // MAXDWORD, MAXDWORD, constant: a read returns at once with what is buffered, else with the
  // first byte to arrive, else after the constant with nothing.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = MAXDWORD;
  t.ReadTotalTimeoutConstant = timeouts.read_first_byte_ms;
  t.WriteTotalTimeoutMultiplier = timeouts.write_per_byte_ms;
  t.WriteTotalTimeoutConstant = timeouts.write_constant_ms;
  if (!SetCommTimeouts(handle_of(fd_), &t)) return fail_port_call();
  return true;
}

bool SerialPort::line_settings_readable() {
  if (!is_open()) return fail_with(EBADF);
  if (!tty_) return true;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle_of(fd_), &dcb)) return fail_port_call();
  return true;
}

bool SerialPort::configure(uint32_t baud_rate) {
  if (!is_open()) return fail_with(EBADF);
  if (!is_standard_baud_rate(baud_rate)) return fail_with(EINVAL);
  if (!tty_) return true;
  HANDLE handle = handle_of(fd_);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) return fail_port_call();
  make_raw(&dcb);
  dcb.BaudRate = baud_rate;
  if (!SetCommState(handle, &dcb)) return fail_port_call();
  // Ports without modem lines (a pseudo-terminal under Wine) refuse these; that is no error.
  EscapeCommFunction(handle, SETDTR);
  EscapeCommFunction(handle, SETRTS);
  return true;
}

bool SerialPort::read(uint8_t* buffer, size_t size, size_t* bytes_read) {
  *bytes_read = 0;
  if (!is_open()) return fail_with(EBADF);
  if (size == 0) return true;
  DWORD n = 0;
  const DWORD part = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
  if (!ReadFile(handle_of(fd_), buffer, part, &n, nullptr)) {
    // A purge from the writing thread aborts the read: nothing was read, nothing has gone.
    if (GetLastError() != ERROR_OPERATION_ABORTED) return fail_port_call();
  }
  *bytes_read = n;
  return true;
}

bool SerialPort::wait_readable(uint32_t ms) {
  const uint32_t start = tick_count();
  if (is_open() && !tty_) return true;  // no input count: the read itself tells
  for (;;) {
    if (is_open()) {
      COMSTAT stat{};
      DWORD errors = 0;
      if (!ClearCommError(handle_of(fd_), &errors, &stat)) return true;  // gone: readable
      note_errors(&counts_, errors);
      if (stat.cbInQue > 0) return true;
    }
    if (static_cast<uint32_t>(tick_count() - start) >= ms) return false;
    sleep_ms(1);
  }
}

bool SerialPort::write(const uint8_t* bytes, size_t size, size_t* bytes_written) {
  *bytes_written = 0;
  if (!is_open()) return fail_with(EBADF);
  if (size == 0) return true;
  DWORD n = 0;
  const DWORD part = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
  if (!WriteFile(handle_of(fd_), bytes, part, &n, nullptr)) {
    // A purge aborts the write: what moved before it is reported, as after a time-out.
    if (GetLastError() != ERROR_OPERATION_ABORTED) return fail_port_call();
  }
  *bytes_written = n;
  return true;
}

bool SerialPort::purge() {
  if (!is_open()) return fail_with(EBADF);
  if (!tty_) {
    // No queues to discard: read what has arrived and drop it.
    uint8_t sink[512];
    size_t n = 0;
    while (wait_readable(0) && read(sink, sizeof sink, &n) && n > 0) {
    }
    return true;
  }
  if (!PurgeComm(handle_of(fd_), PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR)) {
    return fail_port_call();
  }
  return true;
}

bool SerialPort::clear_comm_error(uint32_t* errors, uint32_t* in_queue) {
  if (!is_open()) return fail_with(EBADF);
  if (!tty_) {
    // A device without comm state has no error word and cannot count its input.
    if (errors != nullptr) *errors = 0;
    if (in_queue != nullptr) *in_queue = 0;
    return true;
  }
  DWORD word = 0;
  COMSTAT stat{};
  uint32_t queued = 0;
  if (!ClearCommError(handle_of(fd_), &word, &stat)) {
    const DWORD error = GetLastError();
    if (!is_gone_windows_error(error)) {
      set_last_error(win32::error_of(error));
      return false;
    }
    word = kCeDeviceGone;
  } else {
    queued = stat.cbInQue;
    // With the errors that waits for input cleared meanwhile.
    word = (word | comm_errors_between(LineErrorCounts{}, counts_)) & kCeDeviceGone;
    counts_ = LineErrorCounts{};
  }
  if (errors != nullptr) *errors = word;
  if (in_queue != nullptr) *in_queue = queued;
  return true;
}

bool SerialPort::close() {
  if (!is_open()) return fail_with(EBADF);
  HANDLE handle = handle_of(std::exchange(fd_, -1));
  tty_ = false;
  if (!CloseHandle(handle)) {
    win32::capture_last_error();
    return false;
  }
  return true;
}

bool SerialPort::read_counts(LineErrorCounts*) const {
  return false;
}

}  // namespace kav::platform
