#include "lib/transport/just_reset.h"

#include <atomic>

#include "lib/core/status.h"
#include "lib/transport/dm_frames.h"

namespace kav {

namespace {

// False at program start: nothing has been reset yet.
std::atomic<bool> g_just_reset{false};

}  // namespace

bool just_reset() {
  return g_just_reset.load();
}

void set_just_reset(bool value) {
  g_just_reset.store(value);
}

bool send_state_request(const uint8_t* bytes, uint32_t length, bool leading_flag) {
  const bool sent = ZqUmtsKavCommandDMCom(bytes, length, leading_flag) == status::kSuccess;
  clear_just_reset();
  return sent;
}

}  // namespace kav
