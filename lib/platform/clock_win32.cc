// Time on Windows: GetTickCount, Sleep, GetLocalTime and the performance counter.
#include "lib/platform/clock.h"

#include "lib/platform/win32.h"

namespace kav::platform {

uint32_t tick_count() {
  return GetTickCount();
}

void sleep_ms(uint32_t ms) {
  Sleep(ms);
}

LocalTime local_time() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

int64_t perf_counter() {
  // The counter in nanoseconds, the unit of perf_frequency(); split so that the product cannot
  // overflow for any counter frequency.
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const int64_t seconds = now.QuadPart / frequency;
  const int64_t rest = now.QuadPart % frequency;
  return seconds * 1'000'000'000 + rest * 1'000'000'000 / frequency;
}

}  // namespace kav::platform
