#include "lib/platform/sync.h"

#include <chrono>

namespace kav::platform {

void ManualResetEvent::set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void ManualResetEvent::reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool ManualResetEvent::is_set() const {
  std::lock_guard lock(mutex_);
  return set_;
}

bool ManualResetEvent::wait(uint32_t timeout_ms) const {
  std::unique_lock lock(mutex_);
  if (timeout_ms == kInfinite) {
    changed_.wait(lock, [this] { return set_; });
    return true;
  }
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return set_; });
}

}  // namespace kav::platform
