// What a command-line host asks of its surroundings: whether a stream goes to a terminal (to
// show progress there only), whether a directory can be listed (to tell an empty device tree
// from one that cannot be read), and a request to stop by signal.
//
// Threading: any thread; the stop request is a process-wide flag set by a signal handler.
#pragma once

#include <cstdio>
#include <string>

namespace kav::platform {

// True when `stream` is open on a terminal.
bool is_terminal(std::FILE* stream);

// True when `stream` is a terminal that draws ANSI escape sequences (cursor moves, line
// erasing), so that a screen kept up to date in place can be shown there. A Windows console
// does so once asked to (virtual terminal processing, Windows 10 and later); an older one, or
// no console, gives false.
bool enable_terminal_sequences(std::FILE* stream);

// 0 when `dir` can be opened and listed; else the errno value (ENOENT, ENOTDIR, EACCES, ...).
int directory_list_error(const std::string& dir);

// From now on SIGTERM, SIGINT and SIGHUP no longer end the process but are kept as a stop
// request, so that a command making a series of changes can finish the current one and say how
// far it got. Blocking calls are restarted or retried as before. A second such signal ends the
// process as usual.
void catch_stop_signals();

// The signal of the stop request, 0 while there is none.
int stop_signal();

// "SIGTERM" for SIGTERM, and so on.
std::string signal_name(int signal);

// What keeps the device view from being read, naming the path, or an empty text. On Linux the
// root (UMTS_KAV_ROOT, default /) and its sys/ must be directories the process can list, since
// an enumeration cannot tell "nothing there" from "cannot look"; Windows' device set-up service
// reports its own failures, so there it is always empty.
std::string device_view_problem();

}  // namespace kav::platform
