// What a command-line host asks of its surroundings: whether a stream goes to a terminal (to
// show progress there only) and whether a directory can be listed (to tell an empty device tree
// from one that cannot be read).
//
// Threading: any thread; no state.
#pragma once

#include <cstdio>
#include <string>

namespace kav::platform {

// True when `stream` is open on a terminal.
bool is_terminal(std::FILE* stream);

// 0 when `dir` can be opened and listed; else the errno value (ENOENT, ENOTDIR, EACCES, ...).
int directory_list_error(const std::string& dir);

// What keeps the device view from being read, naming the path, or an empty text. On Linux the
// root (UMTS_KAV_ROOT, default /) and its sys/ must be directories the process can list, since
// an enumeration cannot tell "nothing there" from "cannot look"; Windows' device set-up service
// reports its own failures, so there it is always empty.
std::string device_view_problem();

}  // namespace kav::platform
