// Time on the platform: monotonic ticks, sleeping, local wall-clock time and the
// high-resolution performance counter.
//
// Threading: every function is safe to call from any thread.
#pragma once

#include <cstdint>

namespace kav::platform {

// Milliseconds of a monotonic clock, kept as unsigned 32-bit. It wraps after about 49.7 days,
// so intervals are always computed as unsigned differences (now - then).
uint32_t tick_count();

// Sleeps at least `ms` milliseconds.
void sleep_ms(uint32_t ms);

struct LocalTime {
  int year;
  int month;  // 1..12
  int day;    // 1..31
  int hour;
  int minute;
  int second;
  int millisecond;
};

// The local time of day with milliseconds (localtime_r of the real-time clock).
LocalTime local_time();

// The performance counter: the monotonic clock in nanoseconds, and its frequency per second.
int64_t perf_counter();
constexpr int64_t perf_frequency() {
  return 1'000'000'000;
}

}  // namespace kav::platform
