// The parts of the serial port that are the same on every system: its end and its moves, and
// the error bits of a change in the line's error counts.
#include <utility>

#include "lib/platform/serial.h"

namespace kav::platform {

uint32_t comm_errors_between(const LineErrorCounts& before, const LineErrorCounts& after) {
  uint32_t errors = 0;
  if (after.buf_overrun != before.buf_overrun) errors |= kCeRxOver;
  if (after.overrun != before.overrun) errors |= kCeOverrun;
  if (after.parity != before.parity) errors |= kCeRxParity;
  if (after.frame != before.frame) errors |= kCeFrame;
  if (after.brk != before.brk) errors |= kCeBreak;
  return errors;
}

SerialPort::~SerialPort() {
  if (is_open()) close();
}

SerialPort::SerialPort(SerialPort&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      timeouts_(other.timeouts_),
      counts_(other.counts_),
      has_counts_(other.has_counts_),
      tty_(other.tty_),
      marked_exclusive_(other.marked_exclusive_) {}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
  if (this != &other) {
    if (is_open()) close();
    fd_ = std::exchange(other.fd_, -1);
    timeouts_ = other.timeouts_;
    counts_ = other.counts_;
    has_counts_ = other.has_counts_;
    tty_ = other.tty_;
    marked_exclusive_ = other.marked_exclusive_;
  }
  return *this;
}

}  // namespace kav::platform
