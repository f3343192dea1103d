// The library's settings: the registry values under
// HKEY_CURRENT_USER\SOFTWARE\Brisco Wireless\UMTS_KAV_LIB, the module directory and opening a
// file after creating the directories on its path. Attach and detach, which read the settings,
// live above every layer (lib/modem/lifecycle.h).
//
// Threading: read_logging_settings runs on the host thread at attach. The setting readers may
// be called from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace kav {

// The version text of the library ("3.22"), printed in the log banner; it also decides whether
// the time-outs file is read. Defined alone in library_version.cc, so that a build of the same
// program with another version text can supply its own definition at link time.
const char* library_version();

// The settings key under HKEY_CURRENT_USER.
inline constexpr const char* kSettingsKey = "SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB";

// Reads a REG_DWORD setting; none unless the key opens (it is created when missing), the
// value reads, is REG_DWORD and holds 4 bytes.
std::optional<uint32_t> read_setting_dword(const char* name);

// Stores REG_DWORD 0 under `name`, creating the key when needed.
bool write_setting_dword(const char* name);

// The "Logging Directory" setting with '/' appended when it is non-empty and lacks one; empty
// when absent, unreadable or not REG_SZ. Read anew on every call. At most 260 characters.
std::string logging_directory();

// The directory of the module, ending in '/'; none when the module's file name cannot be had.
// Cached after the first success.
std::optional<std::string> module_directory();

// Creates every missing directory on `full_path` (the last component is a file name). False
// when one cannot be made (reported).
bool make_dirs_for(const std::string& full_path);

// Creates every missing directory on `full_path`, then opens it with `mode`. None when a
// directory cannot be made (reported) or the open fails (not reported).
std::FILE* open_with_dirs(const std::string& full_path, const char* mode);

// The purge settings read at attach; no operation acts on them.
bool purge_successful_msg_log();
bool purge_successful_comm_log();

// Reads the logging and purge settings (each missing one is stored as 0) and switches the logs
// on or off accordingly. Reports a settings file that cannot be parsed on standard error.
void read_logging_settings();

// Forgets the purge settings and the cached module directory (tests).
void reset_library_settings();

}  // namespace kav
