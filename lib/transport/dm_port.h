// The DM port connection: the one open DM serial port of the process (dm_port_handle), the COM
// number last opened, the time of the last close, and the connect settings; opening with the
// line settings and time-outs the DIAG exchange relies on, closing, and the close-and-reopen
// in place after the USB device dropped off the bus.
//
// A port handle is a shared pointer to an open platform::SerialPort, so a local copy taken by a
// reader or writer stays a valid object while another path replaces dm_port_handle; "none" is
// an empty pointer.
//
// Threading: opening, closing and configuring happen under port_lock (lib/transport/pinger.h),
// which is recursive: minimal_port_close_and_reopen is called by a sender that holds it. The
// handle variable itself is guarded by a small mutex of its own, so any thread may read it.
// The settings and numbers are atomics.
#pragma once

#include <cstdint>
#include <memory>

#include "lib/core/status.h"
#include "lib/platform/serial.h"

namespace kav {

using DmPortHandle = std::shared_ptr<platform::SerialPort>;

// The line speed of the connect settings until a host sets another, and after a disconnect.
constexpr uint32_t kDefaultBaudRate = 115200;

// Number of open attempts and the pause between two of them.
constexpr int kOpenAttempts = 5;
constexpr uint32_t kDefaultOpenRetryPauseMs = 5000;

// The current DM port, or none.
DmPortHandle dm_port_handle();
void set_dm_port_handle(DmPortHandle handle);

// COM number of the port most recently opened successfully (0 before any).
int current_com_port();

// Tick of the last close of the DM port; 0 = never.
uint32_t last_close_time();

// Connect settings used by the next open (defaults 115200, 0, false).
uint32_t baud_rate();
int requested_com_port();
bool fixed_port_mode();
void set_baud_rate(uint32_t rate);
void set_requested_com_port(int com_port);
void set_fixed_port_mode(bool fixed);

// Opens "\\.\COM<com>" (its device node under the root), waiting out the spacing after the
// last close, with up to kOpenAttempts tries while the device is busy or settling (other
// failures are given at once); applies the time-outs and the line settings and
// sets current_com_port. Returns the handle, or none after reporting why. Does not set
// dm_port_handle.
DmPortHandle open_com_port(int com);

// Closes dm_port_handle: 0, or 17 (silently) when no port is open. The close hook runs first
// in either case.
ZqUmtsKavStatusEnum close_com_port();

// A function close_com_port runs before closing: the modem layer forgets what it knew about
// the modem behind the port. None by default.
using PortCloseHook = void (*)();
void set_port_close_hook(PortCloseHook hook);

// Closes dm_port_handle, finds the port again (the current one in fixed-port mode, else the
// scanner's DM port) and opens it. 0 with the new handle in dm_port_handle and `*handle`, or
// 16 with both none.
ZqUmtsKavStatusEnum minimal_port_close_and_reopen(DmPortHandle* handle);

// After a garbled or failed frame: run as root, looks again for processes holding the DM
// port's node beside us (a holder check at open is only a snapshot) and names each newcomer
// once. Does nothing for other users, who cannot see root's processes.
void look_for_other_holders();

// The pause between failed open attempts (tests shorten it).
void set_open_retry_pause_ms(uint32_t ms);

// Back to the state of a fresh process: port closed without messages, settings at their
// defaults, no close time, pause at its default.
void reset_dm_port();

}  // namespace kav
