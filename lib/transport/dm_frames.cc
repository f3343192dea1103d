#include "lib/transport/dm_frames.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "lib/core/messages.h"
#include "lib/platform/clock.h"
#include "lib/platform/error.h"
#include "lib/transport/dm_port.h"
#include "lib/transport/dm_receive.h"
#include "lib/transport/hdlc.h"
#include "lib/transport/pinger.h"

namespace kav {

namespace {

// ---- transmit state ----

// Every request byte and both FCS bytes escaped, plus two flags.
constexpr size_t kTxFrameSize = 2 * kMaxDmRequestLength + 6;
uint8_t g_tx_frame[kTxFrameSize];

// Shared by all sends: a write that moves bytes sets it to 2; an empty or failed write uses
// one unit; the attempt after the budget is spent ends the frame.
std::atomic<int32_t> g_write_retry_budget{kWriteRetryBudget};

// The most bytes handed to one port write. Only Windows 2000 capped writes (4095 bytes);
// Linux never does.
constexpr size_t kMaxWriteChunk = std::numeric_limits<size_t>::max();

// On a tty no write ends on a 64-byte boundary: some USB serial drivers take a full-packet
// write as unfinished and hold it until more bytes come. A port without line settings (a PCIe
// modem's wwan port) takes each write as one MHI transfer, so a frame is never split there.
size_t next_chunk(size_t remaining, bool tty) {
  size_t chunk = std::min(remaining, kMaxWriteChunk);
  if (tty && chunk % 64 == 0) --chunk;
  return chunk;
}

int32_t as_count(size_t n) {
  return static_cast<int32_t>(std::min<size_t>(n, INT32_MAX));
}

std::string error_text(int code) {
  return platform::system_error_text(code);
}

enum class WriteStep { kContinue, kStop };

// An empty write: one unit of the budget and a pause, or the end of the frame.
WriteStep on_empty_write() {
  if (g_write_retry_budget.load() <= 0) {
    show_msg("ERROR: Too many write attempts in a row cut off at zero bytes.\n");
    g_write_retry_budget.store(kWriteRetryBudget);
    return WriteStep::kStop;
  }
  g_write_retry_budget.fetch_sub(1);
  platform::sleep_ms(kWriteRetryPauseMs);
  return WriteStep::kContinue;
}

// A failed write: one unit of the budget, then a reconnect when the device has gone, else a
// pause; or the end of the frame when the budget was spent.
WriteStep on_failed_write(int error, DmPortHandle* port) {
  const std::string text = error_text(error);
  comm_log_record(text.c_str(), nullptr, -999);
  if (g_write_retry_budget.load() <= 0) {
    show_msg("WriteFile ERROR: %s\n", text.c_str());
    g_write_retry_budget.store(kWriteRetryBudget);
    return WriteStep::kStop;
  }
  g_write_retry_budget.fetch_sub(1);
  if (error == platform::kErrorDeviceNotConnected) {
    show_msg(
        "ZqUmtsKavCommandDMCom: ERROR -- Device not connected error on write, attempting "
        "reconnection.\n");
    if (minimal_port_close_and_reopen(port) != status::kSuccess) {
      show_msg("ZqUmtsKavCommandDMCom: ERROR -- Reconnect attempt failure.\n");
      return WriteStep::kStop;
    }
    return WriteStep::kContinue;  // the rest of the same frame goes to the new port
  }
  platform::sleep_ms(kWriteRetryPauseMs);
  return WriteStep::kContinue;
}

// Writes the frame of `length` bytes in g_tx_frame; returns the bytes written. The caller
// holds port_lock.
size_t write_frame(size_t length, DmPortHandle port) {
  size_t position = 0;
  while (position < length) {
    const size_t chunk = next_chunk(length - position, !port || port->is_tty());
    size_t written = 0;
    const bool ok = port ? port->write(g_tx_frame + position, chunk, &written) : false;
    const int error = ok ? 0 : (port ? platform::last_error() : platform::kErrorDeviceNotConnected);
    comm_log_record("TX", g_tx_frame + position, ok ? as_count(written) : -as_count(chunk));
    if (ok && written > 0) {
      position += written;
      g_write_retry_budget.store(kWriteRetryBudget);
      continue;
    }
    const WriteStep step = ok ? on_empty_write() : on_failed_write(error, &port);
    if (step == WriteStep::kStop) break;
  }
  return position;
}

// ---- receive state ----

RxAssembler& rx() {
  static RxAssembler* assembler = new RxAssembler;
  return *assembler;
}

constexpr uint32_t kEmptyReadPauseMs = 50;
constexpr uint32_t kSpeculativeReadIntervalMs = 500;
constexpr int kMaxRepeatedCommErrors = 1000;

// The state of one receive call.
struct ReceiveCall {
  DmPortHandle port;
  uint32_t start = 0;
  int32_t budget = 0;
  uint32_t previous_error = 0;
  int repeat_count = 0;
  int passes = 0;  // passes since bytes last arrived
  uint32_t last_arrival = 0;
  uint32_t last_read = 0;
  bool status_due = true;  // the first pass asks the driver without waiting
};

// The silence after which the idle pause grows from 2 to 10 ms, and from 10 to 100 ms.
constexpr uint32_t kShortPauseUntilMs = 1000;
constexpr uint32_t kMiddlePauseUntilMs = 2000;

// Idle pause between polls: short while a response is likely, longer as the silence grows.
uint32_t idle_pause_ms(uint32_t silent_ms) {
  if (silent_ms < kShortPauseUntilMs) return 2;
  if (silent_ms < kMiddlePauseUntilMs) return 10;
  return 100;
}

// Milliseconds of silence left before the pause grows; 0 once it is at its longest.
uint32_t until_pause_grows_ms(uint32_t silent_ms) {
  if (silent_ms < kShortPauseUntilMs) return kShortPauseUntilMs - silent_ms;
  if (silent_ms < kMiddlePauseUntilMs) return kMiddlePauseUntilMs - silent_ms;
  return 0;
}

// What is left of the call's budget now.
int32_t remaining_budget(const ReceiveCall& call) {
  const uint32_t elapsed = platform::tick_count() - call.start;
  const int64_t spent = std::min<int64_t>(elapsed, call.budget);
  return static_cast<int32_t>(call.budget - std::max<int64_t>(spent, 0));
}

// The quiet passes ahead, pauses with nothing to do at their end, are waited out together in
// one poll: up to the next speculative read, the next growth of the pause or the end of the
// budget, whichever comes first, and never less than one pause. Bytes arriving end the wait at
// once, so this changes the number of wake-ups (each costs tens of microseconds of CPU), not
// when anything is noticed.
uint32_t quiet_wait_ms(const ReceiveCall& call, uint32_t now, uint32_t pause) {
  const uint32_t since_read = now - call.last_read;
  uint32_t wait =
      since_read < kSpeculativeReadIntervalMs ? kSpeculativeReadIntervalMs - since_read : 0;
  if (const uint32_t grows = until_pause_grows_ms(now - call.last_arrival); grows > 0) {
    wait = std::min(wait, grows);
  }
  wait = std::min(wait, static_cast<uint32_t>(std::max(remaining_budget(call), 0)));
  return std::max(wait, pause);
}

enum class PassResult { kContinue, kReturn };

// The comm-error check of one pass. May reconnect (replacing call->port) or end the call.
PassResult check_comm_errors(ReceiveCall* call, uint32_t* in_queue, bool* queried,
                             ZqUmtsKavStatusEnum* result) {
  uint32_t errors = 0;
  *in_queue = 0;
  *queried = call->port->clear_comm_error(&errors, in_queue);
  if (!*queried) {
    const std::string text = error_text(platform::last_error());
    show_msg("ClearCommError returned ERROR: %s\n", text.c_str());
    comm_log_record(text.c_str(), nullptr, 0);
  }
  if (errors != 0) {
    char tag[96];
    if (errors == platform::kCeDeviceGone) {
      std::snprintf(tag, sizeof tag,
                    "ClearCommError:Errors = %8.8X, indication of device connection failure",
                    errors);
      comm_log_record(tag, nullptr, 0);
      show_msg(
          "ZqUmtsKavResponseDMCom: ERROR -- Device disconnection indication received from "
          "driver, attempting reconnection.\n");
      if (minimal_port_close_and_reopen(&call->port) != status::kSuccess) {
        show_msg("ZqUmtsKavResponseDMCom: ERROR -- Reconnect failure treated as timeout.\n");
        *result = status::kResponseTimeout;
        return PassResult::kReturn;
      }
    }
    if (errors == call->previous_error) {
      if (++call->repeat_count > kMaxRepeatedCommErrors) {
        std::snprintf(tag, sizeof tag, "ClearCommError:Errors = %8.8X for the 1000th time", errors);
        comm_log_record(tag, nullptr, 0);
        show_msg(
            "ZqUmtsKavResponseDMCom: ERROR -- long stream of uncleared comm errors treated as "
            "timeout.\n");
        *result = status::kResponseTimeout;
        return PassResult::kReturn;
      }
    } else {
      std::snprintf(tag, sizeof tag, "ClearCommError:Errors = %8.8X", errors);
      comm_log_record(tag, nullptr, 0);
      call->repeat_count = 0;
    }
  }
  call->previous_error = errors;
  return PassResult::kContinue;
}

// Bytes arrived (or a read returned none where some were announced): the ring takes them.
void take_bytes(ReceiveCall* call, size_t n) {
  call->passes = 0;
  call->last_arrival = platform::tick_count();
  rx().commit(n);
}

// A read of the bytes the driver reported waiting.
PassResult read_waiting(ReceiveCall* call, size_t n, uint32_t in_queue,
                        ZqUmtsKavStatusEnum* result) {
  uint8_t* into = rx().write_position();
  size_t got = 0;
  if (!call->port->read(into, n, &got)) {
    show_msg("ERROR: ZqUmtsKavResponseDM: ReadFile returned 0.\n");
    comm_log_record("RXERROR 1", nullptr, 0);
    *result = status::kPortReadFailed;
    return PassResult::kReturn;
  }
  call->last_read = platform::tick_count();
  if (got == 0) {
    show_msg("That's odd: ZqUmtsKavResponseDM: ReadFile read 0 bytes, %d expected.\n",
             static_cast<int>(in_queue));
    comm_log_record("RXERROR 2", nullptr, static_cast<int32_t>(in_queue));
    platform::sleep_ms(kEmptyReadPauseMs);
  }
  comm_log_record("RX", into, as_count(got));
  take_bytes(call, got);
  return PassResult::kContinue;
}

// The wait of one pass: true when the driver's status is to be asked for. The call's first
// pass asks at once; later passes wait in one poll (not at all while the ring holds bytes to
// split) and ask only when bytes arrived or the device went. A driver counts line errors only
// with received characters, so a pass that saw neither has nothing to report and leaves the
// comm-error repetition state as it was. The pauses a long wait spans count as passes.
bool wait_for_input(ReceiveCall* call, uint32_t pause) {
  if (std::exchange(call->status_due, false)) return true;
  if (rx().unprocessed() > 0) return call->port->wait_readable(0);
  const uint32_t start = platform::tick_count();
  const bool ready = call->port->wait_readable(quiet_wait_ms(*call, start, pause));
  const uint32_t pauses = (platform::tick_count() - start) / pause;
  if (pauses > 1) call->passes += static_cast<int>(std::min<uint32_t>(pauses - 1, INT32_MAX));
  return ready;
}

// With nothing reported waiting after the pause: at most every 500 ms, read anyway, since some
// drivers under-report their input queue.
PassResult read_speculatively(ReceiveCall* call, size_t n, uint32_t pause,
                              ZqUmtsKavStatusEnum* result) {
  if (platform::tick_count() - call->last_read < kSpeculativeReadIntervalMs) {
    return PassResult::kContinue;
  }
  uint32_t errors = 0;
  uint32_t in_queue = 0;
  if (!call->port->clear_comm_error(&errors, &in_queue)) {
    const std::string text = error_text(platform::last_error());
    show_msg("Speculative ClearCommError returned ERROR: %s\n", text.c_str());
    comm_log_record("Speculative ClearCommError failure.", nullptr, 0);
    comm_log_record(text.c_str(), nullptr, 0);
  }
  char tag[96];
  std::snprintf(tag, sizeof tag, "RX2:er=0x%X:iq=%d:sl=%d:lp=%d", errors,
                static_cast<int>(in_queue), static_cast<int>(pause), call->passes);
  uint8_t* into = rx().write_position();
  size_t got = 0;
  if (!call->port->read(into, n, &got)) {
    show_msg("ERROR: ZqUmtsKavResponseDM: ReadFile 2 returned 0.\n");
    comm_log_record("RXERROR 3", nullptr, 0);
    *result = status::kPortReadFailed;
    return PassResult::kReturn;
  }
  call->last_read = platform::tick_count();
  comm_log_record(tag, got > 0 ? into : nullptr, as_count(got));
  if (got > 0) take_bytes(call, got);
  return PassResult::kContinue;
}

}  // namespace

int32_t write_retry_budget() {
  return g_write_retry_budget.load();
}

void reset_dm_frames() {
  g_write_retry_budget.store(kWriteRetryBudget);
  rx().clear();
}

}  // namespace kav

using namespace kav;

ZqUmtsKavStatusEnum ZqUmtsKavCommandDMCom(const uint8_t* request, uint32_t length,
                                          bool leading_flag) {
  DmPortHandle port = dm_port_handle();
  if (!port) {
    comm_log_record("TX Attempted on NULL handle", nullptr, -1);
    show_msg("ERROR: ZqUmtsKavCommandDM: TX Attempted on NULL handle.\n");
    return status::kSendIncomplete;
  }
  if (length > kMaxDmRequestLength || (request == nullptr && length > 0)) {
    show_msg("ERROR: ZqUmtsKavCommandDM: request of %u bytes refused (at most %u bytes).\n",
             static_cast<unsigned>(length), static_cast<unsigned>(kMaxDmRequestLength));
    return status::kSendIncomplete;
  }
  const size_t frame_length =
      hdlc::encode_frame(request, length, leading_flag, g_tx_frame, sizeof g_tx_frame);
  ensure_pinger_started();
  size_t written = 0;
  {
    std::lock_guard lock(port_lock());
    written = write_frame(frame_length, std::move(port));
  }
  control_tx_keep_awake_pinger(kPingerActivity);
  if (written == frame_length) return status::kSuccess;
  comm_log_record("TXFAILTOSEND", nullptr, as_count(frame_length));
  show_msg("ERROR: ZqUmtsKavCommandDM: sendHDLC failure.\n");
  look_for_other_holders();
  return status::kSendIncomplete;
}

ZqUmtsKavStatusEnum ZqUmtsKavResponseDMCom(const uint8_t** data_out, int32_t* length_out,
                                           int32_t* time_left) {
  RxAssembler& ring = rx();
  ring.begin_call();
  if (data_out != nullptr) *data_out = nullptr;
  if (length_out != nullptr) *length_out = 0;
  if (data_out == nullptr || length_out == nullptr || time_left == nullptr) {
    show_msg("ERROR: ZqUmtsKavResponseDMCom: null argument.\n");
    return status::kPortReadFailed;
  }
  ReceiveCall call;
  call.start = call.last_arrival = call.last_read = platform::tick_count();
  call.budget = *time_left;
  call.port = dm_port_handle();
  if (call.budget > 0 && !call.port) {
    comm_log_record("RX Attempted on NULL handle", nullptr, -1);
    show_msg("ERROR: ZqUmtsKavResponseDM: RX Attempted on NULL handle.\n");
    // Without a port no answer can come: spend the budget, so that a caller looping until
    // the budget runs out ends too.
    *time_left = 0;
    return status::kPortReadFailed;
  }
  ZqUmtsKavStatusEnum result = status::kResponseTimeout;
  while (call.budget > 0) {
    ++call.passes;
    const size_t n = ring.read_size();
    const uint32_t pause = idle_pause_ms(platform::tick_count() - call.last_arrival);
    uint32_t in_queue = 0;
    bool queried = false;
    if (wait_for_input(&call, pause) &&
        check_comm_errors(&call, &in_queue, &queried, &result) == PassResult::kReturn) {
      return result;
    }
    const PassResult read = queried && in_queue > 0 ? read_waiting(&call, n, in_queue, &result)
                                                    : read_speculatively(&call, n, pause, &result);
    if (read == PassResult::kReturn) return result;
    const uint64_t bad_before = ring.bad_frames();
    const bool split = ring.split();
    // A garbled frame may be another opener's traffic crossing ours.
    if (ring.bad_frames() != bad_before) look_for_other_holders();
    if (split) {
      // The budget goes down on returns with a frame too, so a caller that skips unrelated
      // frames still runs out of time.
      *time_left = remaining_budget(call);
      *data_out = ring.payload();
      *length_out = as_count(ring.payload_length());
      return status::kSuccess;
    }
    *time_left = remaining_budget(call);
    if (*time_left <= 0) break;
  }
  *time_left = std::max<int32_t>(remaining_budget(call), 0);
  comm_log_record("RXTIMEOUT", nullptr, 0);
  look_for_other_holders();
  return status::kResponseTimeout;
}
