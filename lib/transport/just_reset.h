// The just_reset flag: set by a completed modem reset, cleared right after the next DIAG request
// that changes or may change the modem's state (the download switch, the resets, the offline
// command, the generic DM command, an NV write, the OpenZumi query). While it is set a further
// reset request is skipped, so a reset asked for twice in a row happens once.
//
// Threading: the flag is an atomic; any thread may read or change it.
#pragma once

#include <cstdint>

namespace kav {

bool just_reset();
void set_just_reset(bool value);

// Clears the flag if it is set (the senders' one call after each send).
inline void clear_just_reset() {
  set_just_reset(false);
}

// Sends a request that changes or may change the modem's state through the DM transport, and
// clears just_reset after it, sent or not: a reset asked for after such a request is real
// again. True when sent.
bool send_state_request(const uint8_t* bytes, uint32_t length, bool leading_flag);

}  // namespace kav
