// Feeds arbitrary interface paths to the scanner's text derivation and the port-map look-up
// with revision fallback. Beyond memory safety it checks the promised bounds and shapes: the
// instance never exceeds the 259-character work buffer and holds no '#', the identifier is the
// instance cut before its second backslash and upper-cased, and the recorded identifier is
// either the identifier or the identifier less its revision component.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/port_map.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool initialised = [] {
    kav::init_valid_ports_map();
    return true;
  }();
  (void)initialised;
  const std::string path(reinterpret_cast<const char*>(data), size);
  const kav::InterfaceTexts texts = kav::derive_interface_texts(path);
  check(texts.device_instance.size() <= 259);
  check(texts.device_instance.find('#') == std::string::npos);
  check(texts.device_ident.size() <= texts.device_instance.size());
  for (size_t i = 0; i < texts.device_ident.size(); ++i) {
    check(texts.device_ident[i] == upper(texts.device_instance[i]));
  }

  std::string recorded;
  const std::optional<kav::PortMapEntry> entry =
      kav::lookup_port_map_with_fallback(texts.device_ident, &recorded);
  check(recorded.size() <= texts.device_ident.size());
  if (recorded != texts.device_ident) {
    const size_t rev = texts.device_ident.find("&REV_");
    check(rev != std::string::npos);
    check(texts.device_ident.compare(0, rev, recorded, 0, rev) == 0);
  }
  if (entry) check(kav::lookup_port_map(recorded) || kav::lookup_port_map(texts.device_ident));
  return 0;
}
