// What answers on the DM port: the modem's DIAG task (DM), its downloader (DL), or nothing
// known. The process keeps one current value, set by the mode probe of the connect logic and set
// back to Unknown whenever the DM port is closed.
//
// Threading: the current value is an atomic; any thread may read or set it.
#pragma once

// ZqUmtsKavCommModeEnum is part of the public interface, so hosts see the same values.
#include "umts_kav/umts_kav_lib.h"

namespace kav {

ZqUmtsKavCommModeEnum current_comm_mode();
void set_current_comm_mode(ZqUmtsKavCommModeEnum mode);

// "DM", "DL" or "Unknown".
const char* comm_mode_name(ZqUmtsKavCommModeEnum mode);

}  // namespace kav
