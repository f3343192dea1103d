#include "sim/modem.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "sim/pty.h"

namespace kav::sim {

namespace fs = std::filesystem;

namespace {

constexpr int kReadSliceMs = 20;
constexpr size_t kHistoryLimit = 4096;
constexpr char kNvFileName[] = "kav-modem-sim-nv.txt";

// Modems alive per root in this process: the last one to stop removes the empty skeleton.
std::mutex roots_mutex;
std::map<std::string, int> modems_per_root;

std::string hex_dump(const std::vector<uint8_t>& bytes) {
  std::string out;
  char text[4];
  for (uint8_t byte : bytes) {
    std::snprintf(text, sizeof text, "%02X ", byte);
    out += text;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

// Sleeps `ms` in short steps, giving up early when `stop` is set.
void pause(int ms, const std::atomic<bool>& stop) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string default_nv_path(const std::string& root, const ModemConfig& config) {
  return config.nv_file.empty() ? root + "/" + kNvFileName : config.nv_file;
}

const std::string& make_root(const std::string& root) {
  fs::create_directories(root);
  return root;
}

}  // namespace

struct Modem::Port {
  bool dm = false;
  int com = 0;
  int interface_number = 0;
  std::string node;
  std::unique_ptr<Line> line;  // a Pty, or in gadget mode the GadgetLine made on plug-in
  std::atomic<bool> stop{false};
  std::thread thread;
  RequestReader reader;
};

Modem::Modem(std::string root, ModemConfig config)
    : root_(make_root(root)),
      config_(std::move(config)),
      nv_(default_nv_path(root_, config_), config_.nv_presets),
      diag_(config_, &nv_) {
  for (const FaultSpec& fault : config_.faults) faults_.add(fault);
  if (!config_.udc.empty()) {
    if (config_.pcie) throw std::runtime_error("a PCIe modem cannot be a USB gadget");
    gadget_ = std::make_unique<Gadget>(config_.udc, "kav-" + config_.busport, root_);
  }
  std::lock_guard lock(roots_mutex);
  ++modems_per_root[root_];
}

Modem::~Modem() {
  stop();
  std::lock_guard lock(roots_mutex);
  if (--modems_per_root[root_] == 0) {
    modems_per_root.erase(root_);
    prune_empty_directories(root_ + "/sys");
    prune_empty_directories(root_ + "/dev");
  }
}

void Modem::start() {
  std::lock_guard lock(presence_mutex_);
  if (started_) return;
  started_ = true;
  cdrom_ = config_.cdrom_first;
  inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  plug_locked();
  bus_stop_ = false;
  bus_thread_ = std::thread([this] { bus_loop(); });
}

void Modem::stop() {
  {
    std::lock_guard lock(presence_mutex_);
    if (!started_) return;
    started_ = false;
  }
  bus_stop_ = true;
  if (bus_thread_.joinable()) bus_thread_.join();
  {
    std::lock_guard lock(bus_mutex_);
    timed_.clear();
  }
  std::lock_guard lock(presence_mutex_);
  unplug_locked();
  tree_.reset();
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
  inotify_fd_ = -1;
  // With every device of this modem gone, its empty directories go too, unless another modem
  // of this process still lives in the same root.
  std::lock_guard roots(roots_mutex);
  if (modems_per_root[root_] <= 1) {
    prune_empty_directories(root_ + "/sys");
    prune_empty_directories(root_ + "/dev");
  }
}

void Modem::unplug() {
  std::lock_guard lock(presence_mutex_);
  unplug_locked();
}

void Modem::plug() {
  std::lock_guard lock(presence_mutex_);
  if (started_) plug_locked();
}

void Modem::reenumerate(int gap_ms, bool other_tty, std::optional<ModemMode> mode) {
  {
    std::lock_guard lock(presence_mutex_);
    unplug_locked();
    if (other_tty) alternate_tty_ = !alternate_tty_;
  }
  if (mode) diag_.set_mode(*mode);
  diag_.power_cycle();
  post(gap_ms < 0 ? config_.reenumerate_gap_ms : gap_ms, [this] {
    std::lock_guard lock(presence_mutex_);
    come_back_locked();
  });
}

UsbDeviceSpec Modem::device_spec() const {
  UsbDeviceSpec usb;
  usb.vid = config_.vid;
  usb.pid = config_.pid;
  usb.bcd = config_.bcd;
  usb.busport = config_.busport;
  if (cdrom_) usb.pid = config_.cdrom_pid;
  if (!cdrom_ && diag_.mode() == ModemMode::DL && config_.dl_vid != 0) {
    usb.vid = config_.dl_vid;
    usb.pid = config_.dl_pid;
  }
  return usb;
}

void Modem::plug_locked() {
  if (device_) return;
  // A fresh tree each time: its constructor puts back a skeleton another modem may have pruned.
  if (!gadget_) tree_.emplace(root_);
  UsbDeviceSpec usb = device_spec();
  const bool dl_identity = diag_.mode() == ModemMode::DL && config_.dl_vid != 0;
  if (cdrom_) {
    UsbInterfaceSpec itf;
    itf.number = 0;
    itf.interface_class = 0x08;
    itf.kind = PortKind::Cdrom;
    itf.index = config_.cdrom_index;
    itf.scsi_vendor = "ZQTL";
    itf.scsi_model = "Autoinstall";
    usb.interfaces.push_back(itf);
  } else if (config_.pcie) {
    // The PCIe modem's DM port is added with its device below.
  } else if (dl_identity) {
    start_port(true, config_.dl_interface, alternate_tty_ ? config_.alt_dm_tty : config_.dm_tty,
               &usb);
  } else {
    start_port(true, config_.dm_interface, alternate_tty_ ? config_.alt_dm_tty : config_.dm_tty,
               &usb);
    if (config_.at_interface >= 0) {
      start_port(false, config_.at_interface, alternate_tty_ ? config_.alt_at_tty : config_.at_tty,
                 &usb);
    }
    // Interfaces without a port take the lowest free numbers.
    for (int number = 0, added = 0; added < config_.extra_interfaces; ++number) {
      bool used = false;
      for (const auto& itf : usb.interfaces) used = used || itf.number == number;
      if (used) continue;
      UsbInterfaceSpec itf;
      itf.number = number;
      usb.interfaces.push_back(itf);
      ++added;
    }
  }
  try {
    device_ = gadget_                   ? present_on_gadget(usb)
              : config_.pcie && !cdrom_ ? add_pcie_device()
                                        : tree_->add_device(usb);
  } catch (const std::exception& error) {
    ports_.clear();
    note(std::string("cannot plug in: ") + error.what());
    throw;
  }
  for (auto& port : ports_) {
    Port* raw = port.get();
    port->thread = std::thread([this, raw] { serve(raw); });
  }
  if (cdrom_ && !gadget_) watch_cdrom_node();
  note(std::string("plugged in") + (cdrom_ ? " as a CD-ROM" : "") +
       (diag_.mode() == ModemMode::DL ? " in DL mode" : ""));
  notify_presence();
}

void Modem::start_port(bool dm, int interface_number, int tty, UsbDeviceSpec* usb) {
  auto port = std::make_unique<Port>();
  const bool acm = dm && config_.dm_acm;
  port->dm = dm;
  port->interface_number = interface_number;
  port->com = acm ? acm_com_number(tty) : com_number(tty);
  port->node = root_ + (acm ? "/dev/ttyACM" : "/dev/ttyUSB") + std::to_string(tty);
  UsbInterfaceSpec itf;
  itf.number = interface_number;
  itf.kind = acm ? PortKind::Acm : PortKind::Serial;
  itf.index = tty;
  if (!gadget_) {
    port->line = std::make_unique<Pty>();
    itf.interface_class = acm ? 0x02 : 0xff;
    itf.node_target = port->line->path();
  }
  usb->interfaces.push_back(itf);
  ports_.push_back(std::move(port));
}

// Lays the device out on the gadget, binds it to the controller and opens the modem's end of
// each port. The host's names of the ports are the kernel's (see host_names).
DeviceHandle Modem::present_on_gadget(const UsbDeviceSpec& usb) {
  for (const UsbInterfaceSpec& itf : usb.interfaces) {
    if (itf.kind != PortKind::Serial) continue;
    std::string error;
    if (!bind_option_driver(usb.vid, usb.pid, &error)) note("option driver: " + error);
    break;
  }
  const std::map<int, int> ttys = gadget_->present(usb);
  for (auto& port : ports_) {
    port->line = std::make_unique<GadgetLine>(ttys.at(port->interface_number));
    port->com = 0;
    port->node.clear();
  }
  return DeviceHandle{1};
}

void Modem::host_names(std::vector<PortInfo>* ports) const {
  std::map<int, std::string> ttys;
  for (const HostPort& host : gadget_->host_ports(0)) ttys[host.interface_number] = host.tty;
  for (size_t i = 0; i < ports->size() && i < ports_.size(); ++i) {
    const std::string& tty = ttys[ports_[i]->interface_number];
    PortInfo& info = (*ports)[i];
    info.node = tty.empty() ? "" : "/dev/" + tty;
    info.com = tty.rfind("ttyUSB", 0) == 0   ? com_number(std::stoi(tty.substr(6)))
               : tty.rfind("ttyACM", 0) == 0 ? acm_com_number(std::stoi(tty.substr(6)))
                                             : 0;
  }
}

DeviceHandle Modem::add_pcie_device() {
  auto port = std::make_unique<Port>();
  port->dm = true;
  port->line = std::make_unique<Pty>();
  const std::string node = "wwan" + std::to_string(config_.wwan) + "qcdm0";
  port->com = kFirstQcdmCom + 10 * config_.wwan;
  port->node = root_ + "/dev/" + node;
  PciModemSpec pci;
  pci.vendor = config_.pci_vendor;
  pci.device = config_.pci_device;
  char address[16];
  std::snprintf(address, sizeof address, "0000:%02x:00.0", config_.pci_bus);
  pci.address = address;
  pci.wwan = config_.wwan;
  pci.node_target = port->line->path();
  ports_.push_back(std::move(port));
  return tree_->add_pci_modem(pci);
}

void Modem::unplug_locked() {
  if (!device_) return;
  for (auto& port : ports_) port->stop = true;
  for (auto& port : ports_) {
    if (port->thread.joinable()) port->thread.join();
  }
  // Closing the masters is the hang-up a reader of the port sees; by default it comes just
  // before the entries vanish, or as long before or after them as configured.
  if (gadget_) {
    // The kernel removes a gadget's tty function only once its users have closed it, so the
    // modem's ends close before the unbind that the host sees as the unplug.
    for (auto& port : ports_) port->line->close();
    gadget_->withdraw();
    device_.reset();
    ports_.clear();
    note("unplugged");
    notify_presence();
    return;
  }
  const int lead = config_.hangup_lead_ms;
  if (lead >= 0) {
    for (auto& port : ports_) port->line->close();
    std::this_thread::sleep_for(std::chrono::milliseconds(lead));
  }
  if (cdrom_watch_ >= 0 && inotify_fd_ >= 0) inotify_rm_watch(inotify_fd_, cdrom_watch_);
  cdrom_watch_ = -1;
  tree_->remove_device(*device_);
  if (lead < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(-lead));
    for (auto& port : ports_) port->line->close();
  }
  device_.reset();
  ports_.clear();
  note("unplugged");
  notify_presence();
}

void Modem::come_back_locked() {
  if (!started_ || device_) return;
  plug_locked();
  std::lock_guard state(state_mutex_);
  ++returns_;
  state_changed_.notify_all();
}

void Modem::notify_presence() {
  std::lock_guard lock(state_mutex_);
  present_ = device_.has_value();
  state_changed_.notify_all();
}

bool Modem::present() const {
  std::lock_guard lock(state_mutex_);
  return present_;
}

bool Modem::in_cdrom_mode() const {
  std::lock_guard lock(presence_mutex_);
  return cdrom_;
}

bool Modem::wait_present(bool present, int timeout_ms) const {
  std::unique_lock lock(state_mutex_);
  return state_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return present_ == present; });
}

bool Modem::wait_returns(int count, int timeout_ms) const {
  std::unique_lock lock(state_mutex_);
  return state_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return returns_ >= count && present_; });
}

int Modem::returns() const {
  std::lock_guard lock(state_mutex_);
  return returns_;
}

std::vector<PortInfo> Modem::ports() const {
  std::lock_guard lock(presence_mutex_);
  std::vector<PortInfo> out;
  for (const auto& port : ports_) {
    out.push_back({port->dm ? "DM" : "AT", port->com, port->node, port->line->path()});
  }
  if (gadget_ && device_) host_names(&out);
  return out;
}

int Modem::dm_com() const {
  for (const PortInfo& port : ports()) {
    if (port.role == "DM") return port.com;
  }
  return 0;
}

std::string Modem::dm_slave() const {
  for (const PortInfo& port : ports()) {
    if (port.role == "DM") return port.slave;
  }
  return {};
}

std::vector<HostMessage> Modem::history() const {
  std::lock_guard lock(state_mutex_);
  return history_;
}

void Modem::note(const std::string& line) {
  if (trace_) trace_(config_.busport + ": " + line);
}

// ---- serving ------------------------------------------------------------------------------

// How the trace names a port: its COM number, or on a gadget (whose host names the port) the
// gadget's tty.
std::string Modem::port_label(const Port& port) {
  return port.com != 0 ? "COM" + std::to_string(port.com) : port.line->path();
}

void Modem::serve(Port* port) {
  while (!port->stop) {
    const std::vector<uint8_t> bytes = port->line->read(kReadSliceMs);
    if (bytes.empty()) continue;
    for (const HostMessage& message : port->reader.feed(bytes.data(), bytes.size())) {
      if (port->stop) return;
      if (!port->dm) {
        if (message.kind == HostMessage::Kind::AtLine) {
          const std::string ok = "\r\nOK\r\n";
          port->line->write(reinterpret_cast<const uint8_t*>(ok.data()), ok.size());
        }
        continue;
      }
      serve_dm_message(port, message);
    }
  }
}

void Modem::serve_dm_message(Port* port, const HostMessage& message) {
  const std::string com = port_label(*port) + " ";
  if (message.kind == HostMessage::Kind::BadFrame) {
    note(com + "RX bad frame dropped");
    return;
  }
  {
    std::lock_guard lock(state_mutex_);
    if (history_.size() < kHistoryLimit) history_.push_back(message);
  }
  if (message.kind == HostMessage::Kind::AtLine) {
    const std::string line(message.bytes.begin(), message.bytes.end());
    note(com + "RX AT " + line);
    if (auto answer = diag_.answer_at(line)) {
      port->line->write(reinterpret_cast<const uint8_t*>(answer->data()), answer->size());
      note(com + "TX AT " + hex_dump({answer->begin(), answer->end()}));
    }
    return;
  }
  note(com + "RX " + hex_dump(message.bytes));
  serve_request(port, message.bytes);
}

void Modem::serve_request(Port* port, const std::vector<uint8_t>& request) {
  if (request.empty()) return;  // a frame of only its FCS: nothing to answer
  const std::optional<FaultSpec> fault = faults_.take(request[0]);
  if (fault && fault->kind == FaultKind::Unplug) {
    note("fault: unplug after the request");
    port->stop = true;
    post(0, [this] { unplug(); });
    if (fault->return_ms >= 0) {
      post(fault->return_ms, [this, other = fault->return_other_tty] {
        std::lock_guard lock(presence_mutex_);
        if (other) alternate_tty_ = !alternate_tty_;
        come_back_locked();
      });
    }
    return;
  }
  // A request the modem refuses or never answers does not act on the modem either.
  const bool refused =
      fault && (fault->kind == FaultKind::NoAnswer || fault->kind == FaultKind::BadLength ||
                fault->kind == FaultKind::SecurityLocked || fault->kind == FaultKind::BadCommand);
  const DiagAnswer answer = refused ? DiagAnswer{} : diag_.answer(request.data(), request.size());
  if (fault) note("fault " + std::to_string(static_cast<int>(fault->kind)));
  const bool written = write_steps(port, plan_answer(request, answer.payloads, fault));
  for (const auto& payload : answer.payloads) {
    if (written) note(port_label(*port) + " TX " + hex_dump(payload));
  }
  after_answer(answer.after);
}

bool Modem::write_steps(Port* port, const std::vector<WriteStep>& steps) {
  for (const WriteStep& step : steps) {
    if (step.pause_ms > 0) pause(step.pause_ms, port->stop);
    if (port->stop || !port->line->write(step.bytes)) return false;
  }
  return !steps.empty();
}

void Modem::after_answer(AfterAnswer after) {
  switch (after) {
    case AfterAnswer::Nothing:
      return;
    case AfterAnswer::ResetToDm:
      post(config_.leave_delay_ms, [this] { reenumerate(-1, true, ModemMode::DM); });
      return;
    case AfterAnswer::DownloadReenumerate:
      post(config_.leave_delay_ms, [this] { reenumerate(-1, true, ModemMode::DL); });
      return;
  }
}

// ---- bus thread -----------------------------------------------------------------------------

void Modem::post(int delay_ms, std::function<void()> action) {
  std::lock_guard lock(bus_mutex_);
  timed_.push_back(
      {std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms), std::move(action)});
}

void Modem::bus_loop() {
  while (!bus_stop_) {
    pollfd pfd{inotify_fd_, POLLIN, 0};
    if (poll(&pfd, 1, 5) > 0 && (pfd.revents & POLLIN)) {
      alignas(inotify_event) char buffer[4096];
      bool opened = false;
      ssize_t n;
      while ((n = ::read(inotify_fd_, buffer, sizeof buffer)) > 0) {
        for (char* p = buffer; p < buffer + n;) {
          auto* event = reinterpret_cast<inotify_event*>(p);
          opened = opened || (event->mask & IN_OPEN);
          p += sizeof(inotify_event) + event->len;
        }
      }
      if (opened) on_cdrom_opened();
    }
    if (gadget_ && poll_gadget_medium()) on_cdrom_opened();
    run_due_actions();
  }
}

void Modem::run_due_actions() {
  std::vector<std::function<void()>> due;
  {
    std::lock_guard lock(bus_mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = timed_.begin(); it != timed_.end();) {
      if (it->when <= now) {
        due.push_back(std::move(it->action));
        it = timed_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& action : due) {
    if (bus_stop_) break;
    try {
      action();
    } catch (const std::exception& error) {
      note(std::string("bus action failed: ") + error.what());
    }
  }
}

// On a real bus the CD-ROM turns into the modem when the host's eject reaches the gadget's
// LUN, which then has no medium.
bool Modem::poll_gadget_medium() {
  const auto now = std::chrono::steady_clock::now();
  if (now < next_medium_check_) return false;
  next_medium_check_ = now + std::chrono::milliseconds(50);
  std::lock_guard lock(presence_mutex_);
  return cdrom_ && device_ && gadget_->medium_ejected();
}

void Modem::watch_cdrom_node() {
  if (inotify_fd_ < 0) return;
  const std::string node = root_ + "/dev/sr" + std::to_string(config_.cdrom_index);
  cdrom_watch_ = inotify_add_watch(inotify_fd_, node.c_str(), IN_OPEN);
}

void Modem::on_cdrom_opened() {
  {
    std::lock_guard lock(presence_mutex_);
    if (!cdrom_ || !device_) return;
    note("CD-ROM ejected: becoming the modem");
    unplug_locked();
    cdrom_ = false;
  }
  post(config_.reenumerate_gap_ms, [this] {
    std::lock_guard lock(presence_mutex_);
    come_back_locked();
  });
}

}  // namespace kav::sim
