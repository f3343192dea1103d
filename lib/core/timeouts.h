// The library's named time-outs: one signed 32-bit value per key, in milliseconds unless
// noted, with built-in defaults. load_timeouts (run once by attach) may replace them with the
// values of "umts_kav_lib_timeouts.ini" beside the module, but only for library versions whose
// version text carries a positive fourth number; "3.22" never reads the file.
//
// Threading: values are atomics; any thread may read them, and tests and the modem-family
// look-up may change them at any time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kav {

enum class Timeout : int {
  PROBE_RESPONSE_WAIT,
  FAST_PROBE_RESPONSE_WAIT,
  EXTENDED_PROBE_RESPONSE_WAIT,
  OFFLINE_WAIT,
  MODE_CHANGE_WAIT,
  RESPONSE_WAIT,
  WRITE_RESPONSE_WAIT,
  PROG_RESPONSE_WAIT,
  NRL_RESPONSE_WAIT,
  NRL_RESPONSE_WAIT_ERASE,
  NRL_RESPONSE_WAIT_STREAM,
  NRL_MAX_WINDOW_SIZE,
  NRL_MIN_STREAM_WRITE_INTERVAL,
  AUTO_PORT_SCAN_INTERVAL,
  POST_OPEN_DELAY,
  ZQ_STATUS_OPRT_MODE_SCAN_INTERVAL,
  RESET_PCO_REOPEN_DELAY,
  RESET_MH_REATTACH_DELAY,
  RESET_BOTH_AUTO_PORT_DISAPPEAR_LIMIT,
  RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT,
  RESET_BOTH_FIXED_PORT_RESET_DELAY,
  RESET_BOTH_SETTLE_DELAY,
  MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN,
  MAX_WAIT_FOR_PRE_REENUMERATION_RESPONSE,
  REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL,
  ZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT,
  ZQUMTSKAVCONNECT_TEASER_DELAY,
  kCount
};

// The value in force, and changing it (tests, the 9X15 family look-up).
int32_t timeout(Timeout key);
void set_timeout(Timeout key, int32_t value);

// The INI key and the built-in default of a time-out.
const char* timeout_name(Timeout key);
int32_t timeout_default(Timeout key);

// Every value back to its default, and the version decision forgotten (tests).
void reset_timeouts();

// Whether a library of version `version_text` reads the time-outs file: a fourth token (text
// split at ". \r\n") that converts with atoi to a number above 0.
bool timeouts_file_used(const char* version_text);

// Reads the time-outs file when the library version allows it (see above) and writes one
// "Timeout value" line per key to the comm log. `version_text` stands in for the library
// version (tests); none means the library's own.
void load_timeouts(const char* version_text = nullptr);

// The full path of the time-outs file, or none without a module directory.
std::optional<std::string> timeouts_file_path();

// Sleeps as the waits counted in whole seconds do: one-second steps while the seconds waited,
// times 1000, are below `ms` (5000 waits 5 s, 5500 waits 6 s).
void sleep_whole_seconds(int32_t ms);

}  // namespace kav
