#include "lib/platform/clock.h"

#include <time.h>

#include <cerrno>

namespace kav::platform {

namespace {

timespec now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return ts;
}

}  // namespace

uint32_t tick_count() {
  const timespec ts = now(CLOCK_MONOTONIC);
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u;
  return static_cast<uint32_t>(ms);
}

void sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

LocalTime local_time() {
  const timespec ts = now(CLOCK_REALTIME);
  tm parts{};
  localtime_r(&ts.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900,
                   parts.tm_mon + 1,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   static_cast<int>(ts.tv_nsec / 1'000'000)};
}

int64_t perf_counter() {
  const timespec ts = now(CLOCK_MONOTONIC);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace kav::platform
