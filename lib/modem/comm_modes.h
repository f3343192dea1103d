// Moving the modem between DM and DL mode and resetting it, across USB re-enumeration: the
// steps behind ZqUmtsKavSetModemCommMode and ZqUmtsKavResetModem (include/umts_kav/umts_kav_lib.h),
// which the generic DM command and the OpenZumi query use too.
//
// Threading: the host thread only; all port access goes through the DM transport.
#pragma once

#include <cstdint>

#include "lib/core/status.h"
#include "lib/discovery/port_map.h"

namespace kav {

// The DL -> DM way: up to two resets, each followed by a mode check. 0 or 5, with messages.
ZqUmtsKavStatusEnum move_dl_to_dm();

// The reset method of the open port: ModemHardware in fixed-port mode, else that of the DM
// port list entry with the current COM number (the last such entry), else Both.
ZqUmtsKavResetMethodEnum reset_method_for_port();

// Whether the modem leaves the bus and returns as another device when it enters DL mode.
bool modem_reenumerates_into_dl();

// Sends the download command (3A) up to five times. With `reenumerates` the port is closed
// after the first send that goes out; otherwise the modem must echo 3A.
bool send_dl_switch(bool reenumerates);

// Reset in DM mode: offline first, then 29 02 00; the port is closed after the send.
bool dm_mode_reset();

// Reset in DL mode: 0A (0B for a streaming downloader); the port is closed after the send.
bool dl_mode_reset_command();

// Takes the modem offline: 0, 45 (not acknowledged), 46 (not offline within
// MODE_CHANGE_WAIT), 47 (not in DM mode) or 100 (no status record).
ZqUmtsKavStatusEnum set_modem_offline();

// Sleeps `ms` in whole seconds, drawing one more dot per second on a line redrawn in place.
void count_down(int32_t ms);

}  // namespace kav
