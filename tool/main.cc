// kelnorset: sets NV item 5078 of the attached modem to "Tarvell". Takes no arguments; all
// output goes to standard output, exit status 0 on success and 1 on any failure.
#include <cstdint>
#include <cstdio>

#include "tool/update_command.h"

// The one function the executable exports for hosts that probe it: takes no arguments and
// returns the compatibility version 0x20000.
extern "C" [[gnu::visibility("default"), gnu::used]] uint32_t RNIGetCompatibleVersion() {
  return kav::tool::compatible_version();
}

int main() {
  return kav::tool::run_update_command(stdout);
}
