// The faults a simulated modem commits on demand, and how an answer goes on the wire: the
// queue of pending faults, and the plan of writes (bytes and pauses) for one answer with or
// without a fault.
//
// Threading: FaultQueue takes its own mutex (tests add faults while the serving thread takes
// them); plan_answer is a pure function.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/modem_config.h"

namespace kav::sim {

class FaultQueue {
 public:
  void add(const FaultSpec& fault);
  void clear();
  // The first pending fault that applies to a request with this command code; its count goes
  // down by one (a fault whose count reaches 0 is removed).
  std::optional<FaultSpec> take(uint8_t command);
  size_t pending() const;

 private:
  mutable std::mutex mutex_;
  std::deque<FaultSpec> faults_;
};

// One write to the port, after a pause.
struct WriteStep {
  int pause_ms = 0;
  std::vector<uint8_t> bytes;
};

// The HDLC frame of an answer as a modem sends it (no leading flag, 0x30 not escaped).
std::vector<uint8_t> frame_answer(const std::vector<uint8_t>& payload);

// The writes for the answers to `request` under `fault` (none: plain frames). NoAnswer and
// Unplug yield no writes; the caller carries out an unplug.
std::vector<WriteStep> plan_answer(const std::vector<uint8_t>& request,
                                   const std::vector<std::vector<uint8_t>>& answers,
                                   const std::optional<FaultSpec>& fault);

}  // namespace kav::sim
