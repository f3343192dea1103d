// Feeds arbitrary texts to the settings file parser. Beyond memory safety it checks what a
// rewrite relies on: a text that parses renders back byte for byte; after a DWORD is set, the
// new text parses again, holds the value, and renders back unchanged; a text that does not
// parse is refused with the line at fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "lib/platform/reg_file.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Keys and names the write goes to: an existing key of common files, a new one, the default
// value and a name that needs escapes.
const char* const kPaths[] = {"SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB", "Software\\A", ""};
const char* const kNames[] = {"Message Logging", "", "q\"b\\s", "comm logging"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kav::platform::RegDocument;
  const std::string text(reinterpret_cast<const char*>(data), size);
  RegDocument doc;
  std::string problem;
  if (!doc.parse(text, &problem)) {
    check(problem.rfind("line ", 0) == 0);
    return 0;
  }
  check(doc.render() == text);

  const std::string path = kPaths[size % 3];
  const std::string name = kNames[(size / 3) % 4];
  const uint32_t value = size >= 4 ? static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16 |
                                                           static_cast<uint32_t>(data[3]) << 24)
                                   : 7;
  doc.set_dword(path, name, value);
  const std::string changed = doc.render();
  RegDocument again;
  check(again.parse(changed, &problem));
  check(again.render() == changed);
  const std::optional<kav::platform::RegValue> stored = again.value(path, name);
  check(stored && stored->type == kav::platform::kRegDword && stored->data.size() == 4);
  check(stored->data[0] == (value & 0xff) && stored->data[3] == value >> 24);
  check(again.has_key(path));
  return 0;
}
