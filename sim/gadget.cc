#include "sim/gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kav::sim {

namespace {

constexpr char kGadgetRoot[] = "/sys/kernel/config/usb_gadget";
constexpr char kCdromImageName[] = "kav-modem-sim-cdrom.iso";
// The mass-storage function refuses a CD-ROM image below 300 sectors of 2048 bytes (the
// shortest track); the image is sparse.
constexpr size_t kCdromImageBytes = 320 * 2048;

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

// Writes a configfs or sysfs attribute in one write, as the kernel parses it whole. Returns 0
// or the errno of the failure.
int write_attribute(const std::string& path, const std::string& value) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const ssize_t n = ::write(fd, value.data(), value.size());
  const int error = n == static_cast<ssize_t>(value.size()) ? 0 : n < 0 ? errno : EIO;
  ::close(fd);
  return error;
}

void put(const std::string& path, const std::string& value) {
  if (const int error = write_attribute(path, value)) {
    errno = error;
    fail("cannot write '" + value + "' to", path);
  }
}

std::string get(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot create", path);
}

std::string hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
  }
  return names;
}

// The tty a host driver made for the USB interface directory `itf`: ttyUSB<k> (usb-serial) as
// a child, or ttyACM<k> (cdc-acm) below its tty/ directory.
std::string interface_tty(const std::string& itf) {
  for (const std::string& name : list_dir(itf)) {
    if (name.rfind("ttyUSB", 0) == 0) return name;
  }
  for (const std::string& name : list_dir(itf + "/tty")) {
    if (name.rfind("ttyACM", 0) == 0) return name;
  }
  return {};
}

}  // namespace

Gadget::Gadget(std::string udc, std::string name, std::string image_dir)
    : udc_(std::move(udc)),
      dir_(std::string(kGadgetRoot) + "/" + name),
      image_dir_(std::move(image_dir)),
      serial_("KAVSIM-" + name) {
  struct stat st {};
  if (::stat(kGadgetRoot, &st) != 0) {
    fail(
        "no USB gadget configfs (modprobe libcomposite; mount -t configfs none "
        "/sys/kernel/config):",
        kGadgetRoot);
  }
  make_dir(dir_);
}

Gadget::~Gadget() {
  try {
    withdraw();
  } catch (const std::exception&) {
    // Nothing more can be done about a gadget the kernel will not let go of.
  }
  ::rmdir((dir_ + "/configs/c.1/strings/0x409").c_str());
  ::rmdir((dir_ + "/configs/c.1").c_str());
  ::rmdir((dir_ + "/strings/0x409").c_str());
  ::rmdir(dir_.c_str());
}

std::map<int, int> Gadget::present(const UsbDeviceSpec& usb) {
  withdraw();
  vid_ = usb.vid;
  pid_ = usb.pid;
  put(dir_ + "/idVendor", hex4(usb.vid));
  put(dir_ + "/idProduct", hex4(usb.pid));
  put(dir_ + "/bcdDevice", hex4(usb.bcd));
  put(dir_ + "/bcdUSB", "0x0200");
  // Class 00 (classes per interface) makes a device of several interfaces a composite one,
  // whose interfaces the host names with their numbers (MI_xx).
  put(dir_ + "/bDeviceClass", "0x00");
  make_dir(dir_ + "/strings/0x409");
  put(dir_ + "/strings/0x409/manufacturer", "ZQTL");
  put(dir_ + "/strings/0x409/product", "kav-modem-sim");
  put(dir_ + "/strings/0x409/serialnumber", serial_);
  make_dir(dir_ + "/configs/c.1");
  make_dir(dir_ + "/configs/c.1/strings/0x409");
  put(dir_ + "/configs/c.1/strings/0x409/configuration", "modem");
  put(dir_ + "/configs/c.1/MaxPower", "500");

  std::vector<UsbInterfaceSpec> interfaces = usb.interfaces;
  std::sort(interfaces.begin(), interfaces.end(),
            [](const auto& a, const auto& b) { return a.number < b.number; });
  std::map<int, int> ttys;
  int next_number = 0;
  for (const UsbInterfaceSpec& itf : interfaces) {
    if (itf.number != next_number) {
      throw std::runtime_error("interface " + std::to_string(itf.number) +
                               " cannot be presented: a gadget numbers its interfaces from 0 "
                               "without gaps (next free: " +
                               std::to_string(next_number) + ")");
    }
    const std::string function = add_function(itf);
    next_number += itf.kind == PortKind::Acm ? 2 : 1;
    if (itf.kind == PortKind::Serial || itf.kind == PortKind::Acm) {
      ttys[itf.number] = std::stoi(get(dir_ + "/functions/" + function + "/port_num"));
    }
  }
  put(dir_ + "/UDC", udc_);
  return ttys;
}

std::string Gadget::add_function(const UsbInterfaceSpec& itf) {
  const char* type = itf.kind == PortKind::Acm     ? "acm"
                     : itf.kind == PortKind::Cdrom ? "mass_storage"
                                                   : "gser";
  const std::string name = std::string(type) + ".if" + std::to_string(itf.number);
  const std::string function = dir_ + "/functions/" + name;
  make_dir(function);
  functions_.push_back(name);
  if (itf.kind == PortKind::Cdrom) {
    lun_file_ = function + "/lun.0/file";
    put(function + "/lun.0/cdrom", "1");
    put(function + "/lun.0/removable", "1");
    put(function + "/lun.0/ro", "1");
    // The INQUIRY texts: vendor (8), product (16) and revision (4), blank-padded.
    auto padded = [](std::string text, size_t width) {
      text.resize(width, ' ');
      return text;
    };
    put(function + "/lun.0/inquiry_string",
        padded(itf.scsi_vendor, 8) + padded(itf.scsi_model, 16) + padded(itf.scsi_rev, 4));
    put(lun_file_, make_cdrom_image());
  }
  const std::string link = dir_ + "/configs/c.1/" + name;
  if (::symlink(function.c_str(), link.c_str()) != 0) fail("cannot link", link);
  return name;
}

std::string Gadget::make_cdrom_image() const {
  const std::string path = image_dir_ + "/" + kCdromImageName;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot create the CD-ROM image", path);
  const bool sized = ::ftruncate(fd, kCdromImageBytes) == 0;
  ::close(fd);
  if (!sized) fail("cannot size the CD-ROM image", path);
  return path;
}

void Gadget::withdraw() {
  if (get(dir_ + "/UDC").empty() && functions_.empty()) return;
  if (!get(dir_ + "/UDC").empty()) put(dir_ + "/UDC", "\n");
  remove_functions();
}

void Gadget::remove_functions() {
  for (auto it = functions_.rbegin(); it != functions_.rend(); ++it) {
    const std::string link = dir_ + "/configs/c.1/" + *it;
    if (::unlink(link.c_str()) != 0 && errno != ENOENT) fail("cannot unlink", link);
    const std::string function = dir_ + "/functions/" + *it;
    if (::rmdir(function.c_str()) != 0 && errno != ENOENT) fail("cannot remove", function);
  }
  functions_.clear();
  lun_file_.clear();
}

bool Gadget::medium_ejected() const {
  return !lun_file_.empty() && get(lun_file_).empty();
}

std::vector<HostPort> Gadget::host_ports(int timeout_ms) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::vector<HostPort> ports;
    bool complete = false;
    for (const std::string& name : list_dir("/sys/bus/usb/devices")) {
      const std::string dev = "/sys/bus/usb/devices/" + name;
      if (name.find(':') != std::string::npos || get(dev + "/serial") != serial_) continue;
      complete = true;
      for (const std::string& child : list_dir(dev)) {
        if (child.rfind(name + ":", 0) != 0) continue;
        HostPort port;
        port.interface_number = std::stoi(get(dev + "/" + child + "/bInterfaceNumber"), 0, 16);
        const std::string cls = get(dev + "/" + child + "/bInterfaceClass");
        if (cls != "ff" && cls != "02") continue;  // storage and CDC data carry no tty
        port.tty = interface_tty(dev + "/" + child);
        complete = complete && !port.tty.empty();
        ports.push_back(port);
      }
    }
    if (complete || std::chrono::steady_clock::now() >= end) return ports;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

GadgetLine::GadgetLine(int index) : path_("/dev/ttyGS" + std::to_string(index)) {
  // The node appears when the function is made; udev may still be creating it.
  for (int attempt = 0; attempt < 100 && !open_node(); ++attempt) {
    if (errno != ENOENT) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (fd_ < 0) fail("cannot open", path_);
}

bool GadgetLine::open_node() {
  fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return false;
  termios tio{};
  if (tcgetattr(fd_, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  return true;
}

GadgetLine::~GadgetLine() {
  close();
}

bool GadgetLine::write(const uint8_t* bytes, size_t count) {
  while (count > 0 && fd_ >= 0) {
    const ssize_t n = ::write(fd_, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return false;
      pollfd pfd{fd_, POLLOUT, 0};
      if (poll(&pfd, 1, 1000) <= 0) return false;  // the host stopped reading
      continue;
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return count == 0;
}

std::vector<uint8_t> GadgetLine::read(int timeout_ms) {
  std::vector<uint8_t> out;
  if (fd_ < 0) return out;
  pollfd pfd{fd_, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) <= 0) return out;
  uint8_t buffer[4096];
  const ssize_t n = (pfd.revents & POLLIN) ? ::read(fd_, buffer, sizeof buffer) : 0;
  if (n > 0) {
    out.assign(buffer, buffer + n);
  } else if ((pfd.revents & POLLHUP) || n == 0 || errno == EIO) {
    // The controller was unbound behind our back (the gadget's tty is hung up then): open the
    // node afresh, so that the port serves again once the gadget is bound again.
    ::close(fd_);
    fd_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    open_node();
  }
  return out;
}

void GadgetLine::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool bind_option_driver(uint16_t vid, uint16_t pid, std::string* error) {
  const std::string path = "/sys/bus/usb-serial/drivers/option1/new_id";
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x %04x", vid, pid);
  const int failure = write_attribute(path, ids);
  if (failure == 0 || failure == EEXIST) return true;  // EEXIST: the ids are known already
  *error = "cannot write '" + std::string(ids) + "' to " + path + ": " + std::strerror(failure);
  return false;
}

}  // namespace kav::sim
