// Mode changes between the DIAG task (DM) and the downloader (DL), and modem resets.
#include "lib/modem/comm_modes.h"

#include <mutex>
#include <string>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/modem_family.h"
#include "lib/identity/identity_fields.h"
#include "lib/identity/zq_status.h"
#include "lib/modem/connect.h"
#include "lib/platform/clock.h"
#include "lib/transport/comm_mode.h"
#include "lib/transport/dm_port.h"
#include "lib/transport/just_reset.h"
#include "lib/transport/pinger.h"
#include "lib/transport/response_loop.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav {

namespace {

constexpr int kDlSwitchSends = 5;
constexpr int kResetSends = 5;
constexpr int kDlResetSends = 10;
constexpr int kOfflineSends = 5;
constexpr int kDlReconnectAttempts = 3;
constexpr int kDlToDmTries = 2;
constexpr uint32_t kReconnectPauseMs = 1000;
constexpr uint32_t kPingerPauseMs = 2500;
constexpr uint32_t kOfflinePollMs = 20;
constexpr uint32_t kCountdownStepMs = 1000;

uint32_t ms_of(Timeout key) {
  const int32_t value = timeout(key);
  return value > 0 ? static_cast<uint32_t>(value) : 0;
}

bool is_offline(uint8_t operating_mode) {
  return operating_mode >= 2 && operating_mode <= 4;
}

// After a request the modem answers just before it leaves the bus: let the answer reach the
// comm log, then close the port the modem is taking away.
void close_before_reenumeration() {
  read_once(timeout(Timeout::MAX_WAIT_FOR_PRE_REENUMERATION_RESPONSE));
  close_com_port();
}

// After a re-enumerating switch to DL: wait for the port to go and come back, and connect.
ZqUmtsKavStatusEnum reconnect_in_dl() {
  for (int attempt = 1;; ++attempt) {
    get_dm_port_wait(ms_of(Timeout::RESET_BOTH_AUTO_PORT_DISAPPEAR_LIMIT), false,
                     requested_com_port());
    if (get_dm_port_wait(ms_of(Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT), true,
                         requested_com_port()) <= 0) {
      show_msg("ERROR: Modem no longer attached to host following reset.\n");
      set_current_comm_mode(ZqUmtsKavCommMode_Unknown);
      return status::kMoveToDmFailed;
    }
    platform::sleep_ms(kReconnectPauseMs);
    show_msg("Attempting to reconnect to modem.\n");
    set_current_comm_mode(ZqUmtsKavCommMode_DL);
    const ZqUmtsKavStatusEnum result = ZqUmtsKavConnect();
    if (result == status::kSuccess) {
      show_msg("Reconnected to modem.\n");
      return status::kSuccess;
    }
    show_msg("Attempt to reconnect to modem failed %d times after switching to DL mode.\n",
             attempt);
    if (attempt == kDlReconnectAttempts) {
      set_current_comm_mode(ZqUmtsKavCommMode_Unknown);
      return result;
    }
  }
}

// The modem stays on the bus: keep the pinger quiet while its downloader starts.
void pause_pinger_for_downloader() {
  ensure_pinger_started();
  {
    std::lock_guard lock(port_lock());
    control_tx_keep_awake_pinger(kPingerStop);
  }
  platform::sleep_ms(kPingerPauseMs);
  std::lock_guard lock(port_lock());
  control_tx_keep_awake_pinger(kPingerStart);
}

ZqUmtsKavStatusEnum move_dm_to_dl() {
  apply_auto_power_fix();
  const bool reenumerates = modem_reenumerates_into_dl();
  if (!send_dl_switch(reenumerates)) return status::kMoveToDlFailed;
  if (reenumerates) {
    const ZqUmtsKavStatusEnum reconnected = reconnect_in_dl();
    if (reconnected != status::kSuccess) return reconnected;
  } else {
    pause_pinger_for_downloader();
  }
  if (check_connection_mode() != status::kSuccess || current_comm_mode() != ZqUmtsKavCommMode_DL) {
    show_msg("ERROR: Failure to transition to ZqUmtsKavCommMode_DL.\n");
    return status::kMoveToDlFailed;
  }
  return status::kSuccess;
}

// The reset command that fits the current mode, after the probe has told it.
ZqUmtsKavStatusEnum send_reset_for_mode() {
  show_msg("Sending Reset Command\n");
  check_connection_mode();
  bool reset = false;
  switch (current_comm_mode()) {
    case ZqUmtsKavCommMode_DM:
      reset = dm_mode_reset();
      break;
    case ZqUmtsKavCommMode_DL:
      reset = dl_mode_reset_command();
      break;
    default:
      show_msg("ERROR: Invalid current_mode in ZqUmtsKavResetModem\n");
      return status::kPortReadFailed;
  }
  if (!reset) return status::kMoveToDmFailed;
  show_msg("Resetting\n");
  return status::kSuccess;
}

// The end of every completed reset: the mode as the probe finds it, and the flag that makes a
// second reset request a no-op.
ZqUmtsKavStatusEnum finish_reset() {
  const ZqUmtsKavStatusEnum result = check_connection_mode();
  set_just_reset(true);
  return result;
}

ZqUmtsKavStatusEnum reset_port_close_open() {
  show_msg("Forcing Reset\n");
  if (close_com_port() != status::kSuccess) {
    show_msg("ERROR: Failure to disconnect during reset!\n");
    return status::kMoveToDmFailed;
  }
  count_down(timeout(Timeout::RESET_PCO_REOPEN_DELAY));
  if (ZqUmtsKavConnect() != status::kSuccess) {
    show_msg("ERROR: Failure to reconnect during reset!\n");
    return status::kMoveToDmFailed;
  }
  set_just_reset(true);
  return status::kSuccess;
}

ZqUmtsKavStatusEnum reset_modem_hardware() {
  const ZqUmtsKavStatusEnum sent = send_reset_for_mode();
  if (sent != status::kSuccess) return sent;
  count_down(timeout(Timeout::RESET_MH_REATTACH_DELAY));
  ZqUmtsKavConnect();  // the mode check below tells whether the modem came back
  return finish_reset();
}

ZqUmtsKavStatusEnum reset_both() {
  const ZqUmtsKavStatusEnum sent = send_reset_for_mode();
  if (sent != status::kSuccess) return sent;
  get_dm_port_wait(ms_of(Timeout::RESET_BOTH_AUTO_PORT_DISAPPEAR_LIMIT), false,
                   requested_com_port());
  get_dm_port_wait(ms_of(Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT), true, requested_com_port());
  count_down(timeout(Timeout::RESET_BOTH_SETTLE_DELAY));
  if (ZqUmtsKavConnect() != status::kSuccess) {
    show_msg("ERROR: Failure to reconnect during reset!\n");
    return status::kMoveToDmFailed;
  }
  return finish_reset();
}

// Reads the offline command's answers: true when acknowledged; `*refused` when the modem
// answered the command with another value.
bool offline_acknowledged(bool* refused) {
  bool acknowledged = false;
  for_each_response(timeout(Timeout::PROBE_RESPONSE_WAIT),
                    [&](const uint8_t* data, int32_t length) {
                      // A short answer reads as if padded with zeros.
                      const auto head = leading_bytes<3>(data, length);
                      if (head[0] != diag::kCmdControl) return Next::kReadOn;
                      if ((head[1] | (head[2] << 8)) == diag::kControlOffline) {
                        acknowledged = true;
                        return Next::kStop;
                      }
                      *refused = true;
                      return Next::kReadOn;
                    });
  return acknowledged;
}

// Polls the status record until the operating mode is an offline one.
ZqUmtsKavStatusEnum wait_until_offline() {
  const uint32_t start = platform::tick_count();
  while (platform::tick_count() - start < ms_of(Timeout::MODE_CHANGE_WAIT)) {
    const ZqStatusRecord* record = get_zq_status();
    if (record == nullptr) return status::kOfflineNoStatusRecord;
    if (is_offline(record->operating_mode)) return status::kSuccess;
    platform::sleep_ms(kOfflinePollMs);
  }
  return status::kOfflineTimeout;
}

}  // namespace

ZqUmtsKavStatusEnum move_dl_to_dm() {
  for (int attempt = 1;; ++attempt) {
    clear_just_reset();  // this reset must really happen
    if (ZqUmtsKavResetModem() != status::kSuccess) return status::kMoveToDmFailed;
    if (check_connection_mode() != status::kSuccess) {
      show_msg("ERROR: Failure to detect transition to ZqUmtsKavCommMode_DM.\n");
      return status::kMoveToDmFailed;
    }
    if (current_comm_mode() == ZqUmtsKavCommMode_DM) return status::kSuccess;
    if (attempt == kDlToDmTries) {
      show_msg("ERROR: Failure to transition to ZqUmtsKavCommMode_DM.\n");
      return status::kMoveToDmFailed;
    }
    show_msg("Set comm mode transition DL->DM failed, trying again.\n");
  }
}

ZqUmtsKavResetMethodEnum reset_method_for_port() {
  if (fixed_port_mode()) return ModemHardware;
  const PortScanListPtr list = get_com_port_list(PT_DM);
  ZqUmtsKavResetMethodEnum method = Both;
  if (!list) return method;
  for (const PortScanEntry& entry : list->entries) {
    if (entry.com_port == current_com_port()) {
      method = static_cast<ZqUmtsKavResetMethodEnum>(entry.reset_method);
    }
  }
  return method;
}

bool modem_reenumerates_into_dl() {
  if (fixed_port_mode()) return false;
  const ZqStatusRecord* record = get_zq_status();
  if (record == nullptr) {
    show_msg("ERROR: Unable to get zq status in modem_reenumerates_into_dl.\n");
    return false;
  }
  const std::string model(record_text(record->model));
  const std::string second_model(record_text(record->second_model));
  const int32_t family = modem_family_of_models(model.c_str(), second_model.c_str());
  return family != ZqUmtsKavModemFamily_6275 && family != ZqUmtsKavModemFamily_6280;
}

bool send_dl_switch(bool reenumerates) {
  const uint8_t download = diag::kCmdDownload;
  for (int send = 0; send < kDlSwitchSends; ++send) {
    if (!send_state_request(&download, 1, false)) continue;
    if (reenumerates) {
      close_before_reenumeration();
      return true;
    }
    const bool echoed =
        for_each_response(timeout(Timeout::PROBE_RESPONSE_WAIT), [](const uint8_t* data, int32_t) {
          return data[0] == diag::kCmdDownload ? Next::kStop : Next::kReadOn;
        });
    if (echoed) {
      set_current_comm_mode(ZqUmtsKavCommMode_DL);
      return true;
    }
  }
  return false;
}

bool dm_mode_reset() {
  if (set_modem_offline() != status::kSuccess) {
    show_msg("DM Mode Reset failure due to online mode.\n");
    return false;
  }
  const uint8_t reset[3] = {diag::kCmdControl, diag::kControlReset, 0};
  for (int send = 0; send < kResetSends; ++send) {
    if (!send_state_request(reset, sizeof reset, false)) continue;
    close_before_reenumeration();
    return true;
  }
  return false;
}

bool dl_mode_reset_command() {
  const uint8_t reset =
      last_probe_answer() == kProbeStreamingDownloader ? diag::kStreamingDlReset : diag::kDlReset;
  for (int send = 0; send < kDlResetSends; ++send) {
    if (!send_state_request(&reset, 1, true)) continue;
    close_before_reenumeration();
    return true;
  }
  show_msg("ERROR: dl_mode_reset_command Failure.\n");
  return false;
}

ZqUmtsKavStatusEnum set_modem_offline() {
  if (current_comm_mode() != ZqUmtsKavCommMode_DM) return status::kOfflineNotDmMode;
  const ZqStatusRecord* record = get_zq_status();
  if (record == nullptr) return status::kOfflineNoStatusRecord;
  if (is_offline(record->operating_mode)) return status::kSuccess;
  const uint8_t offline[3] = {diag::kCmdControl, diag::kControlOffline, 0};
  bool acknowledged = false;
  bool refused = false;
  for (int send = 0; send < kOfflineSends && !acknowledged && !refused; ++send) {
    if (!send_state_request(offline, sizeof offline, false)) continue;
    acknowledged = offline_acknowledged(&refused);
  }
  if (!acknowledged) return status::kOfflineNotAcknowledged;
  return wait_until_offline();
}

void count_down(int32_t ms) {
  std::string dots;
  for (int32_t left = ms; left > 0; left -= static_cast<int32_t>(kCountdownStepMs)) {
    platform::sleep_ms(kCountdownStepMs);
    dots += '.';
    show_msg("%s\r", dots.c_str());
  }
}

}  // namespace kav

ZqUmtsKavStatusEnum ZqUmtsKavSetModemCommMode(int32_t com_mode) {
  using namespace kav;
  if (com_mode != ZqUmtsKavCommMode_DM && com_mode != ZqUmtsKavCommMode_DL) {
    show_msg("ERROR: Illegal com_mode argument (%d) to ZqUmtsKavSetModemCommMode.\n", com_mode);
    return status::kPortReadFailed;
  }
  if (check_connection_mode() != status::kSuccess) {
    show_msg("ERROR: Unable to determine current connection mode.\n");
    return status::kModeUndetermined;
  }
  if (current_comm_mode() == com_mode) return status::kSuccess;
  clear_modem_caches();
  return com_mode == ZqUmtsKavCommMode_DL ? move_dm_to_dl() : move_dl_to_dm();
}

ZqUmtsKavStatusEnum ZqUmtsKavResetModem() {
  using namespace kav;
  clear_modem_caches();
  if (just_reset()) {
    show_msg("Just reset, no need to do it again.\n");
    return status::kSuccess;
  }
  apply_auto_power_fix();
  switch (reset_method_for_port()) {
    case PortCloseOpen:
      return reset_port_close_open();
    case ModemHardware:
      return reset_modem_hardware();
    case Both:
      return reset_both();
    case None:
      show_msg("Reset Method None -->> NO-OP\n");
      return status::kSuccess;
    default:
      show_msg("ERROR: Invalid reset_method in ZqUmtsKavResetModem\n");
      return status::kPortReadFailed;
  }
}
