// The device-change monitor (CD-ROM eject) and the registry change monitor (COM port mask
// rebuilds), their threads and how they are stopped.
#include "lib/discovery/monitors.h"

#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/platform/cdrom_eject.h"
#include "lib/platform/clock.h"
#include "lib/platform/device_watch.h"
#include "lib/platform/error.h"
#include "lib/platform/sync.h"

namespace kav {
namespace {

constexpr const char* kEjectReport = "Brisco Mass Storage CD ROM Detected and Sent Eject Signal.";

// The monitor threads and the watchers they wait on. A thread publishes its watcher here while
// it waits on it, so that stop_monitors can wake it; it takes it back under the lock before
// destroying it. Lives until process end.
struct MonitorState {
  std::mutex lock;
  std::thread device_thread;
  std::thread registry_thread;
  bool enabled = true;    // start_monitors starts threads
  bool stopping = false;  // set by stop_monitors until both threads are joined
  platform::CdromWatcher* cdrom_watcher = nullptr;
  platform::DeviceWatcher* device_watcher = nullptr;
  platform::ManualResetEvent stopped;  // wakes a monitor that has no watcher to wait on
};

MonitorState& state() {
  static MonitorState* s = new MonitorState;
  return *s;
}

// Publishes `watcher` in `*slot`; false (watcher not published) when a stop is under way.
template <typename Watcher>
bool publish(Watcher* watcher, Watcher** slot) {
  MonitorState& s = state();
  std::lock_guard lock(s.lock);
  if (s.stopping) return false;
  *slot = watcher;
  return true;
}

template <typename Watcher>
void withdraw(Watcher** slot) {
  std::lock_guard lock(state().lock);
  *slot = nullptr;
}

bool contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

// The maker's mass-storage CD-ROM, by the words of its (lower-cased) interface path.
bool is_maker_cdrom(const std::string& lower_path) {
  return contains(lower_path, "usbstor") &&
         (contains(lower_path, "ven_brisco") || contains(lower_path, "ven_zqtl")) &&
         (contains(lower_path, "prod_mass_storage") || contains(lower_path, "prod_autoinstall"));
}

// Logs every failed call of an eject with its errno, or the drive's SCSI status when it
// refused, then whether the drive was ejected (the attempt itself is reported before, in any
// case).
void report_eject_outcome(const std::string& path, const platform::EjectOutcome& outcome) {
  const std::string& drive = outcome.node.empty() ? path : outcome.node;
  for (const platform::EjectFailure& failure : outcome.failures) {
    const std::string why =
        failure.error != 0
            ? platform::system_error_text(failure.error) + " (" +
                  platform::system_error_number(failure.error) + ")"
            : "refused by the drive, " + platform::scsi_result_text(failure.scsi_result);
    show_msg("CD ROM eject: %s of %s failed %d time%s: %s.\n", failure.call.c_str(), drive.c_str(),
             failure.times, failure.times == 1 ? "" : "s", why.c_str());
  }
  std::string line;
  if (outcome.error == 0) {
    line = "CD ROM " + drive +
           (outcome.left_the_bus ? " ejected: the drive left the bus." : " ejected.");
  } else if (outcome.scsi_result != 0) {
    line = "ERROR: CD ROM " + drive + " was not ejected: the drive refused it, " +
           platform::scsi_result_text(outcome.scsi_result) + ".";
  } else {
    line = "ERROR: CD ROM " + drive +
           " was not ejected: " + platform::system_error_text(outcome.error) + " (" +
           platform::system_error_number(outcome.error) + ").";
  }
  show_msg("%s\n", line.c_str());
  comm_log_record(line.c_str(), nullptr, -1);
}

// Waits for CD-ROM arrivals and removals until stopped, running the eject scan on each.
void watch_cdroms(platform::CdromWatcher& watcher) {
  for (;;) {
    switch (watcher.wait(platform::kInfinite)) {
      case platform::CdromEvent::Arrival:
      case platform::CdromEvent::Removal:
        scan_for_and_eject_zqtl_cdrom();
        break;
      case platform::CdromEvent::Stopped:
        return;
      case platform::CdromEvent::None:
        break;
    }
  }
}

// Rebuilds the mask on every change and every interval until stopped. False when the watch
// failed (reported): the monitor then ends at once, without its shutdown message.
bool watch_registry(platform::DeviceWatcher& watcher) {
  // When the last rebuild began: a change whose events were all read before then is in it
  // already (one burst reports device nodes and then services, and needs one rebuild).
  int64_t rebuilt_at = std::numeric_limits<int64_t>::min();
  const auto rebuild = [&](const char* tag) {
    rebuilt_at = platform::perf_counter();
    update_com_port_mask(tag);
  };
  const auto rebuild_unless_seen = [&](const char* tag) {
    if (watcher.change_seen_at() >= rebuilt_at) rebuild(tag);
  };
  for (;;) {
    // Read anew before every wait, so that a changed interval applies from the next wait on.
    const auto interval =
        static_cast<uint32_t>(timeout(Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL));
    switch (watcher.wait(interval)) {
      case platform::DeviceChange::DevNodes:
        rebuild_unless_seen("RSC CHG");
        break;
      case platform::DeviceChange::Services:
        rebuild_unless_seen("RSV CHG");
        break;
      case platform::DeviceChange::None:
        rebuild("INTRVAL");
        break;
      case platform::DeviceChange::Stopped:
        return true;
      case platform::DeviceChange::RearmFailed:
        show_msg("ERROR: Failed to reregister for registry change.\n");
        return false;
      case platform::DeviceChange::WaitFailed:
        show_msg("ERROR: Unexpected Wait error: %d\n", watcher.wait_error());
        return false;
    }
  }
}

// Reports a watch that could not be had at the monitor's start: the device-node watch stands
// for the device map key, the USB device watch for the services key.
void report_watch_failure(platform::DeviceChange failed, bool arming, int error) {
  const bool services = failed == platform::DeviceChange::Services;
  if (arming) {
    show_msg(services ? "ERROR: Failed to register for Services registry changes.\n"
                      : "ERROR: Failed to register for SERIALCOMM registry changes.\n");
    return;
  }
  show_msg("ERROR: Failed to open registry monitor key for %s (%d, %s).\n",
           services ? "SYSTEM\\CurrentControlSet\\Services" : "HARDWARE\\DEVICEMAP", error,
           platform::system_error_text(error).c_str());
}

}  // namespace

void scan_for_and_eject_zqtl_cdrom() {
  std::vector<std::string> paths;
  if (platform::enumerate_interfaces(platform::InterfaceClass::CdRom, &paths) != 0) {
    show_msg("ERROR: scan_for_and_eject_zqtl_cdrom failed to SetupDiGetClassDevs\n");
    return;
  }
  for (const std::string& path : paths) {
    std::string lower = path;
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (!is_maker_cdrom(lower)) continue;
    // The drive is opened, given 5 ms before the eject request, and closed. The attempt is
    // reported whatever came of it; the next line says whether the drive took it.
    const platform::EjectOutcome outcome = platform::eject_cdrom(path, 5);
    show_msg("%s\n", kEjectReport);
    comm_log_record(kEjectReport, nullptr, -1);
    report_eject_outcome(path, outcome);
  }
}

void wm_devicechange_monitor() {
  MonitorState& s = state();
  int error = 0;
  std::unique_ptr<platform::CdromWatcher> watcher = platform::CdromWatcher::open(&error);
  if (!watcher) {
    show_msg("ERROR: wm_devicechange_monitor_WndProc -- RegisterDeviceNotification failed: %lx.\n",
             static_cast<unsigned long>(error));
  }
  // A CD-ROM present before the thread started is handled too.
  scan_for_and_eject_zqtl_cdrom();
  if (watcher && publish(watcher.get(), &s.cdrom_watcher)) {
    watch_cdroms(*watcher);
    withdraw(&s.cdrom_watcher);
  } else if (!watcher) {
    // Without notifications the thread keeps only its start-up scan and waits to be stopped.
    s.stopped.wait(platform::kInfinite);
  }
  show_msg("WM_DEVICECHANGE Monitor thread shutting down.\n");
}

void registry_change_monitor() {
  MonitorState& s = state();
  registry_monitor_started_event().set();
  update_com_port_mask("RCM INI");
  int error = 0;
  platform::DeviceChange failed = platform::DeviceChange::DevNodes;
  bool arming = false;
  std::unique_ptr<platform::DeviceWatcher> watcher =
      platform::DeviceWatcher::open(&error, &failed, &arming);
  if (!watcher) {
    report_watch_failure(failed, arming, error);
    return;
  }
  if (publish(watcher.get(), &s.device_watcher)) {
    const bool ended_well = watch_registry(*watcher);
    withdraw(&s.device_watcher);
    if (!ended_well) return;
  }
  show_msg("Registry Change Monitor thread shutting down.\n");
}

void start_monitors() {
  MonitorState& s = state();
  std::lock_guard lock(s.lock);
  if (!s.enabled || s.device_thread.joinable() || s.registry_thread.joinable()) return;
  s.stopping = false;
  s.stopped.reset();
  s.device_thread = std::thread(wm_devicechange_monitor);
  s.registry_thread = std::thread(registry_change_monitor);
}

void set_monitors_enabled(bool enabled) {
  MonitorState& s = state();
  std::lock_guard lock(s.lock);
  s.enabled = enabled;
}

void stop_monitors() {
  MonitorState& s = state();
  std::thread device_thread;
  std::thread registry_thread;
  {
    std::lock_guard lock(s.lock);
    s.stopping = true;
    s.stopped.set();
    if (s.cdrom_watcher) s.cdrom_watcher->stop();
    if (s.device_watcher) s.device_watcher->stop();
    device_thread = std::move(s.device_thread);
    registry_thread = std::move(s.registry_thread);
  }
  if (device_thread.joinable()) device_thread.join();
  if (registry_thread.joinable()) registry_thread.join();
  // Waiters from now on wait for the next monitor, whose first rebuild sees what was plugged
  // in meanwhile, instead of passing on the stopped one's signal and a stale mask.
  registry_monitor_started_event().reset();
  std::lock_guard lock(s.lock);
  s.stopping = false;
}

}  // namespace kav
