#include "sim/device_tree.h"

#include "sim/root_files.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace kav::sim {

namespace fs = std::filesystem;

namespace {

std::string hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

// The path of sysfs entry `relative` (root-relative, below "sys/") as seen from a directory
// `depth` levels below "sys/": the kernel's own relative link form.
std::string from_sys(const std::string& relative, int depth) {
  std::string up;
  for (int i = 0; i < depth; ++i) up += "../";
  return up + relative.substr(4);
}

std::string node_name(const UsbInterfaceSpec& itf) {
  const std::string k = std::to_string(itf.index);
  switch (itf.kind) {
    case PortKind::Serial:
      return "ttyUSB" + k;
    case PortKind::Acm:
      return "ttyACM" + k;
    case PortKind::Hidraw:
      return "hidraw" + k;
    case PortKind::Cdrom:
      return "sr" + k;
    case PortKind::None:
      break;
  }
  return {};
}

const char* class_name(PortKind kind) {
  switch (kind) {
    case PortKind::Serial:
    case PortKind::Acm:
      return "tty";
    case PortKind::Hidraw:
      return "hidraw";
    case PortKind::Cdrom:
      return "block";
    case PortKind::None:
      break;
  }
  return "";
}

std::string bus_of(const std::string& busport) {
  const size_t dash = busport.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == busport.size()) {
    throw std::runtime_error("busport must look like 1-2: " + busport);
  }
  return busport.substr(0, dash);
}

std::string upper_hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

// The parent directory of a root-relative path.
std::string parent_of(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

// A link in directory `dir` (root-relative, below "sys/") to the sysfs entry `target`, in the
// kernel's relative form.
std::string link_from(const std::string& dir, const std::string& target) {
  const int depth = static_cast<int>(std::count(dir.begin(), dir.end(), '/'));
  return from_sys(target, depth);
}

// The drivers the tree binds, each with its directory below sys/bus/<bus>/drivers/.
constexpr const char* kUsbDrivers[] = {"usb", "hub", "option", "cdc_acm", "usbhid", "usb-storage"};
constexpr char kPciDriver[] = "mhi-pci-generic";

const char* interface_driver(PortKind kind, uint8_t interface_class) {
  switch (kind) {
    case PortKind::Serial:
      return "option";
    case PortKind::Acm:
      return "cdc_acm";
    case PortKind::Hidraw:
      return "usbhid";
    case PortKind::Cdrom:
      return "usb-storage";
    case PortKind::None:
      break;
  }
  return interface_class == 0x09 ? "hub" : "";
}

// The uevent text of a USB device or interface: what the kernel's usb_dev_uevent and
// usb_if_uevent add (hexadecimal ids without leading zeros in PRODUCT, upper case in
// MODALIAS).
std::string usb_product(const UsbDeviceSpec& usb) {
  char text[64];
  std::snprintf(text, sizeof text, "PRODUCT=%x/%x/%x\nTYPE=%d/%d/%d\n", usb.vid, usb.pid, usb.bcd,
                usb.device_class, usb.device_subclass, usb.device_protocol);
  return text;
}

std::string interface_uevent(const UsbDeviceSpec& usb, const UsbInterfaceSpec& itf) {
  const char* driver = interface_driver(itf.kind, itf.interface_class);
  std::string text = "DEVTYPE=usb_interface\n";
  if (*driver) text += std::string("DRIVER=") + driver + "\n";
  text += usb_product(usb) + "INTERFACE=" + std::to_string(itf.interface_class) + "/0/0\n";
  text += "MODALIAS=usb:v" + upper_hex(usb.vid, 4) + "p" + upper_hex(usb.pid, 4) + "d" +
          upper_hex(usb.bcd, 4) + "dc" + upper_hex(usb.device_class, 2) + "dsc" +
          upper_hex(usb.device_subclass, 2) + "dp" + upper_hex(usb.device_protocol, 2) + "ic" +
          upper_hex(itf.interface_class, 2) + "isc00ip00in" +
          upper_hex(static_cast<unsigned>(itf.number), 2) + "\n";
  return text;
}

// The sysfs name of a hub's interface: "1-0:1.0" for the root hub "usb1", "1-1:1.0" for 1-1.
std::string hub_interface_name(const std::string& hub) {
  const bool root_hub = hub.compare(0, 3, "usb") == 0;
  return (root_hub ? hub.substr(3) + "-0" : hub) + ":1.0";
}

// The HID device's sysfs name, "<bus>:<vendor>:<product>.<id>" in upper case as hid-core names
// it.
std::string hid_device_name(const UsbDeviceSpec& usb, const UsbInterfaceSpec& itf) {
  return "0003:" + upper_hex(usb.vid, 4) + ":" + upper_hex(usb.pid, 4) + "." +
         upper_hex(static_cast<unsigned>(itf.index + 1), 4);
}

// Links and nodes of an interface, made after every directory of the device exists.
struct PendingLink {
  std::string target;
  std::string link;  // root-relative
};

}  // namespace

void prune_empty_directories(const std::string& dir) {
  prune_empty_below(dir);
}

// Every file, directory and link of the tree is made and removed through these, which never
// follow a link below the root.
void DeviceTree::make_dirs(const std::string& path) const {
  make_dirs_below(root_, path);
}

void DeviceTree::write_file(const std::string& path, const std::string& text) const {
  write_file_below(root_, path, text);
}

void DeviceTree::make_link(const std::string& target, const std::string& link) const {
  make_link_below(root_, target, link);
}

void DeviceTree::remove(const std::string& path) const {
  remove_below(root_, path);
}

DeviceTree::DeviceTree(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  for (const char* dir : {"sys/devices", "sys/class/tty", "sys/class/hidraw", "sys/class/block",
                          "sys/class/wwan", "sys/bus/usb/devices", "dev"}) {
    make_dirs(abs(dir));
  }
  for (const char* driver : kUsbDrivers)
    make_dirs(abs(std::string("sys/bus/usb/drivers/") + driver));
  make_dirs(abs(std::string("sys/bus/pci/drivers/") + kPciDriver));
}

// Gives the sysfs directory `dir` its `subsystem` and `driver` links and its `uevent` file.
void DeviceTree::attach(const std::string& dir, const std::string& subsystem,
                        const std::string& driver, const std::string& uevent) {
  make_link(link_from(dir, subsystem), abs(dir + "/subsystem"));
  if (!driver.empty()) make_link(link_from(dir, driver), abs(dir + "/driver"));
  write_file(abs(dir + "/uevent"), uevent);
}

// The attributes of a USB device as drivers/usb/core/sysfs.c formats them.
void DeviceTree::write_usb_device(const std::string& dir, const UsbDeviceSpec& usb,
                                  int interface_count) {
  const std::string d = abs(dir);
  write_file(d + "/idVendor", hex(usb.vid, 4) + "\n");
  write_file(d + "/idProduct", hex(usb.pid, 4) + "\n");
  write_file(d + "/bcdDevice", hex(usb.bcd, 4) + "\n");
  char interfaces[16];
  std::snprintf(interfaces, sizeof interfaces, "%2d\n", interface_count);
  write_file(d + "/bNumInterfaces", interfaces);
  write_file(d + "/bDeviceClass", hex(usb.device_class, 2) + "\n");
  write_file(d + "/bDeviceSubClass", hex(usb.device_subclass, 2) + "\n");
  write_file(d + "/bDeviceProtocol", hex(usb.device_protocol, 2) + "\n");
  write_file(d + "/bNumConfigurations", std::to_string(usb.num_configurations) + "\n");
  write_file(d + "/bConfigurationValue", "1\n");
  const int bus = std::atoi(bus_of(usb.busport).c_str());
  const int devnum = next_devnum_++;
  write_file(d + "/busnum", std::to_string(bus) + "\n");
  write_file(d + "/devnum", std::to_string(devnum) + "\n");
  char numbers[96];
  std::snprintf(numbers, sizeof numbers,
                "MAJOR=189\nMINOR=%d\nDEVNAME=bus/usb/%03d/%03d\nDEVTYPE=usb_device\nDRIVER=usb\n",
                (bus - 1) * 128 + devnum - 1, bus, devnum);
  char tail[48];
  std::snprintf(tail, sizeof tail, "BUSNUM=%03d\nDEVNUM=%03d\n", bus, devnum);
  attach(dir, "sys/bus/usb", "sys/bus/usb/drivers/usb", numbers + usb_product(usb) + tail);
}

// Makes a hub (or, for "usb<bus>", the root hub) with its one hub interface and bus links.
void DeviceTree::add_hub(const std::string& name, const std::string& dir) {
  const bool root_hub = name.compare(0, 3, "usb") == 0;
  const std::string bus = root_hub ? name.substr(3) : bus_of(name);
  UsbDeviceSpec hub;
  hub.vid = root_hub ? 0x1d6b : 0x05e3;  // the Linux Foundation's root hub; a common hub
  hub.pid = root_hub ? 0x0002 : 0x0610;
  hub.bcd = root_hub ? 0x0601 : 0x9226;
  hub.busport = root_hub ? bus + "-0" : name;
  hub.device_class = 0x09;
  hub.device_protocol = root_hub ? 0x01 : 0x02;
  make_dirs(abs(dir));
  write_usb_device(dir, hub, 1);
  UsbInterfaceSpec itf;
  itf.interface_class = 0x09;
  const std::string itf_dir = dir + "/" + hub_interface_name(name);
  make_dirs(abs(itf_dir));
  write_file(abs(itf_dir + "/bInterfaceNumber"), "00\n");
  write_file(abs(itf_dir + "/bInterfaceClass"), "09\n");
  write_file(abs(itf_dir + "/bAlternateSetting"), " 0\n");
  attach(itf_dir, "sys/bus/usb", "sys/bus/usb/drivers/hub", interface_uevent(hub, itf));
}

// The bus links of a hub made by add_hub, made with the bus links of the device below it so
// that its /dev nodes still follow the first bus link closely.
void DeviceTree::link_hub(const std::string& name, const std::string& dir) {
  const std::string itf_name = hub_interface_name(name);
  make_link(from_sys(dir + "/" + itf_name, 3), abs("sys/bus/usb/devices/" + itf_name));
  make_link(from_sys(dir, 3), abs("sys/bus/usb/devices/" + name));
}

// The hubs above `busport` (the root hub first), made where missing; returns the directory
// the device goes in.
std::string DeviceTree::hub_chain(const std::string& busport, Created* created) {
  const std::string bus = bus_of(busport);
  std::string dir = std::string(kPciBase) + "/usb" + bus;
  created->hubs = {{"usb" + bus, dir}};
  for (size_t dot = busport.find('.'); dot != std::string::npos; dot = busport.find('.', dot + 1)) {
    const std::string hub = busport.substr(0, dot);
    dir += "/" + hub;
    created->hubs.emplace_back(hub, dir);
  }
  for (const auto& [name, hub_dir] : created->hubs) {
    if (fs::exists(abs(hub_dir + "/idVendor"))) continue;
    add_hub(name, hub_dir);
    created->new_hubs.emplace_back(name, hub_dir);
  }
  return dir;
}

// Removes the hubs above a removed device, nearest first, that no other device is below.
void DeviceTree::release_hubs(const Created& created) {
  std::error_code ec;
  for (auto hub = created.hubs.rbegin(); hub != created.hubs.rend(); ++hub) {
    const auto& [name, dir] = *hub;
    for (const auto& entry : fs::directory_iterator(abs(dir), ec)) {
      const std::string child = entry.path().filename().string();
      // A child device, not the hub's own interface ("<busport>:1.0").
      if (entry.is_directory(ec) && !entry.is_symlink(ec) && child.find(':') == std::string::npos &&
          child.find('-') != std::string::npos) {
        return;
      }
    }
    const std::string itf_name =
        (name.compare(0, 3, "usb") == 0 ? name.substr(3) + "-0" : name) + ":1.0";
    remove(abs("sys/bus/usb/devices/" + name));
    remove(abs("sys/bus/usb/devices/" + itf_name));
    remove(abs(dir));
  }
}

void DeviceTree::check_free(const std::string& busport, const std::string& node) const {
  for (const auto& [id, device] : devices_) {
    if (device.busport == busport) throw std::runtime_error("busport in use: " + busport);
  }
  if (!node.empty() && fs::symlink_status(abs("dev/" + node)).type() != fs::file_type::not_found) {
    throw std::runtime_error("node in use: " + node);
  }
}

namespace {

// Serialises device changes of every tree of the process: their hubs are shared.
std::mutex& tree_mutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

DeviceHandle DeviceTree::add_device(const UsbDeviceSpec& usb) {
  std::lock_guard lock(tree_mutex());
  bus_of(usb.busport);
  check_free(usb.busport, "");
  for (const UsbInterfaceSpec& itf : usb.interfaces) {
    if (itf.kind != PortKind::None) check_free("", node_name(itf));
  }
  Created created;
  created.busport = usb.busport;
  created.device_dir = hub_chain(usb.busport, &created) + "/" + usb.busport;
  const std::string dir = abs(created.device_dir);
  make_dirs(dir);
  const int count =
      usb.num_interfaces > 0 ? usb.num_interfaces : static_cast<int>(usb.interfaces.size());
  write_usb_device(created.device_dir, usb, count);
  for (const UsbInterfaceSpec& itf : usb.interfaces) add_interface(usb, itf, &created);
  // Bus links: new hubs, the interfaces, then the device, as the kernel registers them.
  for (const auto& [name, hub_dir] : created.new_hubs) link_hub(name, hub_dir);
  for (const auto& [number, itf_dir] : created.interface_dirs) {
    const std::string link = "sys/bus/usb/devices/" + itf_dir.substr(itf_dir.rfind('/') + 1);
    make_link(from_sys(itf_dir, 3), abs(link));
    created.links.push_back(link);
  }
  const std::string device_link = "sys/bus/usb/devices/" + usb.busport;
  make_link(from_sys(created.device_dir, 3), abs(device_link));
  created.links.push_back(device_link);
  // Class links, then the /dev nodes last.
  for (const UsbInterfaceSpec& itf : usb.interfaces) {
    if (itf.kind == PortKind::None) continue;
    const std::string node = node_name(itf);
    const std::string class_dir = created.interface_dirs.at(itf.number) + "/";
    std::string class_entry;
    switch (itf.kind) {
      case PortKind::Serial:
        class_entry = class_dir + node + "/tty/" + node;
        break;
      case PortKind::Acm:
        class_entry = class_dir + "tty/" + node;
        break;
      case PortKind::Hidraw:
        class_entry = class_dir + hid_device_name(usb, itf) + "/hidraw/" + node;
        break;
      default:
        class_entry = created.scsi_dirs.at(itf.index) + "/block/" + node;
        break;
    }
    const std::string link = std::string("sys/class/") + class_name(itf.kind) + "/" + node;
    make_link(from_sys(class_entry, 2), abs(link));
    created.links.push_back(link);
  }
  for (const UsbInterfaceSpec& itf : usb.interfaces) {
    if (itf.kind == PortKind::None) continue;
    add_node(node_name(itf), itf.node_target, &created);
  }
  const int id = next_id_++;
  devices_[id] = std::move(created);
  return DeviceHandle{id};
}

void DeviceTree::add_node(const std::string& name, const std::string& target, Created* created) {
  const std::string node = "dev/" + name;
  if (target.empty()) {
    write_file(abs(node), "");
  } else {
    make_link(target, abs(node));
  }
  created->dev_nodes.push_back(node);
}

// A class device's directory: its `dev` numbers, `subsystem` link and `uevent`.
void DeviceTree::add_class_device(const std::string& dir, const char* class_dir,
                                  const std::string& node, int major, int minor) {
  make_dirs(abs(dir));
  const std::string numbers = std::to_string(major) + ":" + std::to_string(minor);
  write_file(abs(dir + "/dev"), numbers + "\n");
  attach(dir, std::string("sys/class/") + class_dir, "",
         "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
             "\nDEVNAME=" + node + "\n");
}

void DeviceTree::add_interface(const UsbDeviceSpec& usb, const UsbInterfaceSpec& itf,
                               Created* created) {
  const std::string name = usb.busport + ":1." + std::to_string(itf.number);
  const std::string itf_dir = created->device_dir + "/" + name;
  make_dirs(abs(itf_dir));
  write_file(abs(itf_dir + "/bInterfaceNumber"), hex(static_cast<unsigned>(itf.number), 2) + "\n");
  write_file(abs(itf_dir + "/bInterfaceClass"), hex(itf.interface_class, 2) + "\n");
  write_file(abs(itf_dir + "/bInterfaceSubClass"), "00\n");
  write_file(abs(itf_dir + "/bInterfaceProtocol"), "00\n");
  write_file(abs(itf_dir + "/bAlternateSetting"), " 0\n");
  const char* driver = interface_driver(itf.kind, itf.interface_class);
  attach(itf_dir, "sys/bus/usb", *driver ? std::string("sys/bus/usb/drivers/") + driver : "",
         interface_uevent(usb, itf));
  created->interface_dirs[itf.number] = itf_dir;
  const std::string node = node_name(itf);
  switch (itf.kind) {
    case PortKind::Serial: {
      const std::string tty = itf_dir + "/" + node + "/tty/" + node;
      add_class_device(tty, "tty", node, 188, itf.index);
      make_link("../../../" + node, abs(tty + "/device"));
      break;
    }
    case PortKind::Acm: {
      const std::string tty = itf_dir + "/tty/" + node;
      add_class_device(tty, "tty", node, 166, itf.index);
      make_link("../../../" + name, abs(tty + "/device"));
      break;
    }
    case PortKind::Hidraw: {
      const std::string hid_name = hid_device_name(usb, itf);
      const std::string hidraw = itf_dir + "/" + hid_name + "/hidraw/" + node;
      add_class_device(hidraw, "hidraw", node, 241, itf.index);
      write_file(abs(itf_dir + "/" + hid_name + "/uevent"),
                 "DRIVER=hid-generic\nHID_ID=0003:0000" + upper_hex(usb.vid, 4) + ":0000" +
                     upper_hex(usb.pid, 4) + "\nMODALIAS=hid:b0003g0001v0000" +
                     upper_hex(usb.vid, 4) + "p0000" + upper_hex(usb.pid, 4) + "\n");
      make_link("../../../" + hid_name, abs(hidraw + "/device"));
      break;
    }
    case PortKind::Cdrom: {
      const std::string h = std::to_string(next_host_++);
      const std::string scsi_name = h + ":0:0:0";
      const std::string scsi = itf_dir + "/host" + h + "/target" + h + ":0:0/" + scsi_name;
      add_class_device(scsi + "/block/" + node, "block", node, 11, itf.index);
      write_file(abs(scsi + "/vendor"), itf.scsi_vendor + "\n");
      write_file(abs(scsi + "/model"), itf.scsi_model + "\n");
      write_file(abs(scsi + "/rev"), itf.scsi_rev + "\n");
      write_file(abs(scsi + "/type"), "5\n");
      make_link("../../../" + scsi_name, abs(scsi + "/block/" + node + "/device"));
      created->scsi_dirs[itf.index] = scsi;
      break;
    }
    case PortKind::None:
      break;
  }
}

DeviceHandle DeviceTree::add_pci_modem(const PciModemSpec& pci) {
  std::lock_guard lock(tree_mutex());
  const std::string wwan = "wwan" + std::to_string(pci.wwan);
  const std::string port = wwan + "qcdm" + std::to_string(pci.qcdm);
  check_free(pci.address, port);
  if (fs::symlink_status(abs("sys/class/wwan/" + wwan)).type() != fs::file_type::not_found) {
    throw std::runtime_error("wwan device in use: " + wwan);
  }
  Created created;
  created.busport = pci.address;
  created.device_dir = std::string(kPcieBase) + "/" + pci.address;
  const std::string& dir = created.device_dir;
  make_dirs(abs(dir));
  // drivers/pci/pci-sysfs.c writes ids as "0x%04x", the revision as "0x%02x".
  write_file(abs(dir + "/vendor"), "0x" + hex(pci.vendor, 4) + "\n");
  write_file(abs(dir + "/device"), "0x" + hex(pci.device, 4) + "\n");
  write_file(abs(dir + "/subsystem_vendor"), "0x" + hex(pci.subsystem_vendor, 4) + "\n");
  write_file(abs(dir + "/subsystem_device"), "0x" + hex(pci.subsystem_device, 4) + "\n");
  write_file(abs(dir + "/revision"), "0x" + hex(pci.revision, 2) + "\n");
  write_file(abs(dir + "/class"), "0xff0000\n");
  attach(dir, "sys/bus/pci", std::string("sys/bus/pci/drivers/") + kPciDriver,
         std::string("DRIVER=") + kPciDriver +
             "\nPCI_CLASS=FF0000\nPCI_ID=" + upper_hex(pci.vendor, 4) + ":" +
             upper_hex(pci.device, 4) + "\nPCI_SUBSYS_ID=" + upper_hex(pci.subsystem_vendor, 4) +
             ":" + upper_hex(pci.subsystem_device, 4) + "\nPCI_SLOT_NAME=" + pci.address + "\n");
  // The MHI controller, the wwan device on it and the QCDM port of the wwan device. The wwan
  // device is a class device whose parent (the controller) is not, so the kernel puts it in
  // the controller's class directory: .../mhi0/wwan/wwan0/wwan0qcdm0.
  const std::string mhi = dir + "/mhi0";
  const std::string wwan_dir = mhi + "/wwan/" + wwan;
  const std::string port_dir = wwan_dir + "/" + port;
  make_dirs(abs(wwan_dir));
  attach(mhi, "sys/bus/mhi", "", "");
  attach(wwan_dir, "sys/class/wwan", "", "");
  make_link("../../../mhi0", abs(wwan_dir + "/device"));
  add_class_device(port_dir, "wwan", port, 234, pci.wwan * 10 + pci.qcdm);
  write_file(abs(port_dir + "/type"), "QCDM\n");
  make_link("../../" + wwan, abs(port_dir + "/device"));
  for (const std::string& entry : {wwan, port}) {
    const std::string link = "sys/class/wwan/" + entry;
    make_link(from_sys(wwan_dir + (entry == port ? "/" + port : ""), 2), abs(link));
    created.links.push_back(link);
  }
  add_node(port, pci.node_target, &created);
  const int id = next_id_++;
  devices_[id] = std::move(created);
  return DeviceHandle{id};
}

bool DeviceTree::remove_device(DeviceHandle handle) {
  std::lock_guard lock(tree_mutex());
  auto it = devices_.find(handle.id);
  if (it == devices_.end()) return false;
  const Created& created = it->second;
  std::error_code ec;
  for (const std::string& node : created.dev_nodes) remove(abs(node));
  for (auto link = created.links.rbegin(); link != created.links.rend(); ++link) remove(abs(*link));
  remove(abs(created.device_dir));
  release_hubs(created);
  // The controller and bridge directories go with their last device.
  for (std::string parent = parent_of(created.device_dir); parent != "sys/devices";
       parent = parent_of(parent)) {
    if (!fs::exists(abs(parent), ec)) continue;
    if (!fs::is_empty(abs(parent), ec) || ec) break;
    remove(abs(parent));
  }
  devices_.erase(it);
  return true;
}

void DeviceTree::clear() {
  while (!devices_.empty()) remove_device(DeviceHandle{devices_.begin()->first});
}

std::string DeviceTree::device_dir(DeviceHandle handle) const {
  auto it = devices_.find(handle.id);
  return it == devices_.end() ? std::string() : abs(it->second.device_dir);
}

std::string DeviceTree::interface_dir(DeviceHandle handle, int interface_number) const {
  auto it = devices_.find(handle.id);
  if (it == devices_.end()) return {};
  auto itf = it->second.interface_dirs.find(interface_number);
  return itf == it->second.interface_dirs.end() ? std::string() : abs(itf->second);
}

}  // namespace kav::sim
