// The library version text of the test build of kelnorset. Its positive fourth number makes
// the library read "umts_kav_lib_timeouts.ini" from the module directory, so that tests can
// shorten the waits; linked ahead of the library, it replaces the library's own "3.22".
#include "lib/core/library.h"

namespace kav {

const char* library_version() {
  return "3.22.0.1";
}

}  // namespace kav
