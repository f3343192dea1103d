// The two background monitors that keep the COM port mask current: the device-change monitor
// (ejects the maker's install CD-ROM at start and whenever a CD-ROM comes or goes) and the
// registry change monitor (rebuilds the mask at start, on every device-node or USB device
// change, and every REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL milliseconds).
//
// Threading: start_monitors runs on the host thread at attach; each monitor then runs on its
// own thread until stop_monitors (library shut-down, tests) or a failure it reports.
#pragma once

namespace kav {

// Thread bodies.
void wm_devicechange_monitor();
void registry_change_monitor();

// Finds the maker's mass-storage CD-ROMs (usbstor; ven_brisco or ven_zqtl; prod_mass_storage or
// prod_autoinstall) and sends each an eject request.
void scan_for_and_eject_zqtl_cdrom();

// Starts the device-change monitor, then the registry change monitor.
void start_monitors();

// Whether start_monitors starts the threads (on by default). Tests of other subsystems that
// count log lines written after attach switch it off; stop_monitors is unaffected.
void set_monitors_enabled(bool enabled);

// Asks both monitors to end and waits for them. Safe when none runs.
void stop_monitors();

}  // namespace kav
