// The device view of the platform: device interfaces of five classes read from sysfs under
// <root>/sys, their interface paths in the text form the device set-up service gives them, and
// the COM port numbers of serial members.
//
// Serial members are the ttys of USB interfaces and the DM ports of PCIe modems: wwan ports of
// type QCDM (<root>/sys/class/wwan/wwan<n>qcdm<m>, a character device that is not a tty). Such
// a port's interface path names the PCI function it sits on, in the form of a USB one:
// "\\?\pci#ven_17cb&dev_0306&rev_00&mi_04#0000:01:00.0#{86e0d1e0-...}" (vendor, device and
// revision ids of the function; "mi_04" the MHI channel of DIAG; the function's PCI address).
//
// A member is found through its `device` link, resolved inside the root (links may be relative
// or absolute; absolute ones are taken below the root), then the parents are walked up to the
// first directory holding bInterfaceNumber (the USB interface); its parent is the USB device.
// A member whose attributes are missing, empty or malformed (or whose link dangles or leaves
// the root) is skipped silently: it is not a member. Members come sorted by their node name
// (tty, hidraw, block or USB device name), digit runs compared by value.
//
// Paths are resolved by the kernel inside the root where it can (openat2 with RESOLVE_IN_ROOT),
// else component by component with the same rules.
//
// Threading: every function may be called from any thread; each call reads sysfs afresh,
// unless the calling thread holds a DeviceScan.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kav::platform {

enum class InterfaceClass { Modem, ComPort, UsbDevice, Hid, CdRom };

// The class GUID in lower case without braces, e.g. "86e0d1e0-8089-11d0-9ce4-08003e301f73".
const char* interface_class_guid(InterfaceClass cls);

// The class whose GUID is `guid` (letter case ignored, braces optional); none when unknown.
std::optional<InterfaceClass> interface_class_of_guid(const std::string& guid);

// While one lives, the calling thread's enumerations share one reading of the device view: the
// tty class is walked once for the COM port and modem classes, and each USB device's
// attributes are read once for all its interfaces. Nesting is allowed (the outermost one is
// used). Create and destroy on the same thread; changes made while it lives may go unseen.
class DeviceScan {
 public:
  DeviceScan();
  ~DeviceScan();
  DeviceScan(const DeviceScan&) = delete;
  DeviceScan& operator=(const DeviceScan&) = delete;

 private:
  bool outermost_ = false;
};

// One present member of a class.
struct DeviceInterface {
  // "\\?\usb#vid_05c6&pid_9008&rev_0000&mi_01#1-2:1.1#{86e0d1e0-...}" (lower case). The
  // "&mi_" part is there only for a composite device (bDeviceClass 00, or EF/02/01 with
  // interface associations; one configuration; more than one interface), as on Windows; the
  // instance is then the interface's sysfs name, else the device's.
  std::string path;
  // The sysfs name of the node: "ttyUSB0", "ttyACM1", "wwan0qcdm0", "hidraw0", "sr0" or "1-2"
  // (USB device).
  std::string node;
};

// The present members of `cls`, sorted by node name. Returns 0 (possibly with no members: a
// class directory that does not exist has none) or an error code: ENOENT when <root>/sys does
// not exist, or the error of a class directory that exists but cannot be read.
int enumerate_interfaces(InterfaceClass cls, std::vector<DeviceInterface>* members);
int enumerate_interfaces(InterfaceClass cls, std::vector<std::string>* paths);

// The device instance identifier as derived from an interface path: the path without its first
// four characters, cut at the first "#{", each '#' turned into '\'. Letter case is kept.
std::string device_instance_of_path(const std::string& interface_path);

// COM number of a tty: ttyUSB<k> is k+1 (k 0..199), ttyACM<k> is k+201 (k 0..255); 0 for any
// other name (including leading zeros, as in "ttyUSB01").
int com_number_of_tty(const std::string& tty_name);

// The tty name of COM `com` ("ttyUSB4" for 5, "ttyACM0" for 201); none outside 1..456.
std::optional<std::string> tty_of_com_number(int com);

// COM number of any serial member's node: a tty's as above, and wwan<n>qcdm<m> (n 0..49,
// m 0..9) is 501+10n+m; 0 for any other name.
int com_number_of_node(const std::string& node_name);

// The node name of COM `com` ("wwan1qcdm0" for 511); none outside 1..456 and 501..1000.
std::optional<std::string> node_of_com_number(int com);

// The device node of COM `com`: <root>/dev/<node_of_com_number(com)>.
std::optional<std::string> com_device_node(int com);

// The device node to open for a device path given as "\\.\COM<n>" (letter case of "COM"
// ignored) or as the interface path of a present COM port, modem, HID or CD-ROM member
// (compared without letter case): <root>/dev/<node>. None for anything else.
std::optional<std::string> device_node_of_path(const std::string& device_path);

}  // namespace kav::platform
