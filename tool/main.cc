// kelnorset: sets NV item 5078 of the attached modem to "Tarvell". Takes no arguments; all
// output goes to standard output, exit status 0 on success and 1 on any failure (an output that
// cannot be written included).
#include <cstdint>
#include <cstdio>

#include "tool/stdout_check.h"
#include "tool/update_command.h"

// The one function the executable exports for hosts that probe it: takes no arguments and
// returns the compatibility version 0x20000.
extern "C" [[gnu::visibility("default"), gnu::used]] uint32_t RNIGetCompatibleVersion() {
  return kav::tool::compatible_version();
}

int main() {
  // Registered before the library's detach, so it runs after the detach's last message.
  kav::tool::check_stdout_at_exit("kelnorset", 1);
  return kav::tool::run_update_command(stdout);
}
