// Change notifications of the device view, standing in for registry change notifications and
// device broadcasts. (The CD-ROM eject request lives in lib/platform/cdrom_eject.h.)
//
//  - DeviceWatcher reports changes of device nodes (inotify on <root>/dev: entries created,
//    deleted or moved; the "device map" branch) and of USB devices and their drivers (the
//    "services" branch): when <root>/sys is a sysfs mount (the real root, a chroot or a
//    container with /sys bind-mounted), kernel uevents of the usb, tty and wwan subsystems (add,
//    remove, bind, unbind), since inotify never fires on sysfs; in any other root (a test or
//    simulator tree), inotify on <root>/sys/bus/usb/devices.
//  - CdromWatcher reports sr<k> nodes created (arrival) or deleted (removal) under <root>/dev.
//
// A burst of events (one device appearing touches many entries) is collected for the settle
// period from its first event (or until just after a tty node appears) and reported as one
// change of each kind it contains; an event that arrives after a change was reported is reported by
// the next wait, so no change is lost. CD-ROM events are not merged: each arrival or removal of an
// sr node is one report.
//
// Threading: one thread waits; stop() may be called from any thread at any time, wakes the
// waiter, and makes every later wait return Stopped at once. Lifetime: the watcher must outlive
// its waiter (stop it, join the waiter, then destroy it).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace kav::platform {

enum class DeviceChange {
  None,         // the time-out passed without a change
  DevNodes,     // device nodes came or went (rebuild tag "RSC CHG")
  Services,     // USB devices or their drivers came or went (rebuild tag "RSV CHG")
  Stopped,      // stop() was called
  RearmFailed,  // a watch the kernel dropped could not be armed again; later waits see nothing
  WaitFailed,   // the wait itself failed (wait_error() tells why)
};

class DeviceWatcher {
 public:
  // Opens the watches of the current root. None on failure, with the error code in *error
  // (ENOENT when <root>/dev or <root>/sys/bus/usb/devices is missing).
  // `failed_watch` (may be null) tells which watch could not be opened: DevNodes or Services;
  // `arming_failed` (may be null) whether its directory was there but could not be watched.
  static std::unique_ptr<DeviceWatcher> open(int* error, DeviceChange* failed_watch = nullptr,
                                             bool* arming_failed = nullptr);
  ~DeviceWatcher();
  DeviceWatcher(const DeviceWatcher&) = delete;
  DeviceWatcher& operator=(const DeviceWatcher&) = delete;

  // Waits at most `timeout_ms` (kInfinite: no limit) for a change. When both kinds are
  // pending, DevNodes is reported first and Services by the next call.
  // The kernel drops a watch when its directory goes (a test or simulator root removed and
  // made again): that is reported as a change, and the watch is armed again as soon as the
  // directory is back, which is one more change. A directory that stays away for
  // kRearmGraceMs makes a wait return RearmFailed.
  DeviceChange wait(uint32_t timeout_ms);

  // The error code of the failure behind the last RearmFailed or WaitFailed.
  int wait_error() const { return wait_error_; }

  // When the last event behind the DevNodes or Services change just reported was read
  // (perf_counter()): a rescan begun after it has seen that change.
  int64_t change_seen_at() const { return change_seen_at_; }

  static constexpr uint32_t kRearmGraceMs = 1000;

  void stop();

  // True when the services watch is the kernel's uevent socket (<root>/sys is sysfs).
  bool uses_uevents() const { return uevent_fd_ >= 0; }

 private:
  // One inotify watch on a directory, and whether the kernel has dropped it.
  struct DirWatch {
    std::string dir;
    int fd = -1;
    bool dropped = false;
  };

  DeviceWatcher() = default;
  int poll_once(uint32_t limit_ms);
  DeviceChange wait_for_first(uint32_t timeout_ms);
  bool collect_burst();
  bool rearm_dropped();
  void read_dev_events();
  void read_services_events();

  int stop_fd_ = -1;    // eventfd written by stop()
  DirWatch dev_;        // inotify on <root>/dev
  DirWatch bus_;        // inotify on <root>/sys/bus/usb/devices (test roots)
  int uevent_fd_ = -1;  // NETLINK_KOBJECT_UEVENT (<root>/sys is sysfs)
  bool dev_pending_ = false;
  bool services_pending_ = false;
  bool tty_node_created_ = false;  // in the burst being collected
  int64_t dev_seen_at_ = 0;
  int64_t services_seen_at_ = 0;
  int64_t change_seen_at_ = 0;
  uint32_t dropped_at_ = 0;  // tick of the first drop not yet armed again
  int wait_error_ = 0;
};

enum class CdromEvent { None, Arrival, Removal, Stopped };

class CdromWatcher {
 public:
  // Watches <root>/dev. None on failure, with the error code in *error.
  static std::unique_ptr<CdromWatcher> open(int* error);
  ~CdromWatcher();
  CdromWatcher(const CdromWatcher&) = delete;
  CdromWatcher& operator=(const CdromWatcher&) = delete;

  // Waits at most `timeout_ms` for the next arrival or removal of an sr<k> node.
  CdromEvent wait(uint32_t timeout_ms);

  void stop();

 private:
  CdromWatcher() = default;
  void read_events();

  int stop_fd_ = -1;
  int dev_fd_ = -1;
  std::deque<CdromEvent> queued_;
};

// Test seam: the next DeviceWatcher::open takes `fd` (a datagram socket carrying messages in
// the kernel's uevent format) as its uevent socket, whatever the root, and owns it from then
// on. A descriptor handed in earlier and not yet taken is closed.
void use_uevent_socket_for_next_watcher(int fd);

// How long a wait keeps collecting a burst after its first event before it reports (ms), at
// most: a burst in which a tty device node (ttyUSB<k>, ttyACM<k>) appears ends 1 to 2 ms after
// it, as the kernel creates the node last. Settable so that tests can make bursts explicit;
// 20 ms by default.
void set_device_event_settle_ms(uint32_t ms);

}  // namespace kav::platform
