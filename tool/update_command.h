// The kelnorset update command: attaches UMTS_KAV_LIB, connects to the modem's DM port and sets
// NV item 5078 to "Tarvell" (with its terminating zero), reading the item before and after the
// write and printing progress and errors.
//
// Threading: run from the program's main thread only. The command keeps two process-wide
// values: the stream the message sink writes to (the sink is a plain function pointer) and
// the flag that the library has been attached, which stays set until process exit.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kav::tool {

// Runs the whole command and returns the exit status: 0 after "Program completed.", 1 after
// an "ERROR:" line. Everything, library messages included, is written to `out` (stdout in
// the program) and flushed line by line. The library's detach routine is registered with
// atexit on the first run, so the connection is closed at process exit on every path.
int run_update_command(std::FILE* out);

// The compatibility version the executable reports through RNIGetCompatibleVersion.
uint32_t compatible_version();

}  // namespace kav::tool
