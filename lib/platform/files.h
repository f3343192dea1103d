// Files, directories and the environment of the platform: the root of the device view, the
// module directory, directory creation, full paths, existence checks, wildcard search and
// opening files.
//
// Paths use '/' as separator. Threading: every function may be called from any thread;
// failures set the calling thread's last error (lib/platform/error.h).
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kav::platform {

// Windows' MAX_PATH, the bound the library keeps for file names.
constexpr size_t kMaxPath = 260;

// The value of an environment variable, or `fallback` when unset or empty.
std::string env_or(const char* name, const std::string& fallback);

// The directory under which sys/ and dev/ are looked for (UMTS_KAV_ROOT, default "/"), always
// ending in '/'.
std::string root_dir();

// `relative` (no leading '/') below root_dir().
std::string root_path(const std::string& relative);

// The full file name of the module: the running executable, or a file in UMTS_KAV_MODULE_DIR
// when that is set. None when it cannot be determined.
std::optional<std::string> module_file_name();

// Creates one directory (mode 0755). False on failure, with the last error set.
bool make_directory(const std::string& path);

// True when `path` exists (access mode 0).
bool path_exists(const std::string& path);

// `path` made absolute against the current directory and lexically normalised ("." and ".."
// resolved, repeated separators folded); it need not exist. None when the current directory
// cannot be read or the result would not fit in `max_length` characters.
std::optional<std::string> full_path(const std::string& path, size_t max_length = kMaxPath);

// The names (without directory) of the entries of a directory that match the wildcard in the
// last component of `pattern` ('*' any run, '?' one character). Returns 0 with at least one
// name, or an error code: ENOENT when nothing matches or the directory does not exist.
int find_files(const std::string& pattern, std::vector<std::string>* names);

// fopen, with the last error set on failure.
std::FILE* open_file(const std::string& path, const char* mode);

}  // namespace kav::platform
