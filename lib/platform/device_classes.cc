// What the device view shares on every system: the interface classes by their GUIDs, as
// SetupAPI names them (the interface paths the scanner parses carry them), the interface paths
// of a class, and the device instance of a path.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "lib/platform/devices.h"
#include "lib/platform/text.h"

namespace kav::platform {

const char* interface_class_guid(InterfaceClass cls) {
  switch (cls) {
    case InterfaceClass::Modem:
      return "2c7089aa-2e0e-11d1-b114-00c04fc2aae4";
    case InterfaceClass::ComPort:
      return "86e0d1e0-8089-11d0-9ce4-08003e301f73";
    case InterfaceClass::UsbDevice:
      return "a5dcbf10-6530-11d2-901f-00c04fb951ed";
    case InterfaceClass::Hid:
      return "4d1e55b2-f16f-11cf-88cb-001111000030";
    case InterfaceClass::CdRom:
      break;
  }
  return "53f56308-b6bf-11d0-94f2-00a0c91efb8b";
}

std::optional<InterfaceClass> interface_class_of_guid(const std::string& guid) {
  std::string text = ascii_lower(guid);
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, text.size() - 2);
  }
  for (InterfaceClass cls :
       {InterfaceClass::Modem, InterfaceClass::ComPort, InterfaceClass::UsbDevice,
        InterfaceClass::Hid, InterfaceClass::CdRom}) {
    if (text == interface_class_guid(cls)) return cls;
  }
  return std::nullopt;
}

int enumerate_interfaces(InterfaceClass cls, std::vector<std::string>* paths) {
  std::vector<DeviceInterface> members;
  const int error = enumerate_interfaces(cls, &members);
  paths->clear();
  for (const DeviceInterface& member : members) paths->push_back(member.path);
  return error;
}

std::string device_instance_of_path(const std::string& interface_path) {
  std::string instance = interface_path.size() > 4 ? interface_path.substr(4) : std::string();
  const size_t cut = instance.find("#{");
  if (cut != std::string::npos) instance.resize(cut);
  std::replace(instance.begin(), instance.end(), '#', '\\');
  return instance;
}

}  // namespace kav::platform
