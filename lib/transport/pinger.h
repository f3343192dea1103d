// The keep-awake pinger and the DM port lock.
//
// While a DM port is open the background thread tx_keep_awake_pinger writes one HDLC flag byte
// (0x7E) to it whenever kPingIntervalMs pass without a command to the thread; every frame the
// transmitter sends posts the activity command, so the byte only goes out on an idle line.
//
// port_lock is the recursive mutex held around every write, open, close and purge of the DM
// port (the transmitter, the port open/close code and the pinger's own write), so a ping never
// falls inside a frame.
//
// Threading: controllers (control_tx_keep_awake_pinger) may run on any thread; a command mutex
// serialises them. ensure_pinger_started and stop_pinger are called from the host thread only.
// The pinger's objects are created once and live to process end; the thread runs until
// stop_pinger() or one of its error exits.
#pragma once

#include <cstdint>
#include <mutex>

namespace kav {

// Idle time after which a ping goes out.
constexpr uint32_t kPingIntervalMs = 250;
// The byte a ping writes.
constexpr uint8_t kKeepAwakeByte = 0x7E;

// Commands of control_tx_keep_awake_pinger.
enum PingerCommand : uint32_t {
  kPingerStart = 0,     // ping after every interval without a command
  kPingerStop = 1,      // wait for the next command; no pings
  kPingerActivity = 2,  // restart the idle interval (and ping as after start)
  kPingerLock = 3,      // take port_lock on the calling thread
  kPingerUnlock = 4,    // release port_lock on the calling thread
};

// Creates the pinger's objects and starts its thread when it is not running, then waits until
// the thread has begun. Every user of port_lock or of the pinger calls this first.
void ensure_pinger_started();

// Posts command 0, 1 or 2 to the thread (it acts on the latest command word when it wakes),
// or takes (3) or releases (4) port_lock. Any other value is reported and changes nothing.
void control_tx_keep_awake_pinger(uint32_t command);

// Writes the keep-awake byte once to the DM port under port_lock, with its comm-log records.
void poke_comms();

// The DM port lock (recursive: the owner may take it again).
std::recursive_mutex& port_lock();

// Ends the pinger thread and waits for it (library shut-down, tests). The objects stay; a
// later ensure_pinger_started starts a new thread.
void stop_pinger();

// Whether the pinger thread is running now (tests).
bool pinger_running();

}  // namespace kav
