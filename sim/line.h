// The modem's end of one of its ports: the bytes the host wrote come out of read(), what the
// modem answers goes in through write(). A pseudo-terminal master (Pty) on a device tree, or a
// USB gadget's serial line (GadgetLine, /dev/ttyGS<n>) on a real bus.
//
// Threading: one thread reads while another writes; close() must not race with either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kav::sim {

class Line {
 public:
  virtual ~Line() = default;

  // Writes all bytes towards the host. False when the line is closed or the write fails.
  virtual bool write(const uint8_t* bytes, size_t count) = 0;
  bool write(const std::vector<uint8_t>& bytes) { return write(bytes.data(), bytes.size()); }

  // Reads what the host sent, waiting at most `timeout_ms` for the first byte. Empty on
  // time-out or when the line is closed.
  virtual std::vector<uint8_t> read(int timeout_ms) = 0;

  // Closes the modem's end.
  virtual void close() = 0;

  // The node behind the host's port: the pseudo-terminal slave or the gadget's tty.
  virtual const std::string& path() const = 0;
};

}  // namespace kav::sim
