// Collecting DIAG responses within one time budget: the loop every exchange of the library runs
// after sending a request. Each response with data goes to the caller's handler, which says
// whether to read on; the loop ends when the handler stops it, the budget is spent, or the
// port fails (a failed read would fail again at once, so it ends the loop instead of spinning).
//
// Threading: runs on the receiving thread (one at a time, as ZqUmtsKavResponseDMCom requires).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/core/status.h"
#include "lib/transport/dm_frames.h"

namespace kav {

enum class Next { kReadOn, kStop };

// The first N bytes of a response, zero past its end: an answer shorter than what is compared
// is judged as if the rest were zeros (a zero-filled receive buffer), without reading past the
// frame.
template <size_t N>
std::array<uint8_t, N> leading_bytes(const uint8_t* data, int32_t length) {
  std::array<uint8_t, N> bytes{};
  if (length > 0) std::memcpy(bytes.data(), data, std::min(static_cast<size_t>(length), N));
  return bytes;
}

// Reads responses for at most `budget_ms`; `on_response(const uint8_t* data, int32_t length)`
// returns Next. True when the handler stopped the loop.
template <typename OnResponse>
bool for_each_response(int32_t budget_ms, OnResponse&& on_response) {
  int32_t time_left = budget_ms;
  while (time_left > 0) {
    const uint8_t* data = nullptr;
    int32_t length = 0;
    if (ZqUmtsKavResponseDMCom(&data, &length, &time_left) != status::kSuccess) return false;
    if (data == nullptr || length <= 0) continue;
    if (on_response(data, length) == Next::kStop) return true;
  }
  return false;
}

// One receive call with `budget_ms`, its result ignored: lets a modem's last answer before it
// leaves the bus reach the comm log.
inline void read_once(int32_t budget_ms) {
  const uint8_t* data = nullptr;
  int32_t length = 0;
  int32_t time_left = budget_ms;
  ZqUmtsKavResponseDMCom(&data, &length, &time_left);
}

}  // namespace kav
