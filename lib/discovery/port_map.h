// The port map, valid_ports_map: which device interfaces belong to a modem the library can
// drive, keyed by the upper-case device identifier ("USB\VID_05C6&PID_9008", optionally with
// "&REV_xxxx" and "&MI_xx"), with the modem's display name, the port type and the default
// reset method of each.
//
// Lifetime: the map is empty until init_valid_ports_map fills it from the built-in table, once
// per process; afterwards only set_port_map_entry changes it (port-map update documents).
// Entries are never removed.
//
// Threading: init_valid_ports_map takes its own lock, so the first filling happens exactly once
// whichever thread calls first. The map itself has no lock: lookups and set_port_map_entry must
// be serialised by the caller (the scanner's scan lock).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

// What a device interface is used for. 0 is not used.
enum ZqUmtsKavPortTypeEnum : int32_t {
  PT_AT = 1,     // AT command port
  PT_DM = 2,     // diagnostic-monitor (DIAG) port
  PT_AP = 3,     // application port (NMEA and the like), recorded only
  PT_OCP = 4,    // other COM port; also what unrecognised COM ports are listed as
  PT_HID = 5,    // HID interface, no COM port
  PT_RNDIS = 6,  // RNDIS network interface, no COM port
};

// How a modem is reset while the given port is in use.
enum ZqUmtsKavResetMethodEnum : int32_t {
  ModemHardware = 0,
  PortCloseOpen = 1,
  Both = 2,
  None = 3,
};

namespace kav {

// The value stored under a device identifier.
struct PortMapEntry {
  std::string name;  // display name of the modem
  int32_t port_type = 0;
  int32_t default_reset_method = Both;
};

// One row of a constant table the map is filled from (texts are static).
struct PortMapRow {
  const char* device_ident;
  const char* name;
  int32_t port_type;
  int32_t default_reset_method;
};

// The built-in table of supported modem interfaces, in table order.
std::span<const PortMapRow> valid_ports_map_initializer();

// The DM ports of PCIe modems ("PCI\VEN_vvvv&DEV_dddd&MI_04"), kept apart from the built-in
// table, whose make-up is fixed.
std::span<const PortMapRow> pci_port_map_rows();

// Fills the map from the built-in table, then the PCIe rows, the first time it is called in
// the process; later calls return at once.
void init_valid_ports_map();

// Inserts the rows of `rows` in order, keyed by their upper-cased identifier; a row whose key
// is already present is reported ("... duplicated in valid_ports_map initializer.") and
// skipped, so the earlier row stays. init_valid_ports_map calls it with the built-in table.
void fill_port_map(std::span<const PortMapRow> rows);

// The entry stored under `device_ident` (compared exactly; keys are upper case), or none.
std::optional<PortMapEntry> lookup_port_map(const std::string& device_ident);

// Looks `device_ident` (upper case) up unchanged and, when that finds nothing and it carries a
// revision, once more without the revision component ("&REV_xxxx" up to the following "&MI_",
// or to the end). `recorded_ident` (may be null) receives the identifier the scanner records:
// the shortened form once it was tried, whether or not it was found, else `device_ident`.
std::optional<PortMapEntry> lookup_port_map_with_fallback(const std::string& device_ident,
                                                          std::string* recorded_ident);

// Inserts the entry, or replaces all three fields of the entry with the same key.
void set_port_map_entry(const std::string& device_ident, const PortMapEntry& entry);

// A copy of every entry, in key order, for diagnostic listings (kav ports). The library itself
// never walks the map. The caller serialises it against updates (scan_lock()).
std::vector<std::pair<std::string, PortMapEntry>> port_map_entries();

// Text forms for messages: "PT_AT" .. "PT_RNDIS", "ModemHardware" .. "None"; "?????" for a
// value outside the enum.
const char* port_type_name(int32_t port_type);
const char* reset_method_name(int32_t reset_method);

// Back to a fresh process: map empty and not initialised (tests).
void reset_port_map();

}  // namespace kav
