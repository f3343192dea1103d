// UMTS_KAV_LIB, the public interface that hosts include: start-up and shut-down, the message
// sink, the port-map update, the connect settings, connect and disconnect, and the generic DM
// command that carries a host's own DIAG request.
//
// Threading: a host calls these from one thread. Results are ZqUmtsKavStatusEnum values
// (lib/core/status.h); 0 is success. Failures are also reported as messages to the sink.
#pragma once

#include <cstdint>

#include "lib/core/status.h"
#include "lib/transport/comm_mode.h"
#include "lib/transport/diag_packets.h"

// Attach (reason 1) or detach (reason 0) the library. Returns 1 for those, 0 for any other.
int DllMain(uint32_t ul_reason_for_call);

// The detach routine, to be registered with atexit by the host after attaching.
void umts_kav_lib_detach();

// The host's function receiving every library message as finished text.
using ZqUmtsKavMessageSink = void (*)(const char* text);
void ZqUmtsKavSetMessageSink(ZqUmtsKavMessageSink sink);

// Adds or changes port map entries from an XML document, given as text or as a file name
// (a text with neither '<' nor '>'). 0, 40, 367 or 368.
ZqUmtsKavStatusEnum ZqUmtsKavPortMapUpdate(const char* xml_source);

// The settings of the next connect: line speed, whether to open `requested_com_port` without
// asking the port scanner, and the COM port wanted (0 = the one DM port the scanner finds).
void ZqUmtsKavSetConnectSettings(uint32_t baud_rate, bool fixed_port_mode,
                                 int32_t requested_com_port);

// Connects to the modem's DM port and learns whether DM or DL mode answers.
ZqUmtsKavStatusEnum ZqUmtsKavConnect();

// Closes the connection and restores the default connect settings.
ZqUmtsKavStatusEnum ZqUmtsKavDisconnect();

// Sends the 133-byte DIAG request `cmd_buff` and copies the matching response (at most 133
// bytes) into `rsp_buff` (may be null). 0, 3, 5, 437, 439, 440 or 441.
ZqUmtsKavStatusEnum ZqUmtsKavSendGenericDMCommand(const uint8_t* cmd_buff, uint8_t* rsp_buff);

// Moves the modem into DM (1) or DL (2) mode, resetting it for the way back to DM. 0, 2, 3, 4,
// 5 or the code of a failed reconnect.
ZqUmtsKavStatusEnum ZqUmtsKavSetModemCommMode(int32_t com_mode);

// Resets the modem the way its port's reset method says and connects again. 0, 2, 5 or 51.
ZqUmtsKavStatusEnum ZqUmtsKavResetModem();
