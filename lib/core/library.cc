#include "lib/core/library.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lib/core/messages.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "lib/platform/registry.h"

namespace kav {

namespace {

constexpr const char* kMessageLogging = "Message Logging";
constexpr const char* kCommLogging = "Comm Logging";
constexpr const char* kPurgeMsgLog = "Purge Successful Msg Log";
constexpr const char* kPurgeCommLog = "Purge Successful Comm Log";
constexpr const char* kLoggingDirectory = "Logging Directory";

// Settings and caches of the library core.
struct LibraryState {
  std::mutex mutex;
  bool purge_msg_log = false;
  bool purge_comm_log = false;
  std::optional<std::string> module_directory;  // cached after the first success
};

LibraryState& state() {
  static LibraryState* s = new LibraryState;
  return *s;
}

// A value as the settings file writes it, cut short and with control characters shown as '?':
// "text" for a text, hex:01,02 or hex(N):01,02 for any other type.
std::string describe_value(const platform::RegValue& value) {
  constexpr size_t kShown = 32;
  std::string out;
  if (value.type == platform::kRegSz) {
    out = "\"";
    for (size_t i = 0; i < value.data.size() && value.data[i] != 0 && i < kShown; ++i) {
      const unsigned char c = value.data[i];
      out += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
    }
    return out + (value.data.size() > kShown + 1 ? "...\"" : "\"");
  }
  char number[16];
  std::snprintf(number, sizeof number, "hex(%x):", value.type);
  out = value.type == platform::kRegBinary ? "hex:" : number;
  for (size_t i = 0; i < value.data.size() && i < kShown; ++i) {
    std::snprintf(number, sizeof number, "%s%02x", i ? "," : "", value.data[i]);
    out += number;
  }
  return out + (value.data.size() > kShown ? ",..." : "");
}

// A flag stored with another type than a DWORD is replaced by DWORD 0, as stored files and
// other programs expect; the user who wrote it by hand is told what it was.
void report_replaced_flag(const char* name) {
  platform::RegistryHive& hive = platform::user_hive();
  platform::RegValue value;
  if (hive.query_value(kSettingsKey, name, &value) != 0) return;
  if (value.type == platform::kRegDword && value.data.size() == 4) return;
  std::fprintf(stderr,
               "ERROR: umts_kav_lib: settings file \"%s\": value \"%s\" is %s, not a dword; it "
               "is replaced by dword:00000000 and counts as off.\n",
               hive.location().c_str(), name, describe_value(value).c_str());
}

// Reads one logging flag: on when the stored DWORD is nonzero; otherwise the value is
// (re)written as DWORD 0 and the flag is off. `write_failed` is set when that write fails.
bool read_flag(const char* name, bool* write_failed) {
  const std::optional<uint32_t> value = read_setting_dword(name);
  if (value && *value != 0) return true;
  if (!value) report_replaced_flag(name);
  if (!write_setting_dword(name)) *write_failed = true;
  return false;
}

// A settings file that cannot be read (not parseable, not a regular file, too large) is left
// untouched; say so once per attach, on the standard error stream, since neither the sink nor
// the logs exist yet. True when it was reported.
bool report_unreadable_settings() {
  platform::RegistryHive& hive = platform::user_hive();
  const int error = hive.open_key(kSettingsKey, false);
  if (error == 0 || error == ENOENT) return false;
  std::fprintf(stderr,
               "ERROR: umts_kav_lib: settings file \"%s\" cannot be read (%s); it is left as it "
               "is and logging stays off.\n",
               hive.location().c_str(), hive.problem().c_str());
  return true;
}

// A settings file that can be read but not written (its lock refused, say).
void report_unwritable_settings() {
  platform::RegistryHive& hive = platform::user_hive();
  std::fprintf(stderr, "ERROR: umts_kav_lib: settings file \"%s\" cannot be written (%s).\n",
               hive.location().c_str(), hive.problem().c_str());
}

}  // namespace

void read_logging_settings() {
  const bool unreadable = report_unreadable_settings();
  bool write_failed = false;
  const bool message_logging = read_flag(kMessageLogging, &write_failed);
  const bool comm_logging = read_flag(kCommLogging, &write_failed);
  const bool purge_msg = read_flag(kPurgeMsgLog, &write_failed);
  const bool purge_comm = read_flag(kPurgeCommLog, &write_failed);
  if (write_failed && !unreadable) report_unwritable_settings();
  set_logging(message_logging, comm_logging);
  std::lock_guard lock(state().mutex);
  state().purge_msg_log = purge_msg;
  state().purge_comm_log = purge_comm;
}

std::optional<uint32_t> read_setting_dword(const char* name) {
  platform::RegistryHive& hive = platform::user_hive();
  if (hive.open_key(kSettingsKey, true) != 0) return std::nullopt;
  platform::RegValue value;
  if (hive.query_value(kSettingsKey, name, &value) != 0) return std::nullopt;
  if (value.type != platform::kRegDword || value.data.size() != 4) return std::nullopt;
  uint32_t dword = 0;
  std::memcpy(&dword, value.data.data(), 4);  // little-endian, as the hive stores it
  return dword;
}

bool write_setting_dword(const char* name) {
  return platform::user_hive().set_dword(kSettingsKey, name, 0) == 0;
}

std::string logging_directory() {
  platform::RegistryHive& hive = platform::user_hive();
  if (hive.open_key(kSettingsKey, false) != 0) return {};
  platform::RegValue value;
  if (hive.query_value(kSettingsKey, kLoggingDirectory, &value) != 0) return {};
  if (value.type != platform::kRegSz) return {};
  std::string directory(value.data.begin(), value.data.end());
  directory.resize(std::strlen(directory.c_str()));  // up to the terminating zero
  if (!directory.empty() && directory.back() != '/') directory += '/';
  return directory;
}

std::optional<std::string> module_directory() {
  LibraryState& s = state();
  std::lock_guard lock(s.mutex);
  if (s.module_directory) return s.module_directory;
  const std::optional<std::string> file = platform::module_file_name();
  if (!file) return std::nullopt;
  const std::string directory = file->substr(0, file->rfind('/') + 1);
  if (directory.empty() || directory.size() > platform::kMaxPath) return std::nullopt;
  s.module_directory = directory;
  return directory;
}

bool make_dirs_for(const std::string& full_path) {
  const size_t last_slash = full_path.rfind('/');
  if (last_slash != std::string::npos) {
    // Each prefix ending before a '/' (past the first character) names one level, from the
    // top down: "/a", "/a/b", "/a/b/c" for "/a/b/c/file".
    for (size_t slash = full_path.find('/', 1); slash != std::string::npos && slash <= last_slash;
         slash = full_path.find('/', slash + 1)) {
      const std::string level = full_path.substr(0, slash);
      if (!platform::path_exists(level) && !platform::make_directory(level)) {
        show_msg("ERROR: Make directory failed for \"%s\"\n", level.c_str());
        return false;
      }
    }
  }
  return true;
}

std::FILE* open_with_dirs(const std::string& full_path, const char* mode) {
  if (!make_dirs_for(full_path)) return nullptr;
  return platform::open_file(full_path, mode);
}

bool purge_successful_msg_log() {
  std::lock_guard lock(state().mutex);
  return state().purge_msg_log;
}

bool purge_successful_comm_log() {
  std::lock_guard lock(state().mutex);
  return state().purge_comm_log;
}

void reset_library_settings() {
  LibraryState& s = state();
  std::lock_guard lock(s.mutex);
  s.purge_msg_log = s.purge_comm_log = false;
  s.module_directory.reset();
}

}  // namespace kav
