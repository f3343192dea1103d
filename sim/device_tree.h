// Builds, below a root directory, the sysfs and /dev shape of USB devices and PCIe modems as
// the kernel shows them, so that the platform layer's device view (UMTS_KAV_ROOT pointed at the
// root) finds them exactly as it finds real devices:
//
//   sys/devices/pci0000:00/0000:00:14.0/usb<bus>/                      the root hub (1d6b:0002)
//   .../usb<bus>/<bus>-<p>[/<bus>-<p>.<q>...]/<busport>/               hubs, then the device:
//                                                      idVendor, idProduct, bDeviceClass, ...
//   sys/devices/.../<busport>/<busport>:1.<n>/                         bInterfaceNumber, ...
//   .../<busport>:1.<n>/ttyUSB<k>/tty/ttyUSB<k>  (device -> ../../../ttyUSB<k>, the port dir)
//   .../<busport>:1.<n>/tty/ttyACM<k>            (device -> ../../../<busport>:1.<n>)
//   .../<busport>:1.<n>/0003:VVVV:PPPP.<id>/hidraw/hidraw<k>
//   .../<busport>:1.<n>/host<h>/target<h>:0:0/<h>:0:0:0/block/sr<k>   (vendor, model, rev)
//   sys/class/{tty,hidraw,block}/<node> -> ../../devices/...   (relative links)
//   sys/bus/usb/devices/<busport>[:1.<n>] -> ../../../devices/...
//   sys/devices/pci0000:00/0000:00:1c.0/<pci address>/mhi0/wwan<n>/wwan<n>qcdm<m>   (PCIe)
//   sys/class/wwan/{wwan<n>,wwan<n>qcdm<m>} -> ../../devices/...
//   dev/<node>: a symbolic link to the interface's target (a pseudo-terminal slave) or, without
//   one, an empty plain file.
//
// Attributes are written as the kernel formats them (drivers/usb/core/sysfs.c: idVendor
// "%04x", bDeviceClass "%02x", bNumInterfaces "%2d"; PCI ids "0x%04x"), with `subsystem`,
// `driver` and `uevent` entries; HID device names are upper case ("0003:5C8E:A7E2.0001").
// Hubs on the way to a device, and the root hub, come with the first device below them and go
// with the last, whichever tree of the process made them (modems of one root share hubs).
//
// Creation writes directories and attributes first, then the bus links, the class links and
// the /dev nodes last; removal takes the /dev nodes away first. So a watcher that reacts to a
// /dev node finds the rest of the device in place.
//
// No link below the root is followed: files are written and removed through sim/root_files.h.
// Errors throw std::runtime_error. Threading: one thread uses a DeviceTree at a time; adding
// and removing devices is serialised across the trees of the process (they share hubs).
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
  uint16_t bcd = 0;  // bcdDevice
  // Sysfs name of the device: "<bus>-<port>[.<port>...]", e.g. "1-2" or "1-1.4.2" (below
  // the hubs 1-1 and 1-1.4).
  std::string busport = "1-2";
  int num_interfaces = 0;  // bNumInterfaces; 0: the number of `interfaces`
  std::vector<UsbInterfaceSpec> interfaces;
  // bDeviceClass, bDeviceSubClass, bDeviceProtocol (00: classes per interface; 02: a CDC
  // device; EF/02/01: interface associations) and bNumConfigurations.
  uint8_t device_class = 0x00;
  uint8_t device_subclass = 0x00;
  uint8_t device_protocol = 0x00;
  int num_configurations = 1;
};

// A PCIe modem whose DM port is the wwan QCDM port wwan<wwan>qcdm<qcdm>.
struct PciModemSpec {
  uint16_t vendor = 0x17cb;
  uint16_t device = 0x0306;
  uint16_t subsystem_vendor = 0x17cb;
  uint16_t subsystem_device = 0x010c;
  uint8_t revision = 0;
  std::string address = "0000:01:00.0";  // the PCI function's sysfs name
  int wwan = 0;
  int qcdm = 0;
  std::string node_target;  // where dev/wwan<n>qcdm<m> links to; empty: a plain file
};

// The sysfs directory, below the root, that holds every USB device a DeviceTree adds.
constexpr char kPciBase[] = "sys/devices/pci0000:00/0000:00:14.0";
// The PCIe root port below which PCIe modems sit.
constexpr char kPcieBase[] = "sys/devices/pci0000:00/0000:00:1c.0";

// Removes the empty directories below `dir` (bottom-up), and `dir` itself when it ends empty.
// Never follows a link, `dir` itself included.
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

  // Adds a PCIe modem; throws when its address or node is already in use.
  DeviceHandle add_pci_modem(const PciModemSpec& pci);

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
    std::string busport;  // or the PCI address
    // The hubs above (sysfs name and root-relative directory), the root hub first.
    std::vector<std::pair<std::string, std::string>> hubs;
    std::vector<std::pair<std::string, std::string>> new_hubs;  // those this device made
    std::string device_dir;                                     // root-relative
    std::map<int, std::string> interface_dirs;  // by interface number, root-relative
    std::map<int, std::string> scsi_dirs;       // CD-ROM SCSI devices by sr index
    std::vector<std::string> dev_nodes;         // root-relative
    std::vector<std::string> links;             // class and bus links, in creation order
  };

  void add_interface(const UsbDeviceSpec& usb, const UsbInterfaceSpec& itf, Created* created);
  void add_node(const std::string& name, const std::string& target, Created* created);
  void add_class_device(const std::string& dir, const char* class_dir, const std::string& node,
                        int major, int minor);
  void attach(const std::string& dir, const std::string& subsystem, const std::string& driver,
              const std::string& uevent);
  void check_free(const std::string& busport, const std::string& node) const;
  std::string hub_chain(const std::string& busport, Created* created);
  void add_hub(const std::string& name, const std::string& dir);
  void link_hub(const std::string& name, const std::string& dir);
  void release_hubs(const Created& created);
  void write_usb_device(const std::string& dir, const UsbDeviceSpec& usb, int interface_count);
  std::string abs(const std::string& relative) const { return root_ + "/" + relative; }
  void make_dirs(const std::string& path) const;
  void write_file(const std::string& path, const std::string& text) const;
  void make_link(const std::string& target, const std::string& link) const;
  void remove(const std::string& path) const;

  std::string root_;
  int next_id_ = 1;
  int next_host_ = 0;
  int next_devnum_ = 2;
  std::map<int, Created> devices_;
};

}  // namespace kav::sim
