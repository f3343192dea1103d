// Start-up and shut-down of the whole library: attach (settings, logs, time-outs, monitors, the
// modem layer's close hook) and detach (closing the connection and the logs), the exit-time
// detach routine, and stopping every background thread. The public entry points (DllMain,
// umts_kav_lib_detach, ZqUmtsKavSetMessageSink) are declared in include/umts_kav/umts_kav_lib.h.
//
// Threading: the host thread, before and after all other use of the library.
#pragma once

namespace kav {

// Stops the library's background threads (device and registry monitors, keep-awake pinger)
// and waits for them. Safe to call more than once and when none run.
void library_shutdown();

// Back to the state of a fresh process (tests): stops threads, closes the port and the logs,
// forgets every cache and setting.
void reset_library_for_testing();

}  // namespace kav
