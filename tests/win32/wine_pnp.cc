// kav-wine-pnp: registers a simulated modem's DM port in a Wine prefix as Windows'
// plug-and-play manager would for a USB serial port, and removes it again, so that the
// library's SetupAPI walk, its registry look-ups and its change monitors meet the modem the
// way they meet a real one. The COM port itself (dosdevices/comN -> the simulator's
// pseudo-terminal) is linked by the script that runs this.
//
//   kav-wine-pnp plug INSTANCE COMn     e.g. USB\VID_5C8E&PID_A7E2&MI_01\6&1a2b3c4d&0&0001 COM7
//   kav-wine-pnp unplug INSTANCE COMn
//
// Exit status 0 on success; 1 with the failed call and its error on standard error.
#include <windows.h>

#include <setupapi.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The device setup class of ports, and the COM port device interface class.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr const char* kComPortInterfaceText = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

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
std::string device_classes_key(const std::string& instance) {
  std::string reference = "##?#" + lower(instance) + "#" + kComPortInterfaceText;
  for (char& c : reference) {
    if (c == '\\') c = '#';
  }
  return std::string("System\\CurrentControlSet\\Control\\DeviceClasses\\") +
         kComPortInterfaceText + "\\" + reference;
}

// The value a serial driver keeps under HARDWARE\DEVICEMAP\SERIALCOMM for its port.
std::string serialcomm_name(const std::string& port) {
  return "\\Device\\KavSim" + port;
}

int plug(const std::string& instance, const std::string& port) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList", GetLastError());
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  int status = 0;
  if (!SetupDiCreateDeviceInfoA(set, instance.c_str(), &kPortsClass, nullptr, nullptr, 0,
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
  if (status == 0 && !SetupDiCreateDeviceInterfaceA(set, &device, &kComPortInterface, nullptr, 0,
                                                    &interface_data)) {
    status = fail("SetupDiCreateDeviceInterfaceA", GetLastError());
  }
  if (status == 0) {
    HKEY key =
        SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
      status = fail("SetupDiCreateDevRegKeyA", GetLastError());
    } else {
      const LONG result =
          RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                         static_cast<DWORD>(port.size() + 1));
      RegCloseKey(key);
      if (result != ERROR_SUCCESS) status = fail("RegSetValueExA PortName", result);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  if (status != 0) return status;

  HKEY control = nullptr;
  const std::string control_path = device_classes_key(instance) + "\\#\\Control";
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

int unplug(const std::string& instance, const std::string& port) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
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
  const std::string classes = device_classes_key(instance);
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
  if (argc != 4 || (std::strcmp(argv[1], "plug") != 0 && std::strcmp(argv[1], "unplug") != 0)) {
    std::fprintf(stderr, "Usage: kav-wine-pnp plug|unplug INSTANCE COMn\n");
    return 2;
  }
  return std::strcmp(argv[1], "plug") == 0 ? plug(argv[2], argv[3]) : unplug(argv[2], argv[3]);
}
