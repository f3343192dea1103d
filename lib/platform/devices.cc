#include "lib/platform/devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <string_view>

#include "lib/platform/files.h"

#include "lib/platform/text.h"

namespace kav::platform {

namespace {

// The root as two spellings without a trailing '/': as configured and as the kernel resolves
// it ("" for "/"). Absolute link targets starting with either are taken as root-relative.
struct Root {
  std::string given;
  std::string real;
};

std::string without_trailing_slash(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

Root current_root() {
  Root root;
  root.given = without_trailing_slash(root_dir());
  char resolved[PATH_MAX];
  root.real =
      realpath(root_dir().c_str(), resolved) ? without_trailing_slash(resolved) : root.given;
  return root;
}

void push_components(const std::string& path, std::deque<std::string>* todo) {
  std::deque<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  todo->insert(todo->begin(), parts.begin(), parts.end());
}

std::string join(const Root& root, const std::vector<std::string>& parts, size_t count) {
  std::string path = root.real;
  for (size_t i = 0; i < count; ++i) path += "/" + parts[i];
  return path.empty() ? "/" : path;
}

std::string join(const Root& root, const std::vector<std::string>& parts) {
  return join(root, parts, parts.size());
}

// Strips the root from an absolute link target, keeping whole components only.
std::string below_root(const Root& root, const std::string& target) {
  for (const std::string* prefix : {&root.given, &root.real}) {
    if (prefix->empty()) continue;
    if (target.compare(0, prefix->size(), *prefix) == 0 &&
        (target.size() == prefix->size() || target[prefix->size()] == '/')) {
      return target.substr(prefix->size());
    }
  }
  return target;
}

// Resolves the root-relative `relative` component by component, following symbolic links
// inside the root as a chroot would ("..") never climbs above the root). None when an
// entry is missing (a dangling link) or links loop.
std::optional<std::vector<std::string>> resolve_in_root(const Root& root,
                                                        const std::string& relative) {
  std::vector<std::string> done;
  std::deque<std::string> todo;
  push_components(relative, &todo);
  int links_followed = 0;
  while (!todo.empty()) {
    const std::string part = todo.front();
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    done.push_back(part);
    const std::string path = join(root, done);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return std::nullopt;
    if (!S_ISLNK(st.st_mode)) continue;
    if (++links_followed > 40) return std::nullopt;
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return std::nullopt;
    const std::string text(target, static_cast<size_t>(n));
    done.pop_back();
    if (text[0] == '/') done.clear();
    push_components(text[0] == '/' ? below_root(root, text) : text, &todo);
  }
  return done;
}

// The contents of a sysfs attribute with surrounding white space removed; none when the file
// cannot be read.
std::optional<std::string> read_attribute(const std::string& dir, const char* name) {
  const int fd = ::open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  char buffer[256];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n < 0) return std::nullopt;
  std::string text(buffer, static_cast<size_t>(n));
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// `text` when it is exactly `digits` hexadecimal digits, in lower case.
std::optional<std::string> hex_text(const std::string& text, size_t digits) {
  if (text.size() != digits) return std::nullopt;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return ascii_lower(text);
}

// An attribute of exactly `digits` hexadecimal digits, in lower case.
std::optional<std::string> hex_attribute(const std::string& dir, const char* name, size_t digits) {
  std::optional<std::string> text = read_attribute(dir, name);
  if (!text) return std::nullopt;
  return hex_text(*text, digits);
}

// bNumInterfaces or bNumConfigurations: a decimal count from 1 to 255 (the kernel pads
// bNumInterfaces with a blank).
std::optional<int> count_attribute(const std::string& dir, const char* name) {
  std::optional<std::string> text = read_attribute(dir, name);
  if (!text || text->empty() || text->size() > 3) return std::nullopt;
  for (char c : *text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  const int value = std::atoi(text->c_str());
  if (value < 1 || value > 255) return std::nullopt;
  return value;
}

struct UsbDevice {
  std::string name;  // sysfs name, e.g. "1-2"
  std::string vid, pid, rev;
  bool composite = false;
};

// Whether Windows loads its generic parent driver for the device, which makes one child device
// per interface (identifiers with "&MI_xx"): device class 00 (classes given per interface) or
// EF/02/01 (interface association descriptors), one configuration, more than one interface.
// Any other device, a plain CDC-ACM modem (class 02) among them, is one device as a whole.
std::optional<bool> read_composite(const std::string& dir, int interface_count) {
  auto device_class = hex_attribute(dir, "bDeviceClass", 2);
  auto sub_class = hex_attribute(dir, "bDeviceSubClass", 2);
  auto protocol = hex_attribute(dir, "bDeviceProtocol", 2);
  auto configurations = count_attribute(dir, "bNumConfigurations");
  if (!device_class || !sub_class || !protocol || !configurations) return std::nullopt;
  const bool class_ok = *device_class == "00" || *device_class + *sub_class + *protocol == "ef0201";
  return class_ok && *configurations == 1 && interface_count > 1;
}

std::optional<UsbDevice> read_usb_device(const std::string& dir, const std::string& name) {
  UsbDevice device;
  device.name = name;
  // Read in turn, stopping at the first that is missing or malformed.
  auto vid = hex_attribute(dir, "idVendor", 4);
  if (!vid) return std::nullopt;
  auto pid = hex_attribute(dir, "idProduct", 4);
  if (!pid) return std::nullopt;
  auto rev = hex_attribute(dir, "bcdDevice", 4);
  if (!rev) return std::nullopt;
  auto count = count_attribute(dir, "bNumInterfaces");
  if (!count) return std::nullopt;
  auto composite = read_composite(dir, *count);
  if (!composite) return std::nullopt;
  device.vid = *vid;
  device.pid = *pid;
  device.rev = *rev;
  device.composite = *composite;
  return device;
}

struct UsbInterface {
  UsbDevice device;
  std::string name;  // sysfs name, e.g. "1-2:1.1"
  std::string number;
  std::string interface_class;
};

// ---- what one scan reads once ----

// A tty class entry and the USB interface it sits on, if any.
struct TtyEntry {
  std::string name;
  std::optional<UsbInterface> usb;
};

// The state one enumeration, or every enumeration of a DeviceScan, shares: the root (also as
// a directory descriptor to resolve in), the USB devices already read (by directory) and the
// tty class once walked.
struct ScanState {
  ScanState() : root(current_root()) {
    root_fd = ::open(root.real.empty() ? "/" : root.real.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  ~ScanState() {
    if (root_fd >= 0) ::close(root_fd);
  }
  ScanState(const ScanState&) = delete;
  ScanState& operator=(const ScanState&) = delete;

  Root root;
  int root_fd = -1;
  std::map<std::string, std::optional<UsbDevice>, std::less<>> devices;
  std::optional<std::vector<TtyEntry>> tty;
};

// The state of the calling thread's DeviceScan, when it holds one.
thread_local ScanState* t_scan = nullptr;

// Cleared once the kernel refuses openat2 (too old, or filtered): resolution is then done
// component by component.
std::atomic<bool> g_kernel_resolves{true};

// `path` below the root as components; none when the kernel named a path outside it.
std::optional<std::vector<std::string>> components_below(const Root& root, std::string_view path) {
  const std::string_view prefix = root.real;
  if (path.substr(0, prefix.size()) != prefix) return std::nullopt;
  path.remove_prefix(prefix.size());
  if (!path.empty() && path[0] != '/') return std::nullopt;
  std::vector<std::string> parts;
  while (!path.empty()) {
    path.remove_prefix(1);  // the '/'
    const size_t end = std::min(path.find('/'), path.size());
    if (end > 0) parts.emplace_back(path.substr(0, end));
    path.remove_prefix(end);
  }
  return parts;
}

// The kernel resolves `relative` inside the root (absolute links and ".." kept below it, as
// resolve_in_root does) and names the directory it reached. None when it cannot: the caller
// then resolves component by component, which also takes absolute links that spell out the
// root itself.
std::optional<std::vector<std::string>> resolve_by_kernel(const ScanState& scan,
                                                          const std::string& relative) {
  if (scan.root_fd < 0 || !g_kernel_resolves.load(std::memory_order_relaxed)) return std::nullopt;
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  const int fd =
      static_cast<int>(syscall(SYS_openat2, scan.root_fd, relative.c_str(), &how, sizeof how));
  if (fd < 0) {
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG) g_kernel_resolves.store(false);
    return std::nullopt;
  }
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t n = readlink(link, target, sizeof target);
  ::close(fd);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return std::nullopt;
  return components_below(scan.root, std::string_view(target, static_cast<size_t>(n)));
}

std::optional<std::vector<std::string>> resolve(const ScanState& scan,
                                                const std::string& relative) {
  if (auto parts = resolve_by_kernel(scan, relative)) return parts;
  return resolve_in_root(scan.root, relative);
}

// The USB device in directory `dir` named `name`, read once per scan.
const std::optional<UsbDevice>& usb_device_at(ScanState& scan, const std::string& dir,
                                              const std::string& name) {
  auto found = scan.devices.find(dir);
  if (found == scan.devices.end()) {
    found = scan.devices.emplace(dir, read_usb_device(dir, name)).first;
  }
  return found->second;
}

// Walks up from the resolved directory of a member's `device` link to the USB interface: the
// first directory holding bInterfaceNumber.
std::optional<UsbInterface> interface_above(ScanState& scan,
                                            const std::vector<std::string>& parts) {
  std::string dir = join(scan.root, parts);
  for (size_t depth = parts.size(); depth >= 2; --depth) {
    if (depth < parts.size()) dir.resize(dir.size() - parts[depth].size() - 1);
    std::optional<std::string> text = read_attribute(dir, "bInterfaceNumber");
    if (!text) continue;
    UsbInterface usb;
    usb.name = parts[depth - 1];
    auto number = hex_text(*text, 2);
    auto interface_class = hex_attribute(dir, "bInterfaceClass", 2);
    if (!number || !interface_class) return std::nullopt;
    const std::string device_dir = dir.substr(0, dir.size() - usb.name.size() - 1);
    const std::optional<UsbDevice>& device = usb_device_at(scan, device_dir, parts[depth - 2]);
    if (!device) return std::nullopt;
    usb.number = *number;
    usb.interface_class = *interface_class;
    usb.device = *device;
    return usb;
  }
  return std::nullopt;
}

std::string guid_suffix(InterfaceClass cls) {
  return std::string("#{") + interface_class_guid(cls) + "}";
}

std::string usb_interface_path(const char* enumerator, const UsbInterface& usb,
                               InterfaceClass cls) {
  const bool composite = usb.device.composite;
  std::string path = std::string("\\\\?\\") + enumerator + "#vid_" + usb.device.vid + "&pid_" +
                     usb.device.pid + "&rev_" + usb.device.rev;
  if (composite) path += "&mi_" + usb.number;
  path += "#" + (composite ? usb.name : usb.device.name) + guid_suffix(cls);
  return ascii_lower(path);
}

// A SCSI inquiry text as the storage enumerator spells it: trimmed, blanks (and characters
// that would break the path's '#' and '\' structure) turned into '_'.
std::string scsi_text(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == '#' || c == '\\' || c == '/') c = '_';
  }
  return ascii_lower(out);
}

// The digit run of `text` starting at `*i`, with its leading zeros skipped: on return `*i` is
// past the run and `*value` at its first significant digit.
void digit_run(const std::string& text, size_t* i, size_t* value) {
  const size_t start = *i;
  while (*i < text.size() && std::isdigit(static_cast<unsigned char>(text[*i]))) ++*i;
  *value = start;
  while (*value < *i && text[*value] == '0') ++*value;
}

// Compares names with runs of digits by value, so ttyUSB2 sorts before ttyUSB10; of equal
// values the one with fewer leading zeros comes first.
bool natural_less(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
    const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
    if (da && db) {
      const size_t start_i = i, start_j = j;
      size_t va = 0, vb = 0;
      digit_run(a, &i, &va);
      digit_run(b, &j, &vb);
      if (i - va != j - vb) return i - va < j - vb;
      const int order = a.compare(va, i - va, b, vb, j - vb);
      if (order != 0) return order < 0;
      if (i - start_i != j - start_j) return i - start_i < j - start_j;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

// The entry names of a directory, sorted. ENOENT for a missing directory is no error.
int list_directory(const std::string& dir, std::vector<std::string>* names) {
  DIR* handle = opendir(dir.c_str());
  if (!handle) return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
  while (dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(handle);
  std::sort(names->begin(), names->end(), natural_less);
  return 0;
}

bool is_cdrom_name(const std::string& name) {
  if (name.size() < 3 || name.compare(0, 2, "sr") != 0) return false;
  return std::all_of(name.begin() + 2, name.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The USB interface below which class entry `name` of <root>/sys/class/<dir> sits, with the
// resolved directory of its `device` link in `*device`.
std::optional<UsbInterface> entry_interface(ScanState& scan, const std::string& dir,
                                            const std::string& name,
                                            std::vector<std::string>* device) {
  auto parts = resolve(scan, "sys/class/" + dir + "/" + name + "/device");
  if (!parts) return std::nullopt;
  *device = std::move(*parts);
  return interface_above(scan, *device);
}

// The tty class with the interface of each entry, walked once per scan.
const std::vector<TtyEntry>& tty_entries(ScanState& scan, const std::vector<std::string>& names) {
  if (!scan.tty) {
    scan.tty.emplace();
    scan.tty->reserve(names.size());
    std::vector<std::string> device;
    for (const std::string& name : names) {
      scan.tty->push_back({name, entry_interface(scan, "tty", name, &device)});
    }
  }
  return *scan.tty;
}

// The member of a tty entry for the COM port or modem class.
std::optional<DeviceInterface> tty_member(const TtyEntry& entry, InterfaceClass cls) {
  if (!entry.usb) return std::nullopt;
  if (cls == InterfaceClass::Modem && entry.usb->interface_class != "02") return std::nullopt;
  return DeviceInterface{usb_interface_path("usb", *entry.usb, cls), entry.name};
}

// The member for class entry `name` of <root>/sys/class/<dir> (HID or CD-ROM), if it sits on
// a USB interface.
std::optional<DeviceInterface> class_member(ScanState& scan, InterfaceClass cls,
                                            const std::string& dir, const std::string& name) {
  std::vector<std::string> device;
  auto usb = entry_interface(scan, dir, name, &device);
  if (!usb) return std::nullopt;
  if (cls == InterfaceClass::CdRom) {
    const std::string scsi = join(scan.root, device);
    auto vendor = read_attribute(scsi, "vendor");
    auto model = read_attribute(scsi, "model");
    auto rev = read_attribute(scsi, "rev");
    if (!vendor || !model || !rev) return std::nullopt;
    const std::string path = "\\\\?\\usbstor#cdrom&ven_" + scsi_text(*vendor) + "&prod_" +
                             scsi_text(*model) + "&rev_" + scsi_text(*rev) + "#" + usb->name +
                             guid_suffix(cls);
    return DeviceInterface{ascii_lower(path), name};
  }
  return DeviceInterface{usb_interface_path("hid", *usb, cls), name};
}

// The member for entry `name` of <root>/sys/bus/usb/devices. Its interfaces (names with ':')
// are no devices and are passed over unread.
std::optional<DeviceInterface> usb_device_member(ScanState& scan, const std::string& name) {
  if (name.find(':') != std::string::npos) return std::nullopt;
  auto parts = resolve(scan, "sys/bus/usb/devices/" + name);
  if (!parts || parts->empty()) return std::nullopt;
  const std::optional<UsbDevice>& device =
      usb_device_at(scan, join(scan.root, *parts), parts->back());
  if (!device) return std::nullopt;
  const std::string path = "\\\\?\\usb#vid_" + device->vid + "&pid_" + device->pid + "&rev_" +
                           device->rev + "#" + device->name +
                           guid_suffix(InterfaceClass::UsbDevice);
  return DeviceInterface{ascii_lower(path), device->name};
}

const char* class_directory(InterfaceClass cls) {
  switch (cls) {
    case InterfaceClass::Modem:
    case InterfaceClass::ComPort:
      return "sys/class/tty";
    case InterfaceClass::Hid:
      return "sys/class/hidraw";
    case InterfaceClass::CdRom:
      return "sys/class/block";
    case InterfaceClass::UsbDevice:
      break;
  }
  return "sys/bus/usb/devices";
}

// Parses "<prefix><k>" with k decimal, without leading zeros, at most `max_k`.
std::optional<int> numbered_name(const std::string& name, const char* prefix, int max_k) {
  const std::string p = prefix;
  if (name.size() <= p.size() || name.compare(0, p.size(), p) != 0) return std::nullopt;
  const std::string digits = name.substr(p.size());
  if (digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  const int k = std::atoi(digits.c_str());
  if (k > max_k) return std::nullopt;
  return k;
}

constexpr int kMaxUsbSerialIndex = 199;
constexpr int kMaxAcmIndex = 255;
constexpr int kFirstAcmCom = 201;
constexpr int kMaxWwanIndex = 49;
constexpr int kMaxQcdmIndex = 9;
// wwan<n>qcdm<m> is COM 501 + 10n + m: a range of its own above the ttyACM range.
constexpr int kFirstQcdmCom = 501;
constexpr int kQcdmPortsPerWwan = kMaxQcdmIndex + 1;
constexpr int kLastQcdmCom = kFirstQcdmCom + (kMaxWwanIndex + 1) * kQcdmPortsPerWwan - 1;

// A PCI attribute as the kernel writes it, "0x" and exactly `digits` hexadecimal digits; the
// digits in lower case.
std::optional<std::string> pci_hex_attribute(const std::string& dir, const char* name,
                                             size_t digits) {
  std::optional<std::string> text = read_attribute(dir, name);
  if (!text || text->size() != digits + 2 || text->compare(0, 2, "0x") != 0) return std::nullopt;
  for (size_t i = 2; i < text->size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>((*text)[i]))) return std::nullopt;
  }
  return ascii_lower(text->substr(2));
}

// Parses "wwan<n>qcdm<m>", the kernel's name of a wwan port of type QCDM (the DIAG channel of a
// PCIe modem); n and m decimal without leading zeros, at most `max_n` and `max_m`.
std::optional<std::pair<int, int>> qcdm_port_indexes(const std::string& name, int max_n,
                                                     int max_m) {
  const size_t mid = name.find("qcdm");
  if (mid == std::string::npos) return std::nullopt;
  auto n = numbered_name(name.substr(0, mid), "wwan", max_n);
  auto m = numbered_name(name.substr(mid), "qcdm", max_m);
  if (!n || !m) return std::nullopt;
  return std::pair{*n, *m};
}

// The MHI channel that carries DIAG, the channel a QCDM port runs on: 4 in every channel map of
// the kernel's MHI PCI driver. It stands in the "&mi_" place of the interface path, so that the
// DM port of a PCIe modem is told apart from its other channels as a USB interface number would.
constexpr char kQcdmChannel[] = "04";

// True when `dir` is a PCI device: its `subsystem` link ends in bus/pci.
bool is_pci_device(const std::string& dir) {
  char target[PATH_MAX];
  const ssize_t n = readlink((dir + "/subsystem").c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  const std::string text(target, static_cast<size_t>(n));
  constexpr std::string_view kPciBus = "bus/pci";
  return text.size() >= kPciBus.size() &&
         text.compare(text.size() - kPciBus.size(), kPciBus.size(), kPciBus) == 0 &&
         (text.size() == kPciBus.size() || text[text.size() - kPciBus.size() - 1] == '/');
}

// The COM port member for <root>/sys/class/wwan/<name>, a QCDM port: the port's directory is
// below its wwan device (in the MHI controller's wwan class directory, .../mhi0/wwan/wwan0/
// wwan0qcdm0) and the PCI function of the modem. The walk up stops at the first PCI device,
// that function: its ids, or none when they cannot be read; never those of a bridge above.
std::optional<DeviceInterface> qcdm_member(const Root& root, const std::string& name) {
  if (!qcdm_port_indexes(name, kMaxWwanIndex, kMaxQcdmIndex)) return std::nullopt;
  auto parts = resolve_in_root(root, "sys/class/wwan/" + name);
  if (!parts || parts->size() < 2) return std::nullopt;
  for (size_t depth = parts->size() - 1; depth >= 1; --depth) {
    const std::string dir = join(root, *parts, depth);
    if (!is_pci_device(dir)) continue;
    auto vendor = pci_hex_attribute(dir, "vendor", 4);
    auto device = pci_hex_attribute(dir, "device", 4);
    auto revision = pci_hex_attribute(dir, "revision", 2);
    if (!vendor || !device || !revision) return std::nullopt;
    const std::string path = "\\\\?\\pci#ven_" + *vendor + "&dev_" + *device + "&rev_" + *revision +
                             "&mi_" + kQcdmChannel + "#" + (*parts)[depth - 1] +
                             guid_suffix(InterfaceClass::ComPort);
    return DeviceInterface{ascii_lower(path), name};
  }
  return std::nullopt;
}

// Appends the QCDM ports of PCIe modems to the COM port members (their names sort after every
// tty name, so the members stay sorted).
int append_qcdm_members(const Root& root, std::vector<DeviceInterface>* members) {
  std::vector<std::string> names;
  if (const int error = list_directory(root.real + "/sys/class/wwan", &names)) return error;
  for (const std::string& name : names) {
    if (auto member = qcdm_member(root, name)) members->push_back(*member);
  }
  return 0;
}

}  // namespace

DeviceScan::DeviceScan() {
  if (t_scan) return;
  t_scan = new ScanState;
  outermost_ = true;
}

DeviceScan::~DeviceScan() {
  if (!outermost_) return;
  delete t_scan;
  t_scan = nullptr;
}

int enumerate_interfaces(InterfaceClass cls, std::vector<DeviceInterface>* members) {
  members->clear();
  std::optional<ScanState> own;
  ScanState& scan = t_scan ? *t_scan : own.emplace();
  struct stat st {};
  if (stat((scan.root.real + "/sys").c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  const std::string dir = class_directory(cls);
  const bool tty = cls == InterfaceClass::Modem || cls == InterfaceClass::ComPort;
  std::vector<std::string> names;
  // A scan that has walked the tty class already needs not list it again.
  if (!(tty && scan.tty)) {
    if (const int error = list_directory(scan.root.real + "/" + dir, &names)) return error;
  }
  if (tty) {
    for (const TtyEntry& entry : tty_entries(scan, names)) {
      if (auto member = tty_member(entry, cls)) members->push_back(std::move(*member));
    }
    return cls == InterfaceClass::ComPort ? append_qcdm_members(scan.root, members) : 0;
  }
  for (const std::string& name : names) {
    std::optional<DeviceInterface> member;
    if (cls == InterfaceClass::UsbDevice) {
      member = usb_device_member(scan, name);
    } else if (cls != InterfaceClass::CdRom || is_cdrom_name(name)) {
      member = class_member(scan, cls, dir.substr(10), name);
    }
    if (member) members->push_back(std::move(*member));
  }
  return 0;
}

int com_number_of_tty(const std::string& tty_name) {
  if (auto k = numbered_name(tty_name, "ttyUSB", kMaxUsbSerialIndex)) return *k + 1;
  if (auto k = numbered_name(tty_name, "ttyACM", kMaxAcmIndex)) return *k + kFirstAcmCom;
  return 0;
}

std::optional<std::string> tty_of_com_number(int com) {
  if (com >= 1 && com <= kMaxUsbSerialIndex + 1) return "ttyUSB" + std::to_string(com - 1);
  if (com >= kFirstAcmCom && com <= kFirstAcmCom + kMaxAcmIndex) {
    return "ttyACM" + std::to_string(com - kFirstAcmCom);
  }
  return std::nullopt;
}

int com_number_of_node(const std::string& node_name) {
  if (const int com = com_number_of_tty(node_name)) return com;
  auto qcdm = qcdm_port_indexes(node_name, kMaxWwanIndex, kMaxQcdmIndex);
  if (!qcdm) return 0;
  return kFirstQcdmCom + qcdm->first * kQcdmPortsPerWwan + qcdm->second;
}

std::optional<std::string> node_of_com_number(int com) {
  if (auto tty = tty_of_com_number(com)) return tty;
  if (com < kFirstQcdmCom || com > kLastQcdmCom) return std::nullopt;
  const int index = com - kFirstQcdmCom;
  return "wwan" + std::to_string(index / kQcdmPortsPerWwan) + "qcdm" +
         std::to_string(index % kQcdmPortsPerWwan);
}

std::optional<std::string> com_device_node(int com) {
  auto node = node_of_com_number(com);
  if (!node) return std::nullopt;
  return root_path("dev/" + *node);
}

std::optional<std::string> device_node_of_path(const std::string& device_path) {
  const std::string lower = ascii_lower(device_path);
  if (lower.compare(0, 7, "\\\\.\\com") == 0) {
    const std::string digits = lower.substr(7);
    if (digits.empty() || digits.size() > 3 || digits[0] == '0') return std::nullopt;
    for (char c : digits) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    }
    return com_device_node(std::atoi(digits.c_str()));
  }
  const DeviceScan scan;
  for (InterfaceClass cls : {InterfaceClass::Modem, InterfaceClass::ComPort, InterfaceClass::Hid,
                             InterfaceClass::CdRom}) {
    std::vector<DeviceInterface> members;
    if (enumerate_interfaces(cls, &members) != 0) continue;
    for (const DeviceInterface& member : members) {
      if (member.path == lower) return root_path("dev/" + member.node);
    }
  }
  return std::nullopt;
}

}  // namespace kav::platform
