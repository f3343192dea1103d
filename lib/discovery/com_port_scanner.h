// The COM port scanner: finds the modem's ports among the device interfaces present, keeps the
// COM port mask (which COM numbers carry a present DM port) and answers which DM port is there,
// waiting for one to appear or vanish.
//
// Threading: scans run on any thread, one at a time under the scan lock. The mask lock guards
// the mask; update_com_port_mask takes the scan lock (inside get_com_port_list) and releases it
// before it takes the mask lock, so no thread ever holds both. Whole rebuilds (scan and mask
// write) run one at a time under the rebuild lock, taken outside the other two. The mask-changed and
// registry-monitor-started events are manual-reset so that every waiter sees them. The log
// mutex (lib/core/messages.h) is always taken innermost.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lib/platform/devices.h"
#include "lib/platform/sync.h"

namespace kav {

// One port found by a scan. Texts longer than their fields are cut to fit (with their
// terminating zero); real identifiers are far shorter.
struct PortScanEntry {
  int32_t modem_family;       // family of `name`; 0 for an unrecognised port
  int32_t port_type;          // from the port map; PT_OCP for an unrecognised port
  char name[128];             // modem name, or "Unrecognized Port"
  char device_ident[128];     // upper-case identifier, after the revision fallback if tried
  char device_instance[256];  // device instance identifier, letter case as in the path
  int32_t reset_method;       // default reset method; 4 for an unrecognised port
  int32_t com_port;           // 1 or more; 0 for PT_HID and PT_RNDIS interfaces
  bool present;               // set on every entry a scan adds
};

// The result of a scan, owned by the caller. A scan that adds nothing yields no list.
struct PortScanList {
  int32_t count = 0;
  int32_t present_count = 0;
  std::vector<PortScanEntry> entries;  // capacity() is the list's capacity
};
using PortScanListPtr = std::unique_ptr<PortScanList>;

// The texts a scan derives from an interface path: the device instance (path less its first
// four characters, cut at "#{", '#' turned to '\') and the identifier (the instance cut before
// its second backslash, upper-cased).
struct InterfaceTexts {
  std::string device_instance;
  std::string device_ident;
};
// The path is cut to the scanner's 260-byte work buffer (259 characters after the first four)
// before the instance is taken, so an over-long path yields a shortened instance, never more.
InterfaceTexts derive_interface_texts(const std::string& interface_path);

// The COM number the machine hive gives `device_instance`: "PORTNAME" under its
// "Device Parameters" key, else "AttachedTo" under the Class key its "Driver" value names. A
// value counts when it starts with "COM" (upper case), is longer than that, and the number
// after it (as atoi reads it) is 1..65535. 0 when none counts or a key path is too long.
int com_port_of_instance(const std::string& device_instance);

// Walks the modem, COM port, USB device and HID classes and keeps the interfaces of
// `requested_type` (and, for PT_OCP, the unrecognised COM ports).
PortScanListPtr scan_for_comports(int32_t requested_type);

// scan_for_comports under the scan lock, sorted by COM number.
PortScanListPtr get_com_port_list(int32_t requested_type);

// Rebuilds the mask from a PT_DM scan, logs it with "<tag> COM_PORT_MASK" and sets the
// mask-changed event. Rebuilds do not overlap, so the last one to start writes the mask last.
void update_com_port_mask(const char* tag);

// The DM port now: with `requested_port` 0 the single DM port, 0 for none, -1 (reported) for
// more than one; otherwise `requested_port` when its bit is set, else 0.
int get_dm_port(int requested_port);

// Waits until a DM port is there (`want_present`) or gone, at most `limit_ms`; the result as
// get_dm_port's, 0 on time-out. Sleeps on the mask-changed event between looks.
int get_dm_port_wait(uint32_t limit_ms, bool want_present, int requested_port);

// " (<name> -- <identifier>)" of the DM (else AT) port with that COM number, or empty.
std::string port_description(int com_port);

// Diagnostic listings written with log_note_both.
void get_device_list_by_guid(platform::InterfaceClass interface_class);
void log_all_current_devices(const char* context);

// The lock that serialises scans; port map updates take it too, so that a map change never
// meets a scan in progress.
std::recursive_mutex& scan_lock();

// The event the registry change monitor sets when it runs; waits for a DM port wait on it.
platform::ManualResetEvent& registry_monitor_started_event();

// The mask bytes now (tests and diagnostics).
std::vector<uint8_t> com_port_mask_bytes();

// Back to the state of a fresh process: no mask, events clear.
void reset_scanner();

}  // namespace kav
