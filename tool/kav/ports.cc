// kav-ports: shows which serial ports the library's scanner sees and which of them is a DM port
// (the port kelnorset would use), and prints udev rules that keep ModemManager off the DM
// interfaces of the modems the library knows.
//
// It runs the scanner directly, without attaching the library: no monitor threads, no logs.
// The device view follows UMTS_KAV_ROOT as the library does.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
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
#include "lib/modem/umts_kav_lib.h"
#include "lib/platform/devices.h"
#include "lib/platform/files.h"
#include "tool/port_map_document.h"
#include "tool/stdout_check.h"

namespace {

constexpr const char* kUsage =
    "Usage: kav-ports [--dm-only | --udev-rules | --help]\n"
    "\n"
    "Lists the serial ports the modem library sees: COM number, device node, modem name,\n"
    "device identifier, port type and reset method, with the port map as kelnorset has it\n"
    "(the built-in table and kelnorset's own entries). DM ports (marked \"DM>\") are the ports\n"
    "kelnorset talks to; it needs exactly one.\n"
    "\n"
    "  --dm-only     list DM ports only; exit status 0 when at least one is present, else 1\n"
    "  --udev-rules  print udev rules that tell ModemManager to leave the DM interfaces of\n"
    "                the known modems alone\n"
    "  --help        this text\n"
    "\n"
    "UMTS_KAV_ROOT, when set, names the directory holding the sys/ and dev/ trees to read.\n"
    "\n"
    "Exit status: 0 a DM port is present (or the rules were printed), 1 no DM port is\n"
    "present, 2 bad command line, 3 the device tree cannot be read, 4 the output cannot be\n"
    "written.\n";

enum ExitStatus {
  kDmPortPresent = 0,
  kNoDmPort = 1,
  kBadCommandLine = 2,
  kUnreadableDeviceTree = 3,
  kOutputFailed = 4,
};

// Scan messages (ports without a COM number and the like) go to the error stream.
void print_message(const char* text) {
  std::fputs(text, stderr);
}

// Every serial port of the scan, one entry per port: the same interface found under two
// classes is listed once.
std::vector<kav::PortScanEntry> serial_ports(bool dm_only) {
  std::vector<kav::PortScanEntry> ports;
  std::set<std::pair<int, std::string>> seen;
  const int32_t types[] = {PT_DM, PT_AT, PT_AP, PT_OCP};
  for (const int32_t type : types) {
    if (dm_only && type != PT_DM) continue;
    kav::PortScanListPtr list = kav::get_com_port_list(type);
    if (!list) continue;
    for (const kav::PortScanEntry& e : list->entries) {
      if (e.com_port <= 0 || !seen.insert({e.com_port, e.device_instance}).second) continue;
      ports.push_back(e);
    }
  }
  std::stable_sort(ports.begin(), ports.end(),
                   [](const auto& a, const auto& b) { return a.com_port < b.com_port; });
  return ports;
}

int list_ports(bool dm_only) {
  const std::vector<kav::PortScanEntry> ports = serial_ports(dm_only);
  int dm_count = 0;
  if (!ports.empty()) {
    std::printf("    %-6s %-24s %-7s %-14s %-38s %s\n", "COM", "NODE", "TYPE", "RESET",
                "IDENTIFIER", "NAME");
  }
  for (const kav::PortScanEntry& e : ports) {
    const bool dm = e.port_type == PT_DM;
    dm_count += dm;
    const std::optional<std::string> node = kav::platform::com_device_node(e.com_port);
    std::printf("%-3s %-6d %-24s %-7s %-14s %-38s %s\n", dm ? "DM>" : "", e.com_port,
                node ? node->c_str() : "-", kav::port_type_name(e.port_type),
                kav::reset_method_name(e.reset_method), e.device_ident, e.name);
  }
  if (dm_count == 0) {
    std::printf("No DM port present.\n");
  } else if (dm_count > 1) {
    std::printf("%d DM ports present: kelnorset needs exactly one.\n", dm_count);
  }
  return dm_count > 0 ? kDmPortPresent : kNoDmPort;
}

// The root of the device view (UMTS_KAV_ROOT, default /) and its sys/ must be directories this
// process can list; the scan cannot tell "nothing there" from "cannot look". Returns what
// keeps them from being read, naming the path, or an empty text.
std::string device_tree_problem() {
  std::string root = kav::platform::root_dir();
  if (root.size() > 1) root.pop_back();  // the trailing '/'
  const std::string root_name =
      "the device root " + root + (std::getenv("UMTS_KAV_ROOT") ? " (UMTS_KAV_ROOT)" : "");
  const std::pair<std::string, std::string> dirs[] = {{root, root_name},
                                                      {kav::platform::root_path("sys"), ""}};
  for (const auto& [dir, name] : dirs) {
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) {
      return "cannot read " + (name.empty() ? dir : name) + ": " + std::strerror(errno);
    }
    closedir(handle);
  }
  return {};
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
  kav::init_valid_ports_map();
  ZqUmtsKavPortMapUpdate(kav::tool::kKelnorsetPortMapDocument);
}

int print_udev_rules() {
  std::printf(
      "# Generated by kav-ports --udev-rules: keep ModemManager away from the diagnostic (DM)\n"
      "# ports of the modems the UMTS_KAV_LIB port map knows, so that kelnorset can open them.\n"
      "ACTION!=\"add|change|move|bind\", GOTO=\"kav_dm_ports_end\"\n"
      "SUBSYSTEM!=\"tty\", GOTO=\"kav_dm_ports_end\"\n"
      "# All ATTRS of one rule must match on one parent, so the interface number (an attribute\n"
      "# of the interface, not of the device) is taken from usb_id's ID_USB_INTERFACE_NUM,\n"
      "# imported for USB ttys only.\n"
      "SUBSYSTEMS==\"usb\", ENV{ID_USB_INTERFACE_NUM}!=\"?*\", IMPORT{builtin}=\"usb_id\"\n\n");
  for (const auto& [ident, entry] : kav::port_map_entries()) {
    if (entry.port_type != PT_DM || ident.rfind("USB\\", 0) != 0) continue;
    const std::string vid = ident_part(ident, "VID_", 4);
    const std::string pid = ident_part(ident, "PID_", 4);
    if (vid.empty() || pid.empty()) continue;
    std::string rule =
        "# " + entry.name + "\nATTRS{idVendor}==\"" + vid + "\", ATTRS{idProduct}==\"" + pid + "\"";
    const std::string rev = ident_part(ident, "REV_", 4);
    if (!rev.empty()) rule += ", ATTRS{bcdDevice}==\"" + rev + "\"";
    const std::string mi = ident_part(ident, "MI_", 2);
    if (!mi.empty()) rule += ", ENV{ID_USB_INTERFACE_NUM}==\"" + mi + "\"";
    rule += ", ENV{ID_MM_PORT_IGNORE}=\"1\"\n";
    std::fputs(rule.c_str(), stdout);
  }
  std::printf("\nLABEL=\"kav_dm_ports_end\"\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  kav::tool::check_stdout_at_exit("kav-ports", kOutputFailed);
  bool dm_only = false;
  bool udev_rules = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dm-only") {
      dm_only = true;
    } else if (arg == "--udev-rules") {
      udev_rules = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "kav-ports: unknown option \"%s\"\n\n%s", arg.c_str(), kUsage);
      return kBadCommandLine;
    }
  }
  load_port_map();
  if (udev_rules) return print_udev_rules();
  if (const std::string problem = device_tree_problem(); !problem.empty()) {
    std::fprintf(stderr, "kav-ports: %s\n", problem.c_str());
    return kUnreadableDeviceTree;
  }
  kav::set_message_sink(print_message);
  return list_ports(dm_only);
}
