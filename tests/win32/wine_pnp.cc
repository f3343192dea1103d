// kav-wine-pnp: registers a simulated modem's ports in a Wine prefix as Windows' plug-and-play
// manager would, and removes them again, so that the library's SetupAPI walk, its registry
// look-ups and its change monitors meet the modem the way they meet a real one. The COM port or
// drive itself (dosdevices/comN, or dosdevices/<interface name> -> the simulator's node) is
// linked by the script that runs this.
//
//   kav-wine-pnp plug|unplug INSTANCE COMn [modem]
//   kav-wine-pnp plug|unplug INSTANCE cdrom
//
// e.g. INSTANCE USB\VID_5C8E&PID_A7E2&MI_01\6&1a2b3c4d&0&0001. By default the port is a USB
// serial port: a member of the Ports class with a COM port interface and "PortName" in its
// device key. With "modem" it is a modem: a member of the Modem class with a modem interface,
// whose COM name is "AttachedTo" in its driver key (found through the device's "Driver"). With
// "cdrom" it is a CD-ROM drive (USBSTOR\CdRom&Ven_...) with a CD-ROM interface.
//
// Each plug and unplug ends with the device interface's arrival or removal broadcast
// (WM_DEVICECHANGE), sent the way Wine's own drivers send it: through the PlugPlay service,
// which hands it to every window registered with RegisterDeviceNotification for the class and
// broadcasts it to top-level windows.
//
// Exit status 0 on success; 1 with the failed call and its error on standard error.
#include <windows.h>

#include <dbt.h>
#include <rpc.h>
#include <setupapi.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A kind of device: its setup class, its interface class, and where its COM name is kept.
struct Kind {
  GUID setup_class;
  GUID interface_class;
  const char* interface_text;
  DWORD key;               // DIREG_DEV or DIREG_DRV
  const char* value_name;  // "PortName", "AttachedTo", or nullptr for a drive
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

constexpr Kind kCdrom = {
    {0x4d36e965, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}},
    "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}",
    DIREG_DEV,
    nullptr};

int fail(const char* call, DWORD error) {
  std::fprintf(stderr, "kav-wine-pnp: %s failed (error %lu)\n", call,
               static_cast<unsigned long>(error));
  return 1;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The interface's symbolic link, as SetupAPI gives it: \\?\<instance, '\' as '#'>#{class}.
std::string interface_path(const Kind& kind, const std::string& instance) {
  std::string path = "\\\\?\\" + lower(instance) + "#" + kind.interface_text;
  for (std::size_t i = 4; i < path.size(); ++i) {
    if (path[i] == '\\') path[i] = '#';
  }
  return path;
}

// The key under DeviceClasses whose "#\Control" subkey holds "Linked": Wine lists an interface
// as present only when it is there and 1. Its name is the symbolic link with "\\?\" as "##?#".
std::string device_classes_key(const Kind& kind, const std::string& instance) {
  return std::string("System\\CurrentControlSet\\Control\\DeviceClasses\\") + kind.interface_text +
         "\\##?#" + interface_path(kind, instance).substr(4);
}

// The value a serial driver keeps under HARDWARE\DEVICEMAP\SERIALCOMM for its port.
std::string serialcomm_name(const std::string& port) {
  return "\\Device\\KavSim" + port;
}

// --- The PlugPlay service's event call ------------------------------------------------------
//
// Wine's drivers report a device interface's arrival and removal to the PlugPlay service over
// RPC (pipe "wine_plugplay", interface 57c680ac-7bce-4f39-97fd-ffea566754d5 version 0.0,
// procedure 3: event code, a conformant byte array, its size). The call is marshalled here by
// hand in NDR, which saves an IDL compiler for one call of three arguments.

constexpr unsigned kSendEventProcedure = 3;

RPC_CLIENT_INTERFACE plugplay_interface() {
  RPC_CLIENT_INTERFACE info{};
  info.Length = sizeof info;
  info.InterfaceId.SyntaxGUID = {
      0x57c680ac, 0x7bce, 0x4f39, {0x97, 0xfd, 0xff, 0xea, 0x56, 0x67, 0x54, 0xd5}};
  // NDR transfer syntax 8a885d04-1ceb-11c9-9fe8-08002b104860, version 2.0.
  info.TransferSyntax.SyntaxGUID = {
      0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}};
  info.TransferSyntax.SyntaxVersion.MajorVersion = 2;
  return info;
}

void put_u32(std::vector<unsigned char>* out, DWORD value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back((value >> shift) & 0xFF);
}

// The request's NDR body: code; the array's conformance and bytes; padding to 4; the size.
std::vector<unsigned char> send_event_request(DWORD code, const std::vector<unsigned char>& data) {
  std::vector<unsigned char> out;
  put_u32(&out, code);
  put_u32(&out, static_cast<DWORD>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  while (out.size() % 4 != 0) out.push_back(0);
  put_u32(&out, static_cast<DWORD>(data.size()));
  return out;
}

// A device interface broadcast record (DEV_BROADCAST_DEVICEINTERFACE_W) for the interface.
std::vector<unsigned char> interface_broadcast(const Kind& kind, const std::string& path) {
  const std::size_t name_offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  std::vector<unsigned char> record(name_offset + (path.size() + 1) * sizeof(WCHAR), 0);
  auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record.data());
  broadcast->dbcc_size = static_cast<DWORD>(record.size());
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  broadcast->dbcc_classguid = kind.interface_class;
  auto* name = reinterpret_cast<WCHAR*>(record.data() + name_offset);
  for (std::size_t i = 0; i < path.size(); ++i) name[i] = static_cast<unsigned char>(path[i]);
  return record;
}

int send_plugplay_event(DWORD code, const std::vector<unsigned char>& record) {
  unsigned char* text = nullptr;
  RPC_STATUS status = RpcStringBindingComposeA(
      nullptr, reinterpret_cast<unsigned char*>(const_cast<char*>("ncacn_np")), nullptr,
      reinterpret_cast<unsigned char*>(const_cast<char*>("\\pipe\\wine_plugplay")), nullptr, &text);
  if (status != RPC_S_OK) return fail("RpcStringBindingComposeA", status);
  RPC_BINDING_HANDLE binding = nullptr;
  status = RpcBindingFromStringBindingA(text, &binding);
  RpcStringFreeA(&text);
  if (status != RPC_S_OK) return fail("RpcBindingFromStringBindingA", status);
  RPC_CLIENT_INTERFACE info = plugplay_interface();
  const std::vector<unsigned char> request = send_event_request(code, record);
  RPC_MESSAGE message{};
  message.Handle = binding;
  message.ProcNum = kSendEventProcedure;
  message.RpcInterfaceInformation = &info;
  message.BufferLength = static_cast<unsigned>(request.size());
  status = I_RpcGetBuffer(&message);
  if (status == RPC_S_OK) {
    std::memcpy(message.Buffer, request.data(), request.size());
    status = I_RpcSendReceive(&message);
    if (status == RPC_S_OK) I_RpcFreeBuffer(&message);
  }
  RpcBindingFree(&binding);
  return status == RPC_S_OK ? 0 : fail("the PlugPlay service's send_event", status);
}

// --- Plug and unplug ------------------------------------------------------------------------

// Creates (or opens, when left by an earlier run) the device with its interface, and keeps its
// COM name where the kind keeps it.
int register_device(const Kind& kind, const std::string& instance, const std::string& port) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kind.setup_class, nullptr);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList", GetLastError());
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  int status = 0;
  if (!SetupDiCreateDeviceInfoA(set, instance.c_str(), &kind.setup_class, nullptr, nullptr, 0,
                                &device)) {
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
  if (status == 0 && kind.value_name != nullptr) {
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
  return status;
}

int link_interface(const Kind& kind, const std::string& instance) {
  HKEY control = nullptr;
  const std::string control_path = device_classes_key(kind, instance) + "\\#\\Control";
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, control_path.c_str(), 0, nullptr, 0, KEY_WRITE,
                                nullptr, &control, nullptr);
  if (result != ERROR_SUCCESS) return fail("RegCreateKeyExA DeviceClasses Control", result);
  const DWORD linked = 1;
  result = RegSetValueExA(control, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                          sizeof linked);
  RegCloseKey(control);
  return result == ERROR_SUCCESS ? 0 : fail("RegSetValueExA Linked", result);
}

int add_serialcomm(const std::string& port) {
  HKEY serialcomm = nullptr;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                                REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &serialcomm, nullptr);
  if (result != ERROR_SUCCESS) return fail("RegCreateKeyExA SERIALCOMM", result);
  result = RegSetValueExA(serialcomm, serialcomm_name(port).c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(port.c_str()),
                          static_cast<DWORD>(port.size() + 1));
  RegCloseKey(serialcomm);
  return result == ERROR_SUCCESS ? 0 : fail("RegSetValueExA SERIALCOMM", result);
}

int plug(const Kind& kind, const std::string& instance, const std::string& port) {
  int status = register_device(kind, instance, port);
  if (status == 0) status = link_interface(kind, instance);
  if (status == 0 && kind.value_name != nullptr) status = add_serialcomm(port);
  if (status != 0) return status;
  return send_plugplay_event(DBT_DEVICEARRIVAL,
                             interface_broadcast(kind, interface_path(kind, instance)));
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
  if (kind.value_name != nullptr &&
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_WRITE,
                    &serialcomm) == ERROR_SUCCESS) {
    RegDeleteValueA(serialcomm, serialcomm_name(port).c_str());
    RegCloseKey(serialcomm);
  }
  if (status != 0) return status;
  return send_plugplay_event(DBT_DEVICEREMOVECOMPLETE,
                             interface_broadcast(kind, interface_path(kind, instance)));
}

}  // namespace

int main(int argc, char** argv) {
  const bool verb_ok =
      argc >= 4 && (std::strcmp(argv[1], "plug") == 0 || std::strcmp(argv[1], "unplug") == 0);
  const bool cdrom = argc == 4 && std::strcmp(argv[3], "cdrom") == 0;
  const bool modem = argc == 5 && std::strcmp(argv[4], "modem") == 0;
  if (!verb_ok || (argc != 4 && !modem)) {
    std::fprintf(stderr,
                 "Usage: kav-wine-pnp plug|unplug INSTANCE COMn [modem]\n"
                 "       kav-wine-pnp plug|unplug INSTANCE cdrom\n");
    return 2;
  }
  const Kind& kind = cdrom ? kCdrom : modem ? kModem : kSerialPort;
  const std::string port = cdrom ? "" : argv[3];
  return std::strcmp(argv[1], "plug") == 0 ? plug(kind, argv[2], port)
                                           : unplug(kind, argv[2], port);
}
