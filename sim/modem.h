// A simulated Qualcomm-based USB modem on pseudo-terminals. Started in a device root, it shows
// itself the way the kernel would (sysfs entries and /dev nodes, through a DeviceTree), serves
// its DM port (DIAG, see DiagTask) and its AT port from one thread per port, and leaves and
// rejoins the bus as a real modem does: after a reset, on the switch to its downloader, on the
// CD-ROM eject, on demand, and as a fault in the middle of an exchange. Each return after a
// re-enumeration alternates between the configured and the alternate tty indexes, so the
// library sees another COM number.
//
// Threads: one serving thread per present port, and one bus thread (timed presence changes
// and the CD-ROM node watch). Presence changes are serialised by the modem's presence mutex;
// serving threads never take it (they post presence changes to the bus thread). Every public
// member may be called from any thread except that stop() (and the destructor) must not be
// called from a callback of the modem.
//
// With a USB device controller configured (gadget mode) the modem shows itself through a
// Gadget on a real bus instead, and the machine's own drivers make its ports.
//
// Lifetime: start() plugs the modem in; stop() (also run by the destructor) removes its sysfs
// entries and /dev nodes, closes its pseudo-terminals and, when it is the last modem of its
// root in this process, removes the empty directories of the device skeleton. Only the NV store
// file stays in the root.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/device_tree.h"
#include "sim/diag_task.h"
#include "sim/faults.h"
#include "sim/gadget.h"
#include "sim/modem_config.h"
#include "sim/nv_store.h"
#include "sim/request_reader.h"

namespace kav::sim {

// A port of the modem as present now.
struct PortInfo {
  std::string role;   // "DM" or "AT"
  int com = 0;        // COM number (0: gadget mode, no host driver has bound the port yet)
  std::string node;   // <root>/dev/ttyUSB<k>; in gadget mode the host's /dev/tty<...>
  std::string slave;  // the pseudo-terminal slave the node links to, or /dev/ttyGS<n>
};

class Modem {
 public:
  Modem(std::string root, ModemConfig config);
  ~Modem();
  Modem(const Modem&) = delete;
  Modem& operator=(const Modem&) = delete;

  // Plugs the modem in (as a CD-ROM first when so configured) and starts the bus thread.
  void start();
  // Removes the modem from the bus and stops every thread. Idempotent.
  void stop();

  // Presence on demand. unplug(): the pseudo-terminal masters close, then the entries vanish.
  // plug(): back under the current tty indexes, in the current mode. reenumerate(): leave now
  // and come back after `gap_ms` (negative: the configured gap), under the other tty indexes
  // when `other_tty`, in `mode` when given.
  void unplug();
  void plug();
  void reenumerate(int gap_ms = -1, bool other_tty = true,
                   std::optional<ModemMode> mode = std::nullopt);

  bool present() const;
  bool in_cdrom_mode() const;
  // Waits until the modem is (or is not) present, at most `timeout_ms`.
  bool wait_present(bool present, int timeout_ms) const;
  // Waits until the modem has come back at least `count` times since start.
  bool wait_returns(int count, int timeout_ms) const;
  int returns() const;

  std::vector<PortInfo> ports() const;
  // The DM port's COM number (0 when absent) and pseudo-terminal slave.
  int dm_com() const;
  std::string dm_slave() const;
  const std::string& root() const { return root_; }

  DiagTask& diag() { return diag_; }
  NvStore& nv() { return nv_; }
  void add_fault(const FaultSpec& fault) { faults_.add(fault); }
  FaultQueue& faults() { return faults_; }

  // What the host sent to the DM port so far: frames (payloads) and AT lines, in order.
  std::vector<HostMessage> history() const;

  // Receives one line per frame or AT line received and answer sent; set before start().
  void set_trace(std::function<void(const std::string&)> trace) { trace_ = std::move(trace); }

 private:
  struct Port;
  struct Timed {
    std::chrono::steady_clock::time_point when;
    std::function<void()> action;
  };

  void plug_locked();
  // Plugs in after a re-enumeration gap and counts the return (nothing once stopped).
  void come_back_locked();
  void unplug_locked();
  UsbDeviceSpec device_spec() const;
  void start_port(bool dm, int interface_number, int tty, UsbDeviceSpec* usb);
  DeviceHandle present_on_gadget(const UsbDeviceSpec& usb);
  void host_names(std::vector<PortInfo>* ports) const;
  DeviceHandle add_pcie_device();
  static std::string port_label(const Port& port);
  void serve(Port* port);
  void serve_dm_message(Port* port, const HostMessage& message);
  void serve_request(Port* port, const std::vector<uint8_t>& request);
  bool write_steps(Port* port, const std::vector<WriteStep>& steps);
  void after_answer(AfterAnswer after);
  void post(int delay_ms, std::function<void()> action);
  void bus_loop();
  void run_due_actions();
  void watch_cdrom_node();
  bool poll_gadget_medium();
  void on_cdrom_opened();
  void note(const std::string& line);
  void notify_presence();

  const std::string root_;
  const ModemConfig config_;
  NvStore nv_;
  DiagTask diag_;
  FaultQueue faults_;
  std::function<void(const std::string&)> trace_;

  mutable std::mutex presence_mutex_;
  std::optional<DeviceTree> tree_;
  std::unique_ptr<Gadget> gadget_;  // gadget mode only
  std::optional<DeviceHandle> device_;
  std::vector<std::unique_ptr<Port>> ports_;
  bool cdrom_ = false;
  bool alternate_tty_ = false;
  bool started_ = false;

  mutable std::mutex state_mutex_;  // guards the fields below; notified on presence changes
  mutable std::condition_variable state_changed_;
  bool present_ = false;
  int returns_ = 0;
  std::vector<HostMessage> history_;

  std::mutex bus_mutex_;
  std::vector<Timed> timed_;
  std::atomic<bool> bus_stop_{false};
  std::thread bus_thread_;
  int inotify_fd_ = -1;
  int cdrom_watch_ = -1;
  std::chrono::steady_clock::time_point next_medium_check_;
};

}  // namespace kav::sim
