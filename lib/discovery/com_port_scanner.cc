// The scan of device interfaces for modem ports and the COM port number look-up in the machine
// hive. The mask and the waits built on the scan are in com_port_mask.cc.
#include "lib/discovery/com_port_scanner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/core/messages.h"
#include "lib/discovery/modem_family.h"
#include "lib/discovery/port_map.h"
#include "lib/platform/machine_hive.h"
#include "lib/platform/registry.h"
#include "lib/platform/text.h"

namespace kav {
namespace {

using platform::ascii_upper;

// The device instance is derived in a work buffer of this many bytes (with its terminator);
// a longer path is cut to fit before the instance is taken from it.
constexpr size_t kWorkBufferSize = 260;
// Registry string values are read into buffers of this many bytes; longer values are unread.
constexpr size_t kValueBufferSize = 100;
// Longest key path built for the PORTNAME and Driver keys, and for the Class key.
constexpr size_t kEnumKeyPathMax = 511;
constexpr size_t kClassKeyPathMax = 255;
// COM numbers above this are rejected as junk: a number from a spoilt registry value must not
// grow the mask without bound (Windows itself numbers COM ports up to 256).
constexpr long kMaxComPortNumber = 65535;

const platform::InterfaceClass kScanClasses[] = {
    platform::InterfaceClass::Modem,
    platform::InterfaceClass::ComPort,
    platform::InterfaceClass::UsbDevice,
    platform::InterfaceClass::Hid,
};

// Copies `text` into a fixed field, cutting it to the field's size less the terminator.
template <size_t N>
void copy_field(char (&field)[N], const std::string& text) {
  const size_t n = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, N - n);
}

// Reads a string value into a zero-filled 100-byte buffer, as the registry would: none when the
// key or value is missing or the value does not fit. The result always ends at a zero.
std::optional<std::string> read_string_value(const std::string& key, const char* name) {
  // The query opens the key itself (a missing key fails it); a separate open would read the
  // device view once more for nothing.
  platform::RegistryHive& hive = platform::machine_hive();
  platform::RegValue value;
  if (hive.query_value(key, name, &value) != 0) return std::nullopt;
  if (value.data.size() > kValueBufferSize) return std::nullopt;  // ERROR_MORE_DATA
  char buffer[kValueBufferSize + 1] = {};
  std::memcpy(buffer, value.data.data(), value.data.size());
  return std::string(buffer);
}

// The COM number a value names: "COM" in upper case, more than three characters, and a leading
// decimal number above 0 (digits as atoi takes them). 0 when the value names none.
int com_number_of_value(const std::optional<std::string>& value) {
  if (!value || value->size() <= 3 || value->compare(0, 3, "COM") != 0) return 0;
  const char* p = value->c_str() + 3;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;  // atoi skips leading blanks
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long number = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    number = number * 10 + (*p - '0');
    if (number > kMaxComPortNumber) return 0;
  }
  if (negative || number <= 0) return 0;
  return static_cast<int>(number);
}

}  // namespace

InterfaceTexts derive_interface_texts(const std::string& interface_path) {
  // The work buffer holds the path with its first four characters (the "\\?\" prefix); what
  // does not fit is cut off before the instance is taken.
  const std::string work =
      interface_path.substr(0, std::min(interface_path.size(), kWorkBufferSize - 1 + 4));
  InterfaceTexts texts;
  texts.device_instance = platform::device_instance_of_path(work);
  std::string ident = texts.device_instance;
  const size_t first = ident.find('\\');
  if (first != std::string::npos) {
    const size_t second = ident.find('\\', first + 1);
    if (second != std::string::npos) ident.resize(second);
  }
  texts.device_ident = ascii_upper(std::move(ident));
  return texts;
}

int com_port_of_instance(const std::string& device_instance) {
  char path[kEnumKeyPathMax + 2];
  int n = std::snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Enum\\%s\\Device Parameters",
                        device_instance.c_str());
  if (n >= 0 && static_cast<size_t>(n) <= kEnumKeyPathMax) {
    if (int com = com_number_of_value(read_string_value(path, "PORTNAME"))) return com;
  }
  n = std::snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Enum\\%s",
                    device_instance.c_str());
  if (n < 0 || static_cast<size_t>(n) > kEnumKeyPathMax) return 0;
  const std::optional<std::string> driver = read_string_value(path, "Driver");
  if (!driver) return 0;
  char class_path[kClassKeyPathMax + 2];
  n = std::snprintf(class_path, sizeof class_path, "SYSTEM\\CurrentControlSet\\Control\\Class\\%s",
                    driver->c_str());
  if (n < 0 || static_cast<size_t>(n) > kClassKeyPathMax) return 0;
  return com_number_of_value(read_string_value(class_path, "AttachedTo"));
}

namespace {

void append_entry(PortScanListPtr* list, const std::optional<PortMapEntry>& entry,
                  const std::string& ident, const std::string& instance, int com_port) {
  if (!*list) *list = std::make_unique<PortScanList>();
  PortScanEntry e{};
  copy_field(e.name, entry ? entry->name : std::string("Unrecognized Port"));
  copy_field(e.device_ident, ident);
  copy_field(e.device_instance, instance);
  e.port_type = entry ? entry->port_type : PT_OCP;
  e.modem_family = entry ? modem_family_of_name(e.name) : 0;
  e.reset_method = entry ? entry->default_reset_method : 4;
  e.com_port = com_port;
  e.present = true;
  (*list)->entries.push_back(e);
  (*list)->count = static_cast<int32_t>((*list)->entries.size());
}

// One interface of class `cls`: filter it and append it when it is kept and has a port.
void scan_interface(const std::string& path, platform::InterfaceClass cls, int32_t requested_type,
                    PortScanListPtr* list) {
  const InterfaceTexts texts = derive_interface_texts(path);
  std::string recorded;
  const std::optional<PortMapEntry> entry =
      lookup_port_map_with_fallback(texts.device_ident, &recorded);
  if (entry) {
    if (entry->port_type != requested_type) return;
  } else if (requested_type != PT_OCP || cls != platform::InterfaceClass::ComPort) {
    return;
  }
  if (const int com = com_port_of_instance(texts.device_instance)) {
    append_entry(list, entry, recorded, texts.device_instance, com);
  } else if (requested_type == PT_HID || requested_type == PT_RNDIS) {
    append_entry(list, entry, recorded, texts.device_instance, 0);
  } else {
    show_msg("ERROR: Failed to determine com port number for device enum %s\n",
             texts.device_instance.c_str());
  }
}

}  // namespace

PortScanListPtr scan_for_comports(int32_t requested_type) {
  init_valid_ports_map();
  // One reading of the device view answers every COM number look-up of this scan.
  platform::MachineHiveSnapshot snapshot;
  PortScanListPtr list;
  for (const platform::InterfaceClass cls : kScanClasses) {
    std::vector<std::string> paths;
    if (platform::enumerate_interfaces(cls, &paths) != 0) {
      show_msg("ERROR: scan_for_comports failed to SetupDiGetClassDevs\n");
      return list;
    }
    for (const std::string& path : paths) scan_interface(path, cls, requested_type, &list);
  }
  return list;
}

PortScanListPtr get_com_port_list(int32_t requested_type) {
  std::lock_guard lock(scan_lock());
  PortScanListPtr list = scan_for_comports(requested_type);
  if (list) {
    std::stable_sort(
        list->entries.begin(), list->entries.end(),
        [](const PortScanEntry& a, const PortScanEntry& b) { return a.com_port < b.com_port; });
    list->present_count =
        static_cast<int32_t>(std::count_if(list->entries.begin(), list->entries.end(),
                                           [](const PortScanEntry& e) { return e.present; }));
  }
  return list;
}

std::recursive_mutex& scan_lock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;  // used by threads until exit
  return *lock;
}

void get_device_list_by_guid(platform::InterfaceClass interface_class) {
  std::vector<std::string> paths;
  if (platform::enumerate_interfaces(interface_class, &paths) != 0) {
    show_msg("ERROR: get_device_list_by_guid failed to SetupDiGetClassDevs\n");
    return;
  }
  for (const std::string& path : paths) {
    char line[2048 + 8];
    std::snprintf(line, sizeof line, "DBG: %.2047s\n", path.c_str());
    log_note_both(line);
  }
}

void log_all_current_devices(const char* context) {
  log_note_both("\nDBG: Entering log_all_current_devices()\n");
  std::string line = "DBG: ";
  line += context ? context : "";
  line += "\n";
  log_note_both(line.c_str());
  log_note_both("DBG: HID Devices\n");
  get_device_list_by_guid(platform::InterfaceClass::Hid);
  log_note_both("DBG: CD-ROM Devices\n");
  get_device_list_by_guid(platform::InterfaceClass::CdRom);
  log_note_both("DBG: USB Devices\n");
  get_device_list_by_guid(platform::InterfaceClass::UsbDevice);
  log_note_both("DBG: COMPORT Devices\n");
  get_device_list_by_guid(platform::InterfaceClass::ComPort);
  log_note_both("DBG: MODEM Devices\n");
  get_device_list_by_guid(platform::InterfaceClass::Modem);
  log_note_both("DBG: Leaving log_all_current_devices()\n\n");
}

}  // namespace kav
