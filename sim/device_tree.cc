#include "sim/device_tree.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
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

void make_dirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) throw std::runtime_error("cannot create " + path + ": " + ec.message());
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void make_link(const std::string& target, const std::string& link) {
  std::error_code ec;
  fs::create_symlink(target, link, ec);
  if (ec) throw std::runtime_error("cannot link " + link + ": " + ec.message());
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
  if (dash == 0 || dash == std::string::npos) {
    throw std::runtime_error("busport must look like 1-2: " + busport);
  }
  return busport.substr(0, dash);
}

// Links and nodes of an interface, made after every directory of the device exists.
struct PendingLink {
  std::string target;
  std::string link;  // root-relative
};

}  // namespace

void prune_empty_directories(const std::string& dir) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(dir, ec))) return;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.is_directory(ec) && !entry.is_symlink(ec)) prune_empty_directories(entry.path());
  }
  if (fs::is_empty(dir, ec)) fs::remove(dir, ec);
}

DeviceTree::DeviceTree(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  for (const char* dir : {"sys/devices", "sys/class/tty", "sys/class/hidraw", "sys/class/block",
                          "sys/bus/usb/devices", "dev"}) {
    make_dirs(abs(dir));
  }
}

DeviceHandle DeviceTree::add_device(const UsbDeviceSpec& usb) {
  for (const auto& [id, device] : devices_) {
    if (device.busport == usb.busport) throw std::runtime_error("busport in use: " + usb.busport);
  }
  for (const UsbInterfaceSpec& itf : usb.interfaces) {
    if (itf.kind != PortKind::None &&
        fs::symlink_status(abs("dev/" + node_name(itf))).type() != fs::file_type::not_found) {
      throw std::runtime_error("node in use: " + node_name(itf));
    }
  }
  Created created;
  created.busport = usb.busport;
  created.device_dir = std::string(kPciBase) + "/usb" + bus_of(usb.busport) + "/" + usb.busport;
  const std::string dir = abs(created.device_dir);
  make_dirs(dir);
  const int count =
      usb.num_interfaces > 0 ? usb.num_interfaces : static_cast<int>(usb.interfaces.size());
  write_file(dir + "/idVendor", hex(usb.vid, 4) + "\n");
  write_file(dir + "/idProduct", hex(usb.pid, 4) + "\n");
  write_file(dir + "/bcdDevice", hex(usb.bcd, 4) + "\n");
  char interfaces[16];
  std::snprintf(interfaces, sizeof interfaces, "%2d\n", count);
  write_file(dir + "/bNumInterfaces", interfaces);
  write_file(dir + "/bDeviceClass", "00\n");
  write_file(dir + "/bConfigurationValue", "1\n");
  for (const UsbInterfaceSpec& itf : usb.interfaces) add_interface(usb, itf, &created);
  // Bus links: the interfaces first, then the device, as the kernel registers them.
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
        class_entry = class_dir + "0003:" + hex(usb.vid, 4) + ":" + hex(usb.pid, 4) + "." +
                      hex(static_cast<unsigned>(itf.index + 1), 4) + "/hidraw/" + node;
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
    const std::string node = "dev/" + node_name(itf);
    if (itf.node_target.empty()) {
      write_file(abs(node), "");
    } else {
      make_link(itf.node_target, abs(node));
    }
    created.dev_nodes.push_back(node);
  }
  const int id = next_id_++;
  devices_[id] = std::move(created);
  return DeviceHandle{id};
}

void DeviceTree::add_interface(const UsbDeviceSpec& usb, const UsbInterfaceSpec& itf,
                               Created* created) {
  const std::string name = usb.busport + ":1." + std::to_string(itf.number);
  const std::string itf_dir = created->device_dir + "/" + name;
  make_dirs(abs(itf_dir));
  write_file(abs(itf_dir + "/bInterfaceNumber"), hex(static_cast<unsigned>(itf.number), 2) + "\n");
  write_file(abs(itf_dir + "/bInterfaceClass"), hex(itf.interface_class, 2) + "\n");
  write_file(abs(itf_dir + "/bAlternateSetting"), " 0\n");
  created->interface_dirs[itf.number] = itf_dir;
  const std::string node = node_name(itf);
  switch (itf.kind) {
    case PortKind::Serial: {
      const std::string tty = abs(itf_dir + "/" + node + "/tty/" + node);
      make_dirs(tty);
      write_file(tty + "/dev", "188:" + std::to_string(itf.index) + "\n");
      make_link("../../../" + node, tty + "/device");
      break;
    }
    case PortKind::Acm: {
      const std::string tty = abs(itf_dir + "/tty/" + node);
      make_dirs(tty);
      write_file(tty + "/dev", "166:" + std::to_string(itf.index) + "\n");
      make_link("../../../" + name, tty + "/device");
      break;
    }
    case PortKind::Hidraw: {
      const std::string hid_name = "0003:" + hex(usb.vid, 4) + ":" + hex(usb.pid, 4) + "." +
                                   hex(static_cast<unsigned>(itf.index + 1), 4);
      const std::string hidraw = abs(itf_dir + "/" + hid_name + "/hidraw/" + node);
      make_dirs(hidraw);
      make_link("../../../" + hid_name, hidraw + "/device");
      break;
    }
    case PortKind::Cdrom: {
      const std::string h = std::to_string(next_host_++);
      const std::string scsi_name = h + ":0:0:0";
      const std::string scsi = itf_dir + "/host" + h + "/target" + h + ":0:0/" + scsi_name;
      make_dirs(abs(scsi + "/block/" + node));
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

bool DeviceTree::remove_device(DeviceHandle handle) {
  auto it = devices_.find(handle.id);
  if (it == devices_.end()) return false;
  const Created& created = it->second;
  std::error_code ec;
  for (const std::string& node : created.dev_nodes) fs::remove(abs(node), ec);
  for (auto link = created.links.rbegin(); link != created.links.rend(); ++link) {
    fs::remove(abs(*link), ec);
  }
  fs::remove_all(abs(created.device_dir), ec);
  // The bus and controller directories go with their last device.
  std::string parent = created.device_dir;
  for (int level = 0; level < 3; ++level) {
    parent = parent.substr(0, parent.rfind('/'));
    if (!fs::is_empty(abs(parent), ec) || ec) break;
    fs::remove(abs(parent), ec);
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
