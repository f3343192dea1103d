// kav ports: shows which serial ports the library's scanner sees and which of them is a DM port
// (the port kelnorset and kav use), and prints udev rules that keep ModemManager off the DM
// interfaces of the modems the library knows.
//
// It runs the scanner directly, without attaching the library: no monitor threads, no logs.
// The device view follows UMTS_KAV_ROOT as the library does.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lib/core/messages.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/port_map.h"
#include "lib/platform/console.h"
#include "lib/platform/devices.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "tool/kav/commands.h"
#include "tool/port_map_document.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::tool {

namespace {

// Scan messages (ports without a COM number and the like) go to the error stream.
void print_message(const char* text) {
  std::fputs(text, stderr);
}

// Every serial port of the scan, one entry per port: the same interface found under two
// classes is listed once.
std::vector<PortScanEntry> serial_ports(bool dm_only) {
  std::vector<PortScanEntry> ports;
  std::set<std::pair<int, std::string>> seen;
  const int32_t types[] = {PT_DM, PT_AT, PT_AP, PT_OCP};
  for (const int32_t type : types) {
    if (dm_only && type != PT_DM) continue;
    PortScanListPtr list = get_com_port_list(type);
    if (!list) continue;
    for (const PortScanEntry& e : list->entries) {
      if (e.com_port <= 0 || !seen.insert({e.com_port, e.device_instance}).second) continue;
      ports.push_back(e);
    }
  }
  std::stable_sort(ports.begin(), ports.end(),
                   [](const auto& a, const auto& b) { return a.com_port < b.com_port; });
  return ports;
}

// The node path of a port's COM number, or "-".
std::string node_text(const PortScanEntry& e) {
  return platform::com_device_node(e.com_port).value_or("-");
}

// One row of the listing: marker, COM number, node (in a column `node_width` wide), type,
// reset method, identifier, name.
std::string port_row(const PortScanEntry& e, int node_width) {
  char line[512];
  std::snprintf(line, sizeof line, " %-6d %-*s %-7s %-14s %-38s ", e.com_port, node_width,
                node_text(e).c_str(), port_type_name(e.port_type),
                reset_method_name(e.reset_method), e.device_ident);
  return std::string(e.port_type == PT_DM ? "DM>" : "   ") + line + e.name + "\n";
}

void add_port_json(const PortScanEntry& e, JsonWriter* json) {
  const std::optional<std::string> node = platform::com_device_node(e.com_port);
  json->begin_object().member("com_port", e.com_port).key("node");
  node ? json->value(*node) : json->null();
  json->member("dm", e.port_type == PT_DM)
      .member("type", port_type_name(e.port_type))
      .member("reset_method", reset_method_name(e.reset_method))
      .member("device_ident", e.device_ident)
      .member("name", e.name)
      .end_object();
}

int list_ports(Invocation& inv) {
  const std::vector<PortScanEntry> ports = serial_ports(inv.has("--dm-only"));
  const int dm_count = static_cast<int>(std::count_if(
      ports.begin(), ports.end(), [](const PortScanEntry& e) { return e.port_type == PT_DM; }));
  // The node column is as wide as the longest node path (a test root's are long).
  size_t node_width = 24;
  for (const PortScanEntry& e : ports) node_width = std::max(node_width, node_text(e).size());
  std::string rows;
  JsonWriter json = json_result(inv, dm_count > 0);
  json.member("dm_ports", dm_count).key("ports").begin_array();
  for (const PortScanEntry& e : ports) {
    rows += port_row(e, static_cast<int>(node_width));
    add_port_json(e, &json);
  }
  json.end_array().end_object();
  std::string text = rows;
  if (!ports.empty()) {
    char heading[256];
    std::snprintf(heading, sizeof heading, "    %-6s %-*s %-7s %-14s %-38s %s\n", "COM",
                  static_cast<int>(node_width), "NODE", "TYPE", "RESET", "IDENTIFIER", "NAME");
    text = heading + rows;
  }
  if (dm_count == 0) text += "No DM port present.\n";
  if (dm_count > 1)
    text += std::to_string(dm_count) + " DM ports present: kelnorset needs exactly one.\n";
  print_result(inv, text, rows, json);
  return dm_count > 0 ? kExitOk : kExitFailed;
}

// The four hexadecimal digits after `key` ("VID_", "PID_", "REV_") or the two after "MI_",
// lower-cased; empty when the identifier has no such part.
std::string ident_part(const std::string& ident, const char* key, size_t digits) {
  const size_t at = ident.find(key);
  if (at == std::string::npos || at + std::strlen(key) + digits > ident.size()) return {};
  std::string part = ident.substr(at + std::strlen(key), digits);
  for (char& c : part) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return part;
}

// The port map as kelnorset sees it: the built-in table plus the document kelnorset applies
// before it connects. Its reports are not shown.
void load_port_map() {
  init_valid_ports_map();
  ZqUmtsKavPortMapUpdate(kKelnorsetPortMapDocument);
}

// The rule of a USB modem's DM interface: the device's ids and, for a composite device, the
// interface number; empty for an identifier without vendor and product.
std::string usb_rule(const std::string& ident) {
  const std::string vid = ident_part(ident, "VID_", 4);
  const std::string pid = ident_part(ident, "PID_", 4);
  if (vid.empty() || pid.empty()) return {};
  std::string rule = "ATTRS{idVendor}==\"" + vid + "\", ATTRS{idProduct}==\"" + pid + "\"";
  const std::string rev = ident_part(ident, "REV_", 4);
  if (!rev.empty()) rule += ", ATTRS{bcdDevice}==\"" + rev + "\"";
  const std::string mi = ident_part(ident, "MI_", 2);
  if (!mi.empty()) rule += ", ENV{ID_USB_INTERFACE_NUM}==\"" + mi + "\"";
  return rule + ", ENV{ID_MM_PORT_IGNORE}=\"1\"\n";
}

// The rule of a PCIe modem's QCDM port. The kernel makes wwan nodes 0600 root; the rule gives
// the DM port the serial ports' group, as a USB modem's ttys have.
std::string pci_rule(const std::string& ident) {
  const std::string ven = ident_part(ident, "VEN_", 4);
  const std::string dev = ident_part(ident, "DEV_", 4);
  if (ven.empty() || dev.empty()) return {};
  return "SUBSYSTEM==\"wwan\", KERNEL==\"wwan*qcdm*\", ATTRS{vendor}==\"0x" + ven +
         "\", ATTRS{device}==\"0x" + dev +
         "\", GROUP=\"dialout\", MODE=\"0660\", ENV{ID_MM_PORT_IGNORE}=\"1\"\n";
}

int print_udev_rules(Invocation& inv) {
  std::printf(
      "# Generated by kav ports --udev-rules: keep ModemManager away from the diagnostic (DM)\n"
      "# ports of the modems the UMTS_KAV_LIB port map knows, so that kelnorset can open them.\n"
      "ACTION!=\"add|change|move|bind\", GOTO=\"kav_dm_ports_end\"\n"
      "SUBSYSTEM!=\"tty|wwan\", GOTO=\"kav_dm_ports_end\"\n"
      "# All ATTRS of one rule must match on one parent, so the interface number (an attribute\n"
      "# of the interface, not of the device) is taken from usb_id's ID_USB_INTERFACE_NUM,\n"
      "# imported for USB ttys only.\n"
      "SUBSYSTEMS==\"usb\", ENV{ID_USB_INTERFACE_NUM}!=\"?*\", IMPORT{builtin}=\"usb_id\"\n\n");
  for (const auto& [ident, entry] : port_map_entries()) {
    if (entry.port_type != PT_DM) continue;
    std::string rule;
    if (ident.rfind("USB\\", 0) == 0) rule = usb_rule(ident);
    if (ident.rfind("PCI\\", 0) == 0) rule = pci_rule(ident);
    if (rule.empty()) continue;
    std::fputs(("# " + entry.name + "\n" + rule).c_str(), stdout);
  }
  std::printf(
      "\nLABEL=\"kav_dm_ports_end\"\n\n"
      "# usb_wwan lets the USB device of an open port autosuspend, and a suspended modem drops\n"
      "# DM traffic: keep the USB devices of these modems awake.\n"
      "ACTION!=\"add|change\", GOTO=\"kav_dm_power_end\"\n"
      "SUBSYSTEM!=\"usb\", GOTO=\"kav_dm_power_end\"\n"
      "ENV{DEVTYPE}!=\"usb_device\", GOTO=\"kav_dm_power_end\"\n");
  std::set<std::string> devices;
  for (const auto& [ident, entry] : port_map_entries()) {
    if (entry.port_type != PT_DM || ident.rfind("USB\\", 0) != 0) continue;
    const std::string vid = ident_part(ident, "VID_", 4);
    const std::string pid = ident_part(ident, "PID_", 4);
    if (vid.empty() || pid.empty() || !devices.insert(vid + ":" + pid).second) continue;
    std::printf("ATTR{idVendor}==\"%s\", ATTR{idProduct}==\"%s\", ATTR{power/control}=\"on\"\n",
                vid.c_str(), pid.c_str());
  }
  std::printf("LABEL=\"kav_dm_power_end\"\n");
  inv.output_written = true;
  return kExitOk;
}

}  // namespace

int run_ports(Invocation& inv) {
  if (inv.has("--udev-rules") && (inv.json || inv.has("--dm-only"))) {
    return usage_error(inv, "--udev-rules prints rules only: no --json or --dm-only with it");
  }
  load_port_map();
  if (inv.has("--udev-rules")) return print_udev_rules(inv);
  if (const std::string problem = platform::device_view_problem(); !problem.empty()) {
    return failure(inv, "%s", problem.c_str());
  }
  set_message_sink(print_message);
  return list_ports(inv);
}

}  // namespace kav::tool
