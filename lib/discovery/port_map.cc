// The port map: filling from the built-in table, lookup with the revision fallback, updates.
#include "lib/discovery/port_map.h"

#include <map>
#include <mutex>

#include "lib/core/messages.h"
#include "lib/platform/text.h"

namespace kav {
namespace {

using platform::ascii_upper;

// valid_ports_map and its initialisation state. The map is serialised by its callers; the flag
// is read and written only under init_mutex.
struct PortMapState {
  std::map<std::string, PortMapEntry> map;
  bool initialised = false;
  std::mutex init_mutex;
};

PortMapState& state() {
  static PortMapState* s = new PortMapState;  // never destroyed: scans may run during exit
  return *s;
}

// The identifier without its revision component: "&REV_" up to the following "&MI_", or to the
// end when no "&MI_" follows. Returns none when there is no revision.
std::optional<std::string> without_revision(const std::string& ident) {
  const size_t rev = ident.find("&REV_");
  if (rev == std::string::npos) return std::nullopt;
  const size_t mi = ident.find("&MI_", rev);
  std::string out = ident.substr(0, rev);
  if (mi != std::string::npos) out += ident.substr(mi);
  return out;
}

}  // namespace

void fill_port_map(std::span<const PortMapRow> rows) {
  auto& map = state().map;
  for (const PortMapRow& row : rows) {
    std::string key = ascii_upper(row.device_ident);
    if (map.contains(key)) {
      show_msg("ERROR: Port device_ident %s duplicated in valid_ports_map initializer.\n",
               row.device_ident);
      continue;
    }
    map.emplace(std::move(key), PortMapEntry{row.name, row.port_type, row.default_reset_method});
  }
}

void init_valid_ports_map() {
  PortMapState& s = state();
  std::lock_guard lock(s.init_mutex);
  if (s.initialised) return;
  fill_port_map(valid_ports_map_initializer());
  fill_port_map(pci_port_map_rows());
  s.initialised = true;
}

std::optional<PortMapEntry> lookup_port_map(const std::string& device_ident) {
  const auto& map = state().map;
  auto it = map.find(device_ident);
  if (it == map.end()) return std::nullopt;
  return it->second;
}

std::optional<PortMapEntry> lookup_port_map_with_fallback(const std::string& device_ident,
                                                          std::string* recorded_ident) {
  if (recorded_ident != nullptr) *recorded_ident = device_ident;
  std::optional<PortMapEntry> entry = lookup_port_map(device_ident);
  if (entry) return entry;
  // A row without revision stands for every revision of the interface without a row of its own.
  std::optional<std::string> shortened = without_revision(device_ident);
  if (!shortened) return std::nullopt;
  if (recorded_ident != nullptr) *recorded_ident = *shortened;
  return lookup_port_map(*shortened);
}

void set_port_map_entry(const std::string& device_ident, const PortMapEntry& entry) {
  state().map.insert_or_assign(device_ident, entry);
}

const char* port_type_name(int32_t port_type) {
  switch (port_type) {
    case PT_AT:
      return "PT_AT";
    case PT_DM:
      return "PT_DM";
    case PT_AP:
      return "PT_AP";
    case PT_OCP:
      return "PT_OCP";
    case PT_HID:
      return "PT_HID";
    case PT_RNDIS:
      return "PT_RNDIS";
    default:
      return "?????";
  }
}

const char* reset_method_name(int32_t reset_method) {
  switch (reset_method) {
    case ModemHardware:
      return "ModemHardware";
    case PortCloseOpen:
      return "PortCloseOpen";
    case Both:
      return "Both";
    case None:
      return "None";
    default:
      return "?????";
  }
}

std::vector<std::pair<std::string, PortMapEntry>> port_map_entries() {
  const std::map<std::string, PortMapEntry>& map = state().map;
  return {map.begin(), map.end()};
}

void reset_port_map() {
  PortMapState& s = state();
  std::lock_guard lock(s.init_mutex);
  s.map.clear();
  s.initialised = false;
}

}  // namespace kav
