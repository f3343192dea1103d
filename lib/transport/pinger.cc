#include "lib/transport/pinger.h"

#include <atomic>
#include <cerrno>
#include <thread>

#include "lib/core/messages.h"
#include "lib/platform/error.h"
#include "lib/platform/sync.h"
#include "lib/transport/dm_port.h"

namespace kav {

namespace {

// The pinger's objects. Created on first use and never destroyed: the thread may still be
// looking at them while the process ends.
struct PingerState {
  platform::ManualResetEvent command_event;  // set by a controller to wake the thread
  platform::ManualResetEvent started_event;  // set by the thread when it begins and per command
  std::mutex command_mutex;                  // serialises controllers
  std::atomic<uint32_t> command_word{kPingerStop};
  std::atomic<bool> quit{false};  // stop_pinger asks the thread to end
  std::atomic<bool> running{false};
  std::thread thread;
};

PingerState& state() {
  static PingerState* s = new PingerState;
  return *s;
}

// The wait that follows a command word, or false for a word the thread does not know.
bool wait_after_command(uint32_t command, uint32_t* wait_ms) {
  switch (command) {
    case kPingerStart:
    case kPingerActivity:
      *wait_ms = kPingIntervalMs;
      return true;
    case kPingerStop:
      *wait_ms = platform::kInfinite;
      return true;
    default:
      return false;
  }
}

void tx_keep_awake_pinger() {
  PingerState& s = state();
  s.started_event.set();
  uint32_t wait_ms = platform::kInfinite;
  for (;;) {
    const bool signalled = s.command_event.wait(wait_ms);
    if (s.quit.load()) break;
    if (signalled) {
      s.command_event.reset();
      const uint32_t command = s.command_word.load();
      if (!wait_after_command(command, &wait_ms)) {
        show_msg("ERROR: Unexpected pinger thread command in tx_keep_awake_pinger() = %d\n",
                 static_cast<int>(command));
        break;
      }
      s.started_event.set();
    } else if (dm_port_handle()) {
      poke_comms();
      wait_ms = kPingIntervalMs;
    } else {
      // No port: stay dormant until the next command.
      wait_ms = platform::kInfinite;
    }
  }
  s.running.store(false);
}

}  // namespace

std::recursive_mutex& port_lock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;
  return *lock;
}

void ensure_pinger_started() {
  PingerState& s = state();
  if (s.running.load()) return;
  if (s.thread.joinable()) s.thread.join();  // an earlier thread that ended on an error
  port_lock();
  s.quit.store(false);
  s.started_event.reset();
  s.running.store(true);
  s.thread = std::thread(tx_keep_awake_pinger);
  s.started_event.wait();
}

void control_tx_keep_awake_pinger(uint32_t command) {
  ensure_pinger_started();
  PingerState& s = state();
  switch (command) {
    case kPingerStart:
    case kPingerStop:
    case kPingerActivity: {
      std::lock_guard lock(s.command_mutex);
      s.command_word.store(command);
      s.command_event.set();
      return;
    }
    case kPingerLock:
      port_lock().lock();
      return;
    case kPingerUnlock:
      port_lock().unlock();
      return;
    default:
      show_msg("ERROR: Unrecognized command sent to control_tx_keep_awake_pinger function.\n");
      return;
  }
}

void poke_comms() {
  if (!dm_port_handle()) {
    comm_log_record("TX Attempted on NULL handle", nullptr, -1);
    show_msg("ERROR: poke_comms: TX Attempted on NULL handle.\n");
    return;
  }
  const uint8_t byte = kKeepAwakeByte;
  size_t written = 0;
  bool ok = false;
  int error = 0;
  control_tx_keep_awake_pinger(kPingerLock);
  // The port may have been closed while this thread waited for the lock: then the ping is
  // simply not due any more, and closing the port never leaves error records behind.
  const DmPortHandle port = dm_port_handle();
  if (!port) {
    control_tx_keep_awake_pinger(kPingerUnlock);
    return;
  }
  ok = port->write(&byte, 1, &written);
  if (!ok) error = platform::last_error();
  control_tx_keep_awake_pinger(kPingerUnlock);
  comm_log_record("FTX", &byte, written == 1 ? 1 : 0);
  if (!ok) {
    const std::string text = platform::system_error_text(error);
    comm_log_record(text.c_str(), nullptr, -999);
  }
  if (written != 1) comm_log_record("FTXFAILTOSEND", nullptr, 1);
}

void stop_pinger() {
  PingerState& s = state();
  if (!s.thread.joinable()) return;
  s.quit.store(true);
  s.command_event.set();
  s.thread.join();
  s.command_event.reset();
  s.command_word.store(kPingerStop);
  s.running.store(false);
}

bool pinger_running() {
  return state().running.load();
}

}  // namespace kav
