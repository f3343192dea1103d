// kav's use of the library for the subcommands that talk to a modem: attaching it once, showing
// its messages on standard error as they come, connecting (to the one DM port the scanner finds,
// or with --port to a fixed port), bringing the modem into DM mode and getting its identity.
//
// Threading: the program's main thread only. The message filter (quiet, terminal) is
// process-wide, as the library's message sink is a plain function.
#pragma once

#include <optional>
#include <string>

#include "lib/identity/modem_identity.h"
#include "tool/kav/cli.h"

namespace kav::tool {

// The option every modem subcommand takes.
inline constexpr OptionSpec kPortOption{"--port", "COMn|/dev/ttyUSBn"};

// The COM number of a --port value: "COM<n>" (any letter case) or the device node of a COM
// port ("/dev/ttyUSB<k>", "/dev/ttyACM<k>", or that node below UMTS_KAV_ROOT). None with
// `error` set for anything else.
std::optional<int> com_port_of(const std::string& port, std::string* error);

// Attaches the library (once; its detach runs at exit) and installs the message sink:
// messages go to standard error as they come; with -q only "ERROR" lines; the reset countdown's
// dots only to a terminal.
void start_library(const Invocation& inv);

// start_library, the port map kelnorset uses, the connect settings of --port, and the connect.
// kExitOk, or a failure reported (kExitFailed). Expects --port to be valid (checked earlier).
int connect_modem(Invocation& inv);

// With --port the library waits for the modem on that COM port only. After a mode change or a
// reset that failed because the modem re-enumerated under another COM number (its port is
// gone), finds the one DM port there is now, waiting as connect does, and connects to it. The
// new COM number, or 0 when the port was not left or the modem was not found elsewhere.
int follow_moved_modem(const Invocation& inv);

// Moves a modem that its downloader answers into DM mode. kExitOk or a failure reported.
int ensure_dm_mode(Invocation& inv);

// The identity of the connected modem in DM mode; none after a failure reported.
const ModemIdentity* modem_identity(Invocation& inv);

// Checks --port; kExitOk or a usage error reported.
int check_port_option(const Invocation& inv);

}  // namespace kav::tool
