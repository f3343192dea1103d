// Messages and the two log files of the library.
//
// show_msg formats a message, hands it to the host's message sink and copies it, with a time
// stamp at every line start, into the numbered message log "umts_kav_lib_msg_log_NNN.txt".
// comm_log_record writes one line of the numbered comm log "umts_kav_lib_comm_log_NNN.txt":
// a time stamp, a signed count, a tag and a hexadecimal dump. Both logs are switched on by the
// registry settings read at attach (lib/core/library.h) and flushed after every write.
//
// Threading: every function may be called from any thread. One recursive log mutex guards the
// message buffer, both files, the line-start flags and the sink call; it is always the
// innermost lock of the library. The sink is called with the mutex held, so a sink must not
// wait for another library thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kav {

// The host's function receiving each finished message (zero-terminated, already formatted).
using MessageSink = void (*)(const char* text);

// Installs the host's sink (nullptr removes it).
void set_message_sink(MessageSink sink);

[[gnu::format(printf, 1, 2)]] void show_msg(const char* format, ...);

// One comm-log line: "<time stamp> <count, 4 wide> <tag> -- " and, when `bytes` is given and
// `count` is above 0, the first `count` bytes as "%2.2X ". Counts -1 (no port) and -999 (a
// system error text as the tag) dump nothing.
void comm_log_record(const char* tag, const uint8_t* bytes, int32_t count);

// Writes `text`, line-prefixed with the time stamp, to the message log and then to the comm
// log (not to the sink).
void log_note_both(const char* text);

// Closes both logs and opens a new numbered pair for the enabled ones.
void open_log_files();

// The highest number among "<directory><stem>_*.txt" whose number part is all digits (an empty
// part counts 0); 0 when nothing matches; -1 when the search fails.
int highest_log_number(const std::string& directory, const char* stem);

// The time of day since the clock base with microseconds: "%3d:%2.2d:%2.2d.%3.3d%3.3d".
std::string log_timestamp();

// The log mutex (recursive), for callers that write several log lines as one unit.
std::recursive_mutex& log_mutex();

// Whether each log is wanted (set at attach from the registry) and open now.
void set_logging(bool message_logging, bool comm_logging);
bool message_logging();
bool comm_logging();
bool message_log_open();
bool comm_log_open();

// Closes both log files (detach).
void close_log_files();

// Writes `text` straight into the comm log, without a time stamp, when it is open. The caller
// holds log_mutex().
void comm_log_write_raw(const char* text);

// The names of the log files currently open (empty when closed), for messages and tests.
std::string message_log_name();
std::string comm_log_name();

// The capacity of the message buffer (0 before the first message).
size_t message_buffer_capacity();

// Back to the state of a fresh process: logs closed, logging off, no sink, empty buffer.
void reset_messages();

}  // namespace kav
