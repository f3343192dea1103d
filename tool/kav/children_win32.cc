// kav each and kav station in the Windows build: both run child processes through POSIX spawn
// and poll, which the Windows build does not have yet, so they say so instead.
#include <cstdio>

#include "tool/kav/commands.h"

namespace kav::tool {

namespace {

int not_built(const char* name) {
  std::fprintf(stderr, "kav %s: not available in the Windows build of kav\n", name);
  return kExitFailed;
}

}  // namespace

int run_each(const std::vector<std::string>&) {
  return not_built("each");
}

int run_station(const std::vector<std::string>&) {
  return not_built("station");
}

}  // namespace kav::tool
