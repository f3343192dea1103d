// The parts of SerialPort that are the same on every system: its end and its moves.
#include <utility>

#include "lib/platform/serial.h"

namespace kav::platform {

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
