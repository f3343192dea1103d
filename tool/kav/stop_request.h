// The stop request of kav each and kav station: Ctrl-C or a termination request makes them
// start nothing new and finish what runs, instead of ending at once. stop_request.cc catches
// SIGINT and SIGTERM; stop_request_win32.cc the console's control events (Ctrl-C, Ctrl-Break,
// the window closing).
//
// Threading: catch_stop_request() from the main thread; stop_requested() from any thread (the
// flag is set by a signal handler on Linux, a handler thread on Windows).
#pragma once

namespace kav::tool {

// From now on a stop request is kept instead of ending the process; every later one too.
void catch_stop_request();

// True once a stop request came.
bool stop_requested();

}  // namespace kav::tool
