// The library's version text, alone in its unit: a program linked with an object that defines
// library_version() itself never pulls this one from the archive.
#include "lib/core/library.h"

namespace kav {

const char* library_version() {
  return "3.22";
}

}  // namespace kav
