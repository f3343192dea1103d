// kav-wine-pnp: registers a simulated modem's DM port in a Wine prefix as Windows'
// plug-and-play manager would, and removes it again, so that the library's SetupAPI walk, its
// registry look-ups and its change monitors meet the modem the way they meet a real one. The
// COM port itself (dosdevices/comN -> the simulator's pseudo-terminal) is linked by the script
// that runs this.
//
//   kav-wine-pnp plug INSTANCE COMn [modem]
//   kav-wine-pnp unplug INSTANCE COMn [modem]
//
// e.g. INSTANCE USB\VID_5C8E&PID_A7E2&MI_01\6&1a2b3c4d&0&0001. By default the port is a USB
// serial port: a member of the Ports class with a COM port interface and "PortName" in its
// device key. With "modem" it is a modem: a member of the Modem class with a modem interface,
// whose COM name is "AttachedTo" in its driver key (found through the device's "Driver").
//
// Exit status 0 on success; 1 with the failed call and its error on standard error.
#include <windows.h>

#include <setupapi.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A kind of device: its setup class, its interface class, and where its COM name is kept.
struct Kind {
  GUID setup_class;
  GUID interface_class;
  const char* interface_text;
  DWORD key;               // DIREG_DEV or DIREG_DRV
  const char* value_name;  // "PortName" or "AttachedTo"
};

constexpr Kind kSerialPort = {
    {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}},
    "{86e0d1e0-8089-11d0-9ce4-08003e301f73}",
    DIREG_DEV,
    "PortName"};

constexpr Kind kModem = {
    {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}},
    "{2c7089aa-2e0e-11d1-b114-00c04fc2aae4}",
    DIREG_DRV,
    "AttachedTo"};

int fail(const char* call, DWORD error) {
  std::fprintf(stderr, "kav-wine-pnp: %s failed (error %lu)\n", call,
               static_cast<unsigned long>(error));
  return 1;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The key under DeviceClasses whose "#\Control" subkey holds "Linked": Wine lists an interface
// as present only when it is there and 1.
std::string device_classes_key(const Kind& kind, const std::string& instance) {
  std::string reference = "##?#" + lower(instance) + "#" + kind.interface_text;
  for (char& c : reference) {
    if (c == '\\') c = '#';
  }
  return std::string("System\\CurrentControlSet\\Control\\DeviceClasses\\") + kind.interface_text +
         "\\" + reference;
}

// The value a serial driver keeps under HARDWARE\DEVICEMAP\SERIALCOMM for its port.
std::string serialcomm_name(const std::string& port) {
  return "\\Device\\KavSim" + port;
}

int plug(const Kind& kind, const std::string& instance, const std::string& port) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kind.setup_class, nullptr);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList", GetLastError());
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  int status = 0;
  if (!SetupDiCreateDeviceInfoA(set, instance.c_str(), &kind.setup_class, nullptr, nullptr, 0,
                                &device)) {
    // A device left registered by an earlier run is taken as it is.
    if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS ||
        !SetupDiOpenDeviceInfoA(set, instance.c_str(), nullptr, 0, &device)) {
      status = fail("SetupDiCreateDeviceInfoA", GetLastError());
    }
  } else if (!SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr)) {
    status = fail("SetupDiRegisterDeviceInfo", GetLastError());
  }
  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof interface_data;
  if (status == 0 && !SetupDiCreateDeviceInterfaceA(set, &device, &kind.interface_class, nullptr, 0,
                                                    &interface_data)) {
    status = fail("SetupDiCreateDeviceInterfaceA", GetLastError());
  }
  if (status == 0) {
    HKEY key =
        SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, kind.key, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
      status = fail("SetupDiCreateDevRegKeyA", GetLastError());
    } else {
      const LONG result = RegSetValueExA(key, kind.value_name, 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(port.c_str()),
                                         static_cast<DWORD>(port.size() + 1));
      RegCloseKey(key);
      if (result != ERROR_SUCCESS) status = fail("RegSetValueExA of the COM name", result);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  if (status != 0) return status;

  HKEY control = nullptr;
  const std::string control_path = device_classes_key(kind, instance) + "\\#\\Control";
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, control_path.c_str(), 0, nullptr, 0, KEY_WRITE,
                                nullptr, &control, nullptr);
  if (result != ERROR_SUCCESS) return fail("RegCreateKeyExA DeviceClasses Control", result);
  const DWORD linked = 1;
  result = RegSetValueExA(control, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                          sizeof linked);
  RegCloseKey(control);
  if (result != ERROR_SUCCESS) return fail("RegSetValueExA Linked", result);

  HKEY serialcomm = nullptr;
  result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                           REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &serialcomm, nullptr);
  if (result != ERROR_SUCCESS) return fail("RegCreateKeyExA SERIALCOMM", result);
  result = RegSetValueExA(serialcomm, serialcomm_name(port).c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(port.c_str()),
                          static_cast<DWORD>(port.size() + 1));
  RegCloseKey(serialcomm);
  if (result != ERROR_SUCCESS) return fail("RegSetValueExA SERIALCOMM", result);
  return 0;
}

int unplug(const Kind& kind, const std::string& instance, const std::string& port) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kind.setup_class, nullptr);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList", GetLastError());
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  int status = 0;
  if (!SetupDiOpenDeviceInfoA(set, instance.c_str(), nullptr, 0, &device)) {
    status = fail("SetupDiOpenDeviceInfoA", GetLastError());
  } else if (!SetupDiRemoveDevice(set, &device)) {
    status = fail("SetupDiRemoveDevice", GetLastError());
  }
  SetupDiDestroyDeviceInfoList(set);
  // The interface's DeviceClasses key goes with it, as Windows removes it with the device.
  const std::string classes = device_classes_key(kind, instance);
  const LONG deleted = RegDeleteTreeA(HKEY_LOCAL_MACHINE, classes.c_str());
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND && status == 0) {
    status = fail("RegDeleteTreeA DeviceClasses", deleted);
  }
  HKEY serialcomm = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_WRITE,
                    &serialcomm) == ERROR_SUCCESS) {
    RegDeleteValueA(serialcomm, serialcomm_name(port).c_str());
    RegCloseKey(serialcomm);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const bool usage_ok = (argc == 4 || (argc == 5 && std::strcmp(argv[4], "modem") == 0)) &&
                        (std::strcmp(argv[1], "plug") == 0 || std::strcmp(argv[1], "unplug") == 0);
  if (!usage_ok) {
    std::fprintf(stderr, "Usage: kav-wine-pnp plug|unplug INSTANCE COMn [modem]\n");
    return 2;
  }
  const Kind& kind = argc == 5 ? kModem : kSerialPort;
  return std::strcmp(argv[1], "plug") == 0 ? plug(kind, argv[2], argv[3])
                                           : unplug(kind, argv[2], argv[3]);
}
