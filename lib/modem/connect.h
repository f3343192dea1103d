// Connecting to the modem and knowing what answers: the mode probe (DIAG task or downloader),
// the connection-mode check, the per-modem caches and the NV fix-up applied before resets and
// mode changes. ZqUmtsKavConnect and ZqUmtsKavDisconnect themselves
// are public (include/umts_kav/umts_kav_lib.h).
//
// Threading: the host thread only. The process-wide values here (last probe answer, last mode
// reported) are not locked. The maker's status record is lib/identity/zq_status.h.
#pragma once

#include <cstdint>

#include "lib/core/status.h"
#include "lib/transport/diag_packets.h"

namespace kav {

// What the last probe heard: 0 nothing, 1 DIAG task, 2 downloader, 3 streaming downloader.
enum ProbeAnswer : int32_t {
  kProbeNoAnswer = 0,
  kProbeDiag = 1,
  kProbeDownloader = 2,
  kProbeStreamingDownloader = 3,
};

// Sends the probe 06 (with a leading flag) and classifies the first telling answer within
// FAST_PROBE_RESPONSE_WAIT. Sets last_probe_answer.
ProbeAnswer probe_comm_mode();
ProbeAnswer last_probe_answer();

// Up to four probes; sets current_comm_mode and reports a change of mode. 0, or 51 when no
// probe was answered.
ZqUmtsKavStatusEnum check_connection_mode();

// Fast connect, for hosts that run one short command after another (kav): a DM port whose
// node has existed longer than the proof-of-stability wait is used without waiting again, and
// the AT commands that turn the port to DIAG traffic are sent only when a first probe goes
// unanswered. Off by default; kelnorset keeps the full sequence.
void set_fast_connect(bool on);
bool fast_connect();

// Forgets what the library knows about the attached modem (the announced NV name
// translations among it). No port traffic. Also run whenever the DM port is closed.
void clear_modem_caches();

// The 9X15 "7351" fix-up: sets NV_AUTO_POWER_I to 1 in DM mode. Failures are silent.
void apply_auto_power_fix();

// Back to the state of a fresh process (tests).
void reset_connect_state();

}  // namespace kav
