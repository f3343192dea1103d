// A pseudo-terminal pair as the simulator and the tests use it: the master side is the "modem",
// the slave side is the device node the library opens (through a symbolic link under
// <root>/dev). Closing the master is what a USB modem leaving the bus looks like to a reader of
// the slave: reads fail with EIO and poll reports a hang-up.
//
// Threading: one Pty may be read by one thread and written by another; close_master() must not
// race with either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/line.h"

namespace kav::sim {

class Pty : public Line {
 public:
  // Opens a new pair with the slave in raw mode. Throws std::runtime_error on failure.
  Pty();
  ~Pty() override;
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // The slave's device node, e.g. "/dev/pts/7".
  const std::string& slave_path() const { return slave_path_; }
  int master_fd() const { return master_fd_; }
  bool master_open() const { return master_fd_ >= 0; }

  // Writes all bytes to the master (towards the slave's reader). False when the master is
  // closed or the write fails.
  bool write(const uint8_t* bytes, size_t count) override;
  using Line::write;

  // Reads what the slave's writer sent, waiting at most `timeout_ms` for the first byte.
  // Returns the bytes read (empty on time-out or when the master is closed).
  std::vector<uint8_t> read(int timeout_ms) override;

  // Closes the master: the slave's users see the device gone.
  void close_master();
  void close() override { close_master(); }
  const std::string& path() const override { return slave_path_; }

 private:
  int master_fd_ = -1;
  int slave_keepalive_fd_ = -1;  // keeps the slave usable until the master closes
  std::string slave_path_;
};

}  // namespace kav::sim
