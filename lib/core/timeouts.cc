#include "lib/core/timeouts.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "lib/core/library.h"
#include "lib/core/messages.h"
#include "lib/platform/clock.h"
#include "lib/platform/error.h"
#include "lib/platform/ini.h"

namespace kav {

namespace {

constexpr int kCount = static_cast<int>(Timeout::kCount);

struct TimeoutSpec {
  const char* name;
  int32_t default_ms;
};

// Names and defaults, in the order of the Timeout enum.
constexpr TimeoutSpec kSpecs[kCount] = {
    {"PROBE_RESPONSE_WAIT", 2000},
    {"FAST_PROBE_RESPONSE_WAIT", 500},
    {"EXTENDED_PROBE_RESPONSE_WAIT", 10000},
    {"OFFLINE_WAIT", 10000},
    {"MODE_CHANGE_WAIT", 30000},
    {"RESPONSE_WAIT", 2000},
    {"WRITE_RESPONSE_WAIT", 15000},
    {"PROG_RESPONSE_WAIT", 120000},
    {"NRL_RESPONSE_WAIT", 5000},
    {"NRL_RESPONSE_WAIT_ERASE", 50000},
    {"NRL_RESPONSE_WAIT_STREAM", 15000},
    {"NRL_MAX_WINDOW_SIZE", 32},
    {"NRL_MIN_STREAM_WRITE_INTERVAL", 5},
    {"AUTO_PORT_SCAN_INTERVAL", 100},
    {"POST_OPEN_DELAY", 4000},
    {"ZQ_STATUS_OPRT_MODE_SCAN_INTERVAL", 2000},
    {"RESET_PCO_REOPEN_DELAY", 5000},
    {"RESET_MH_REATTACH_DELAY", 10000},
    {"RESET_BOTH_AUTO_PORT_DISAPPEAR_LIMIT", 30000},
    {"RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT", 30000},
    {"RESET_BOTH_FIXED_PORT_RESET_DELAY", 10000},
    {"RESET_BOTH_SETTLE_DELAY", 5000},
    {"MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN", 5000},
    {"MAX_WAIT_FOR_PRE_REENUMERATION_RESPONSE", 7},
    {"REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL", 10000},
    {"ZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT", 30000},
    {"ZQUMTSKAVCONNECT_TEASER_DELAY", 4000},
};

// The file is read in this order; the first key is read (and logged) twice.
constexpr Timeout kReadOrder[] = {
    Timeout::EXTENDED_PROBE_RESPONSE_WAIT,
    Timeout::PROBE_RESPONSE_WAIT,
    Timeout::FAST_PROBE_RESPONSE_WAIT,
    Timeout::EXTENDED_PROBE_RESPONSE_WAIT,
    Timeout::OFFLINE_WAIT,
    Timeout::MODE_CHANGE_WAIT,
    Timeout::RESPONSE_WAIT,
    Timeout::WRITE_RESPONSE_WAIT,
    Timeout::PROG_RESPONSE_WAIT,
    Timeout::NRL_RESPONSE_WAIT,
    Timeout::NRL_RESPONSE_WAIT_ERASE,
    Timeout::NRL_RESPONSE_WAIT_STREAM,
    Timeout::NRL_MAX_WINDOW_SIZE,
    Timeout::NRL_MIN_STREAM_WRITE_INTERVAL,
    Timeout::AUTO_PORT_SCAN_INTERVAL,
    Timeout::POST_OPEN_DELAY,
    Timeout::ZQ_STATUS_OPRT_MODE_SCAN_INTERVAL,
    Timeout::RESET_PCO_REOPEN_DELAY,
    Timeout::RESET_MH_REATTACH_DELAY,
    Timeout::RESET_BOTH_AUTO_PORT_DISAPPEAR_LIMIT,
    Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT,
    Timeout::RESET_BOTH_FIXED_PORT_RESET_DELAY,
    Timeout::RESET_BOTH_SETTLE_DELAY,
    Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN,
    Timeout::MAX_WAIT_FOR_PRE_REENUMERATION_RESPONSE,
    Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL,
    Timeout::ZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT,
    Timeout::ZQUMTSKAVCONNECT_TEASER_DELAY,
};

constexpr const char* kNotFound = "ValueNotFoundInIniFile";
constexpr size_t kIniBufferSize = 32;

struct TimeoutState {
  std::atomic<int32_t> values[kCount];
  std::mutex mutex;
  int file_decision = -1;  // -1 undecided, 0 not used, 1 used

  TimeoutState() { reset(); }
  void reset() {
    for (int i = 0; i < kCount; ++i) values[i] = kSpecs[i].default_ms;
    file_decision = -1;
  }
};

TimeoutState& state() {
  static TimeoutState* s = new TimeoutState;
  return *s;
}

// The value a file text stands for: its leading decimal digits, when it starts with one.
// Numbers beyond the 32-bit range are held at INT32_MAX instead of wrapping.
std::optional<int32_t> parse_value(const std::string& text) {
  if (text == kNotFound || text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
    return std::nullopt;
  }
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
}

bool decide_file_use(const char* version_text) {
  TimeoutState& s = state();
  std::lock_guard lock(s.mutex);
  if (s.file_decision < 0) s.file_decision = timeouts_file_used(version_text) ? 1 : 0;
  return s.file_decision == 1;
}

// A time-outs file that exists but is refused (a FIFO or a device, a file too large) or cannot
// be read; the defaults stay. Said on the standard error stream, since at attach there is no
// sink yet, and in the comm log.
void report_unreadable_timeouts_file(const std::string& path, int error) {
  const std::string line = "ERROR: umts_kav_lib: time-outs file \"" + path + "\" cannot be read (" +
                           platform::system_error_text(error) +
                           "); the default time-outs are used.\n";
  std::fputs(line.c_str(), stderr);
  comm_log_write_raw(line.c_str());
}

}  // namespace

int32_t timeout(Timeout key) {
  return state().values[static_cast<int>(key)].load();
}

void set_timeout(Timeout key, int32_t value) {
  state().values[static_cast<int>(key)] = value;
}

const char* timeout_name(Timeout key) {
  return kSpecs[static_cast<int>(key)].name;
}

int32_t timeout_default(Timeout key) {
  return kSpecs[static_cast<int>(key)].default_ms;
}

void reset_timeouts() {
  state().reset();
}

bool timeouts_file_used(const char* version_text) {
  char copy[128];
  std::snprintf(copy, sizeof copy, "%s", version_text ? version_text : "");
  char* save = nullptr;
  const char* token = strtok_r(copy, ". \r\n", &save);
  for (int i = 1; token && i < 4; ++i) token = strtok_r(nullptr, ". \r\n", &save);
  return token && std::atoi(token) > 0;
}

std::optional<std::string> timeouts_file_path() {
  const std::optional<std::string> directory = module_directory();
  if (!directory) return std::nullopt;
  return *directory + "umts_kav_lib_timeouts.ini";
}

void load_timeouts(const char* version_text) {
  if (!decide_file_use(version_text ? version_text : library_version())) return;
  if (!comm_log_open() && comm_logging()) open_log_files();
  const std::optional<std::string> path = timeouts_file_path();
  std::lock_guard lock(log_mutex());
  if (!path) {
    comm_log_write_raw("ERROR: Unable to determine configure timeouts directory\n");
    return;
  }
  bool reported = false;
  for (const Timeout key : kReadOrder) {
    int error = 0;
    const std::string text = platform::get_private_profile_string(
        "GENERAL", timeout_name(key), kNotFound, kIniBufferSize, *path, &error);
    if (error != 0 && error != ENOENT && !reported) {
      report_unreadable_timeouts_file(*path, error);
      reported = true;
    }
    if (const std::optional<int32_t> value = parse_value(text)) set_timeout(key, *value);
    char line[160];
    std::snprintf(line, sizeof line, "Timeout value %s = %d\n", timeout_name(key), timeout(key));
    comm_log_write_raw(line);
  }
}

void sleep_whole_seconds(int32_t ms) {
  for (int64_t seconds = 0; seconds * 1000 < ms; ++seconds) platform::sleep_ms(1000);
}

}  // namespace kav
