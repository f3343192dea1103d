// A small reader of INI files, standing in for GetPrivateProfileStringA.
//
// Sections ("[NAME]") and keys ("KEY=value") are compared without letter case; values are
// trimmed of blanks and tabs, then lose one enclosing pair of quotes (' or "), as Windows does;
// lines starting with ';' or '#' are comments. The first matching key wins. The file is read
// anew on every call. Threading: safe from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace kav::platform {

// The largest INI file read; larger files, and anything that is not a regular file (a FIFO, a
// device), are not read at all.
constexpr size_t kMaxProfileFileBytes = 1u << 20;

// The value of `key` in `section` of the file at `path`, cut to at most `buffer_size` - 1
// characters, or `default_value` (cut the same way) when the file, the section or the key is
// missing, or the file cannot be read. `read_error`, when given, receives 0 or why the file
// could not be read (an error code of lib/platform/error.h; ENOENT for a missing file).
std::string get_private_profile_string(const std::string& section, const std::string& key,
                                       const std::string& default_value, size_t buffer_size,
                                       const std::string& path, int* read_error = nullptr);

}  // namespace kav::platform
