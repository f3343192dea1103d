// Connecting to the modem's DM port, disconnecting, and probing what answers on it.
#include "lib/modem/connect.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/identity/zq_status.h"
#include "lib/platform/clock.h"
#include "lib/platform/devices.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "lib/transport/comm_mode.h"
#include "lib/transport/dm_port.h"
#include "lib/transport/pinger.h"
#include "lib/transport/response_loop.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav {

namespace {

// The AT commands that turn the DM port to DIAG traffic, each framed by a wake-up byte and a
// flag: the maker's own first, Qualcomm's when the maker's is refused.
constexpr uint8_t kMakerAtCommand[] =
    "\xFF"
    "AT$ZQDMAT=0\r\n"
    "\x7E";
constexpr uint8_t kQualcommAtCommand[] =
    "\xFF"
    "AT$QCDMG\r\n"
    "\x7E";
static_assert(sizeof kMakerAtCommand - 1 == 15 && sizeof kQualcommAtCommand - 1 == 12);

constexpr uint32_t kAtAnswerDelayMs = 500;
constexpr size_t kAtAnswerSize = 1024;
constexpr uint32_t kSettledCheckMs = 10;
constexpr int kProbeTries = 4;

struct ConnectState {
  bool fast = false;
  ProbeAnswer last_probe_answer = kProbeNoAnswer;
  ZqUmtsKavCommModeEnum last_mode_reported = ZqUmtsKavCommMode_Unknown;
};

ConnectState& state() {
  static ConnectState s;
  return s;
}

enum class Search { kSettled, kGone, kFailed };

// In fast-connect mode: whether COM<port>'s node has been there for the whole proof-of-
// stability wait already.
bool proved_stable(int port) {
  if (!state().fast) return false;
  const std::optional<std::string> node = platform::com_device_node(port);
  if (!node) return false;
  const uint64_t age_ms = platform::entry_age_ms(*node).value_or(0);
  const auto teaser = static_cast<uint64_t>(timeout(Timeout::ZQUMTSKAVCONNECT_TEASER_DELAY));
  if (age_ms < teaser) return false;
  show_msg("Found DM port -- present for %llu s, stable.\n",
           static_cast<unsigned long long>(age_ms / 1000));
  return true;
}

// One search pass: waits for the DM port, then for the proof of stability (the port must
// still be there after the teaser delay). On kFailed `*result` holds the code to return.
Search search_pass(int* port, ZqUmtsKavStatusEnum* result) {
  const int requested = requested_com_port();
  *port = get_dm_port_wait(
      static_cast<uint32_t>(timeout(Timeout::ZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT)), true, requested);
  if (requested != 0 && *port != requested) {
    show_msg(
        "ERROR: requested com port number is not available or is not associated with a "
        "supported device vid/pid.\n");
    log_all_current_devices("ZqUmtsKavConnect did not find the requested comm port");
    *result = status::kNoDmPort;
    return Search::kFailed;
  }
  if (*port == 0) {
    log_all_current_devices("ZqUmtsKavConnect found no comm port");
    *result = status::kNoDmPort;
    return Search::kFailed;
  }
  if (*port < 0) {
    *result = status::kMoreThanOneDmPort;  // the scanner has said which ports it saw
    return Search::kFailed;
  }
  if (proved_stable(*port)) return Search::kSettled;
  show_msg("Found DM port -- waiting for proof of stability.\n");
  get_dm_port_wait(static_cast<uint32_t>(timeout(Timeout::ZQUMTSKAVCONNECT_TEASER_DELAY)), false,
                   *port);
  return get_dm_port_wait(kSettledCheckMs, true, *port) == *port ? Search::kSettled : Search::kGone;
}

// The port to open: the requested one in fixed-port mode, else the scanner's DM port once it
// has proved stable, searched for twice.
ZqUmtsKavStatusEnum choose_port(int* port) {
  if (fixed_port_mode()) {
    *port = requested_com_port();
    return status::kSuccess;
  }
  for (int pass = 1;; ++pass) {
    ZqUmtsKavStatusEnum result = status::kSuccess;
    const Search found = search_pass(port, &result);
    if (found == Search::kSettled) return status::kSuccess;
    if (found == Search::kFailed) return result;
    if (pass == 1) {
      show_msg("Re-search for com port after teaser\n");
      continue;
    }
    show_msg("ERROR: Identified comm port (%d) disappeared.\n", *port);
    log_all_current_devices("ZqUmtsKavConnect identified comm port disappeared");
    return status::kNoDmPort;
  }
}

// Writes one AT command raw (not framed) under port_lock.
void write_at_command(const DmPortHandle& port, const uint8_t* bytes, size_t size) {
  size_t written = 0;
  {
    std::lock_guard lock(port_lock());
    port->write(bytes, size, &written);
  }
  comm_log_record("TX", bytes, static_cast<int32_t>(written));
}

// Waits for the modem's answer and reads it once; true when it contains "ERROR".
bool at_answer_is_error(const DmPortHandle& port) {
  platform::sleep_ms(kAtAnswerDelayMs);
  uint8_t answer[kAtAnswerSize] = {};
  size_t got = 0;
  if (!port->read(answer, sizeof answer, &got)) got = 0;
  comm_log_record("RX", answer, static_cast<int32_t>(got));
  if (got == 0) return false;
  // The answer as text: up to its first zero byte, at most 1023 characters.
  const char* chars = reinterpret_cast<const char*>(answer);
  const std::string_view text(chars, strnlen(chars, std::min(got, kAtAnswerSize - 1)));
  return text.find("ERROR") != std::string_view::npos;
}

// Switches the freshly opened port from AT to DIAG traffic.
void switch_to_diag(const DmPortHandle& port) {
  {
    std::lock_guard lock(port_lock());
    if (!port->purge()) {
      show_msg("PurgeComm on Connect ERROR: %s\n",
               platform::system_error_text(platform::last_error()).c_str());
    }
  }
  // A port that already carries DIAG traffic answers the probe; the AT commands (and their
  // half-second wait) are then not needed.
  if (state().fast && probe_comm_mode() != kProbeNoAnswer) return;
  write_at_command(port, kMakerAtCommand, sizeof kMakerAtCommand - 1);
  if (at_answer_is_error(port)) {
    write_at_command(port, kQualcommAtCommand, sizeof kQualcommAtCommand - 1);
    at_answer_is_error(port);  // the second answer is not examined
  }
}

ProbeAnswer classify_probe_answer(const uint8_t* data, int32_t length) {
  switch (data[0]) {
    case diag::kCmdBadLength:
      return kProbeDiag;
    case diag::kCmdBadCommand:
      return leading_bytes<2>(data, length)[1] == diag::kCmdVersionProbe ? kProbeDiag
                                                                         : kProbeNoAnswer;
    case diag::kDlAck:
      return kProbeDownloader;
    case diag::kStreamingDlError:
      return kProbeStreamingDownloader;
    default:
      return kProbeNoAnswer;  // 0x0E (a downloader's log text) and anything else: read on
  }
}

}  // namespace

ProbeAnswer probe_comm_mode() {
  state().last_probe_answer = kProbeNoAnswer;
  const uint8_t probe = diag::kCmdVersionProbe;
  if (ZqUmtsKavCommandDMCom(&probe, 1, true) != status::kSuccess) return kProbeNoAnswer;
  ProbeAnswer answer = kProbeNoAnswer;
  for_each_response(timeout(Timeout::FAST_PROBE_RESPONSE_WAIT),
                    [&](const uint8_t* data, int32_t length) {
                      answer = classify_probe_answer(data, length);
                      return answer == kProbeNoAnswer ? Next::kReadOn : Next::kStop;
                    });
  state().last_probe_answer = answer;
  return answer;
}

ProbeAnswer last_probe_answer() {
  return state().last_probe_answer;
}

ZqUmtsKavStatusEnum check_connection_mode() {
  bool answered = false;
  for (int probe = 0; probe < kProbeTries && !answered; ++probe) {
    set_current_comm_mode(ZqUmtsKavCommMode_Unknown);
    const ProbeAnswer answer = probe_comm_mode();
    if (answer == kProbeNoAnswer) continue;
    set_current_comm_mode(answer == kProbeDiag ? ZqUmtsKavCommMode_DM : ZqUmtsKavCommMode_DL);
    answered = true;
  }
  const ZqUmtsKavCommModeEnum mode = current_comm_mode();
  if (mode != state().last_mode_reported) {
    show_msg("In %s mode.\n", comm_mode_name(mode));
    state().last_mode_reported = mode;
  }
  if (!answered) {
    log_all_current_devices("check_connection_mode failure");
    return status::kProbeFailed;
  }
  return status::kSuccess;
}

void set_fast_connect(bool on) {
  state().fast = on;
}

bool fast_connect() {
  return state().fast;
}

void reset_connect_state() {
  state() = ConnectState{};
  reset_zq_status();
}

}  // namespace kav

ZqUmtsKavStatusEnum ZqUmtsKavConnect() {
  using namespace kav;
  clear_modem_caches();
  close_com_port();
  int com = 0;
  const ZqUmtsKavStatusEnum chosen = choose_port(&com);
  if (chosen != status::kSuccess) return chosen;
  show_msg("Opening the Modem Connection on COM%d\n\t%s.\n", com, port_description(com).c_str());
  const DmPortHandle port = open_com_port(com);
  set_dm_port_handle(port);
  if (!port) {
    log_all_current_devices("ZqUmtsKavConnect open_com_port returned NULL");
    return status::kOpenFailed;
  }
  ensure_pinger_started();
  switch_to_diag(port);
  // The pinger starts only now, so its flag bytes never fall inside the AT text.
  control_tx_keep_awake_pinger(kPingerStart);
  reset_zq_status_subsystem();
  return check_connection_mode();
}

ZqUmtsKavStatusEnum ZqUmtsKavDisconnect() {
  kav::set_baud_rate(kav::kDefaultBaudRate);
  kav::set_fixed_port_mode(false);
  return kav::close_com_port();
}
