#include "lib/modem/just_reset.h"

#include <atomic>

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

}  // namespace kav
