// The machine hive (HKEY_LOCAL_MACHINE) synthesised from the device view: read only.
//
//  - SYSTEM\CurrentControlSet\Enum\<device instance>\Device Parameters holds PORTNAME, REG_SZ
//    "COM<n>" with its terminating zero, for every member of the COM port class whose tty has a
//    COM number. <device instance> is device_instance_of_path() of the member's interface path.
//  - Keys exist as a registry tree would have them: every parent of such a key, and the two
//    branches that the change monitors open, "HARDWARE\DEVICEMAP" and
//    "SYSTEM\CurrentControlSet\Services" (with their parents); none of these holds a value.
//  - Everything else is missing (ENOENT). open_key with create fails with EACCES for a missing
//    key, set_dword always with EACCES.
//
// Key paths and value names are compared without letter case. Every query reads the device
// view afresh, unless the calling thread holds a MachineHiveSnapshot.
// Threading: any thread; the object holds no mutable state.
#pragma once

#include <optional>
#include <string>

#include "lib/platform/devices.h"
#include "lib/platform/registry.h"

namespace kav::platform {

class DeviceMachineHive : public RegistryHive {
 public:
  int open_key(const std::string& path, bool create) override;
  int query_value(const std::string& path, const std::string& name, RegValue* out) override;
  int set_dword(const std::string& path, const std::string& name, uint32_t value) override;
};

// While one lives, the calling thread's queries of the device machine hive answer from one
// reading of the device view taken when it was created, so that a scan making a look-up per
// interface reads the device view once instead of once per look-up. Nesting is allowed (the
// outermost snapshot is used). Create and destroy on the same thread. The outermost snapshot
// also holds a DeviceScan (lib/platform/devices.h), so the enumerations made while it lives
// share the reading of the device view that the snapshot took.
class MachineHiveSnapshot {
 public:
  MachineHiveSnapshot();
  ~MachineHiveSnapshot();
  MachineHiveSnapshot(const MachineHiveSnapshot&) = delete;
  MachineHiveSnapshot& operator=(const MachineHiveSnapshot&) = delete;

 private:
  std::optional<DeviceScan> scan_;
  bool outermost_ = false;
};

}  // namespace kav::platform
