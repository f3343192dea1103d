// Registry helpers shared by the Windows hives (lib/platform/registry_win32.cc and
// machine_hive_win32.cc). Results are the layer's error codes (win32::error_of).
#pragma once

#include <windows.h>

#include <string>

#include "lib/platform/registry.h"

namespace kav::platform::win32 {

// Opens (with `create`: creates) the key at `path` below `root`; the caller closes *key.
int open_registry_key(HKEY root, const std::string& path, bool create, bool writable, HKEY* key);

// Reads value `name` of the key at `path` below `root`, with its type and stored bytes.
int query_registry_value(HKEY root, const std::string& path, const std::string& name,
                         RegValue* out);

}  // namespace kav::platform::win32
