// The device view on Windows: SetupAPI's present device interfaces of each class, with the
// interface paths Windows gives them, and COM ports by their PORTNAME.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "lib/platform/devices.h"
#include "lib/platform/error.h"
#include "lib/platform/text.h"
#include "lib/platform/win32.h"

#include <setupapi.h>

namespace kav::platform {

namespace {

thread_local bool t_scan = false;

// Windows numbers COM ports from 1; the COM database hands out at most 4096.
constexpr int kMaxComNumber = 4096;

// "COM<n>" (letter case ignored, no leading zeros) -> n; 0 for anything else.
int com_number_of_name(const std::string& name) {
  if (name.size() < 4 || ascii_upper(name.substr(0, 3)) != "COM") return 0;
  const std::string digits = name.substr(3);
  if (digits.size() > 4 || digits[0] == '0') return 0;
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
  }
  const int n = std::atoi(digits.c_str());
  return n <= kMaxComNumber ? n : 0;
}

bool guid_of_text(const char* text, GUID* guid) {
  unsigned long data1 = 0;
  unsigned int d2 = 0, d3 = 0, b[8] = {};
  if (std::sscanf(text, "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &data1, &d2, &d3, &b[0], &b[1],
                  &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11) {
    return false;
  }
  guid->Data1 = data1;
  guid->Data2 = static_cast<unsigned short>(d2);
  guid->Data3 = static_cast<unsigned short>(d3);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<unsigned char>(b[i]);
  return true;
}

// The device's "PortName" under its device key, as the ports class installer writes it.
std::string port_name(HDEVINFO set, SP_DEVINFO_DATA* device) {
  HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  char name[64] = {};
  DWORD size = sizeof name - 1;
  DWORD type = 0;
  const LONG status =
      RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  return std::string(name, strnlen(name, size));
}

std::string instance_id(HDEVINFO set, SP_DEVINFO_DATA* device) {
  char id[201] = {};  // MAX_DEVICE_ID_LEN (200) and the terminating zero
  if (!SetupDiGetDeviceInstanceIdA(set, device, id, sizeof id, nullptr)) return {};
  return id;
}

void digit_run(const std::string& text, size_t* i, size_t* value) {
  *value = 0;
  while (*i < text.size() && std::isdigit(static_cast<unsigned char>(text[*i]))) {
    *value = *value * 10 + static_cast<size_t>(text[*i] - '0');
    ++*i;
  }
}

// Names compared with digit runs by value: COM2 before COM10.
bool natural_less(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) &&
        std::isdigit(static_cast<unsigned char>(b[j]))) {
      size_t x = 0, y = 0;
      digit_run(a, &i, &x);
      digit_run(b, &j, &y);
      if (x != y) return x < y;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

DeviceScan::DeviceScan() {
  if (t_scan) return;
  t_scan = true;
  outermost_ = true;
}

DeviceScan::~DeviceScan() {
  if (outermost_) t_scan = false;
}

int enumerate_interfaces(InterfaceClass cls, std::vector<DeviceInterface>* members) {
  members->clear();
  GUID guid;
  guid_of_text(interface_class_guid(cls), &guid);
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return win32::capture_last_error();
  int error = 0;
  const bool serial = cls == InterfaceClass::ComPort || cls == InterfaceClass::Modem;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
      if (GetLastError() != ERROR_NO_MORE_ITEMS) error = win32::capture_last_error();
      break;
    }
    // The detail's size first, then the detail with the device it belongs to.
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::vector<char> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, &device)) continue;
    DeviceInterface member;
    member.path = ascii_lower(detail->DevicePath);
    // A serial member is known by its COM port name; any other by its device instance.
    member.node = serial ? port_name(set, &device) : std::string();
    if (member.node.empty()) member.node = instance_id(set, &device);
    members->push_back(std::move(member));
  }
  SetupDiDestroyDeviceInfoList(set);
  std::sort(members->begin(), members->end(),
            [](const DeviceInterface& a, const DeviceInterface& b) {
              return natural_less(a.node, b.node);
            });
  return error;
}

// Windows has no tty names; COM ports are named "COM<n>" themselves.
int com_number_of_tty(const std::string& tty_name) {
  return com_number_of_name(tty_name);
}

std::optional<std::string> tty_of_com_number(int com) {
  if (com < 1 || com > kMaxComNumber) return std::nullopt;
  return "COM" + std::to_string(com);
}

int com_number_of_node(const std::string& node_name) {
  return com_number_of_name(node_name);
}

std::optional<std::string> node_of_com_number(int com) {
  return tty_of_com_number(com);
}

std::optional<std::string> com_device_node(int com) {
  auto node = node_of_com_number(com);
  if (!node) return std::nullopt;
  return "\\\\.\\" + *node;
}

std::optional<std::string> device_node_of_path(const std::string& device_path) {
  const std::string lower = ascii_lower(device_path);
  if (lower.compare(0, 4, "\\\\.\\") == 0) {
    const int com = com_number_of_name(device_path.substr(4));
    if (com == 0) return std::nullopt;
    return com_device_node(com);
  }
  // A present member's interface path opens the device itself; a COM port member is opened
  // by its COM name, as the serial calls expect.
  const DeviceScan scan;
  for (InterfaceClass cls : {InterfaceClass::Modem, InterfaceClass::ComPort, InterfaceClass::Hid,
                             InterfaceClass::CdRom}) {
    std::vector<DeviceInterface> members;
    if (enumerate_interfaces(cls, &members) != 0) continue;
    for (const DeviceInterface& member : members) {
      if (member.path != lower) continue;
      if (const int com = com_number_of_name(member.node)) return com_device_node(com);
      return device_path;
    }
  }
  return std::nullopt;
}

}  // namespace kav::platform
