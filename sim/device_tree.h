// Builds, below a root directory, the sysfs and /dev shape of USB devices as the kernel shows
// them, so that the platform layer's device view (UMTS_KAV_ROOT pointed at the root) finds
// them exactly as it finds real devices:
//
//   sys/devices/pci0000:00/0000:00:14.0/usb<bus>/<busport>/            idVendor, idProduct, ...
//   sys/devices/.../<busport>/<busport>:1.<n>/                         bInterfaceNumber, ...
//   .../<busport>:1.<n>/ttyUSB<k>/tty/ttyUSB<k>  (device -> ../../../ttyUSB<k>, the port dir)
//   .../<busport>:1.<n>/tty/ttyACM<k>            (device -> ../../../<busport>:1.<n>)
//   .../<busport>:1.<n>/0003:VVVV:PPPP.<id>/hidraw/hidraw<k>
//   .../<busport>:1.<n>/host<h>/target<h>:0:0/<h>:0:0:0/block/sr<k>   (vendor, model, rev)
//   sys/class/{tty,hidraw,block}/<node> -> ../../devices/...   (relative links)
//   sys/bus/usb/devices/<busport>[:1.<n>] -> ../../../devices/...
//   dev/<node>: a symbolic link to the interface's target (a pseudo-terminal slave) or, without
//   one, an empty plain file.
//
// Creation writes directories and attributes first, then the bus links, the class links and
// the /dev nodes last; removal takes the /dev nodes away first. So a watcher that reacts to a
// /dev node finds the rest of the device in place.
//
// Errors throw std::runtime_error. Threading: one thread uses a DeviceTree at a time.
// Lifetime: the tree does not remove devices on destruction (call remove_device or clear()).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kav::sim {

enum class PortKind { None, Serial /* ttyUSB */, Acm /* ttyACM */, Hidraw, Cdrom /* sr */ };

struct UsbInterfaceSpec {
  int number = 0;                  // bInterfaceNumber
  uint8_t interface_class = 0xff;  // bInterfaceClass: ff vendor, 02 CDC, 03 HID, 08 storage
  PortKind kind = PortKind::None;
  int index = 0;            // k of ttyUSB<k>, ttyACM<k>, hidraw<k>, sr<k>
  std::string node_target;  // where dev/<node> links to; empty: a plain file
  // SCSI inquiry texts of a CD-ROM, written as given (the kernel pads them with blanks).
  std::string scsi_vendor = "ZQTL    ";
  std::string scsi_model = "Mass Storage    ";
  std::string scsi_rev = "2.31";
};

struct UsbDeviceSpec {
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint16_t bcd = 0;             // bcdDevice
  std::string busport = "1-2";  // sysfs name of the device; the bus is the part before '-'
  int num_interfaces = 0;       // bNumInterfaces; 0: the number of `interfaces`
  std::vector<UsbInterfaceSpec> interfaces;
};

// The sysfs directory, below the root, that holds every device a DeviceTree adds.
constexpr char kPciBase[] = "sys/devices/pci0000:00/0000:00:14.0";

// Removes the empty directories below `dir` (bottom-up), and `dir` itself when it ends empty.
// Never follows a link.
void prune_empty_directories(const std::string& dir);

struct DeviceHandle {
  int id = 0;
};

class DeviceTree {
 public:
  // Creates the skeleton below `root` (sys/devices, sys/class/{tty,hidraw,block},
  // sys/bus/usb/devices, dev), which may already exist.
  explicit DeviceTree(std::string root);

  const std::string& root() const { return root_; }

  // Adds a device; throws when its busport or one of its nodes is already in use.
  DeviceHandle add_device(const UsbDeviceSpec& usb);

  // Removes everything add_device created for the device. False for an unknown handle.
  bool remove_device(DeviceHandle handle);

  // Removes every device.
  void clear();

  // Absolute paths of a present device's sysfs directory and of one interface's directory
  // (for tests that spoil attributes). Empty for unknown handles or interface numbers.
  std::string device_dir(DeviceHandle handle) const;
  std::string interface_dir(DeviceHandle handle, int interface_number) const;

 private:
  struct Created {
    std::string busport;
    std::string device_dir;                     // root-relative
    std::map<int, std::string> interface_dirs;  // by interface number, root-relative
    std::map<int, std::string> scsi_dirs;       // CD-ROM SCSI devices by sr index
    std::vector<std::string> dev_nodes;         // root-relative
    std::vector<std::string> links;             // class and bus links, in creation order
  };

  void add_interface(const UsbDeviceSpec& usb, const UsbInterfaceSpec& itf, Created* created);
  std::string abs(const std::string& relative) const { return root_ + "/" + relative; }

  std::string root_;
  int next_id_ = 1;
  int next_host_ = 0;
  std::map<int, Created> devices_;
};

}  // namespace kav::sim
