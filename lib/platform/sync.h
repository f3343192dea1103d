// Synchronisation objects of the platform: the manual-reset event and the recursive mutex.
//
// Threading: all members of ManualResetEvent may be called from any thread at any time.
// Lifetime: objects must outlive every thread that waits on them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kav::platform {

// Waits without a limit when given as a time-out.
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

using RecursiveMutex = std::recursive_mutex;

// An event that stays signalled once set, releasing every waiter, until it is reset.
class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initially_set = false) : set_(initially_set) {}
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void set();
  void reset();
  bool is_set() const;

  // True when the event is (or becomes) signalled within `timeout_ms`; false on time-out.
  bool wait(uint32_t timeout_ms = kInfinite) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool set_;
};

}  // namespace kav::platform
