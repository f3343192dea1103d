// DM frame transmit and receive: one DIAG request out as an asynchronous-HDLC frame, and the
// next good frame back within a time budget, over the DM port of lib/transport/dm_port.h. Both
// survive the modem dropping off the USB bus mid-exchange by closing and reopening the port.
//
// Transmit state (the frame buffer, the shared write retry budget) and receive state (the ring
// and the frame buffer, kept across calls and reconnects) are process-wide and unlocked:
// one thread at a time may send, and one at a time may receive. Writes happen under port_lock
// (lib/transport/pinger.h); reads take no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/core/status.h"

namespace kav {

// The longest request ZqUmtsKavCommandDMCom frames (the library's own are at most 133 bytes).
constexpr uint32_t kMaxDmRequestLength = 4096;
// Pause after an empty or failed write before the next attempt.
constexpr uint32_t kWriteRetryPauseMs = 250;
// Value the write retry budget returns to after a write that moves bytes.
constexpr int32_t kWriteRetryBudget = 2;

// The write retry budget now (tests and diagnostics).
int32_t write_retry_budget();

// Back to the state of a fresh process: budget at 2, receive ring and frame emptied.
void reset_dm_frames();

}  // namespace kav

// Sends `length` bytes at `request` as one frame, with a leading 0x7E when `leading_flag`.
// 0 when every byte of the frame was written, else 20 (no port, request too long, writes
// refused or empty three times in a row, or the reconnect failed).
ZqUmtsKavStatusEnum ZqUmtsKavCommandDMCom(const uint8_t* request, uint32_t length,
                                          bool leading_flag);

// Reads until the next good frame: 0 with `*data_out` pointing at its payload (valid until the
// next call) and `*length_out` its length; 18 when the budget in `*time_left` (ms, read on entry
// and written back with what remains) runs out or a reconnect fails; 2 when a port read fails,
// no port is open or an argument is null. The outputs are none and 0 unless 0 is returned.
ZqUmtsKavStatusEnum ZqUmtsKavResponseDMCom(const uint8_t** data_out, int32_t* length_out,
                                           int32_t* time_left);
