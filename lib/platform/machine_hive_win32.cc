// The machine hive on Windows: the real HKEY_LOCAL_MACHINE, where the plug-and-play manager
// keeps each device's PORTNAME, Driver and AttachedTo. The library only reads it.
#include <atomic>
#include <cerrno>

#include "lib/platform/machine_hive.h"
#include "lib/platform/win32.h"
#include "lib/platform/win32_registry.h"

namespace kav::platform {

namespace {
std::atomic<RegistryHive*> g_replacement{nullptr};
thread_local bool t_snapshot = false;
}  // namespace

int DeviceMachineHive::open_key(const std::string& path, bool create) {
  HKEY key = nullptr;
  const int error = win32::open_registry_key(HKEY_LOCAL_MACHINE, path, false, false, &key);
  if (error == 0) RegCloseKey(key);
  if (error == ENOENT && create) return EACCES;
  return error;
}

int DeviceMachineHive::query_value(const std::string& path, const std::string& name,
                                   RegValue* out) {
  return win32::query_registry_value(HKEY_LOCAL_MACHINE, path, name, out);
}

int DeviceMachineHive::set_dword(const std::string&, const std::string&, uint32_t) {
  return EACCES;
}

// The registry answers each query itself; the snapshot only shares one device scan among the
// enumerations made while it lives.
MachineHiveSnapshot::MachineHiveSnapshot() {
  if (t_snapshot) return;
  scan_.emplace();
  t_snapshot = true;
  outermost_ = true;
}

MachineHiveSnapshot::~MachineHiveSnapshot() {
  if (outermost_) t_snapshot = false;
}

RegistryHive& machine_hive() {
  if (RegistryHive* replacement = g_replacement.load()) return *replacement;
  static DeviceMachineHive hive;
  return hive;
}

void set_machine_hive(RegistryHive* hive) {
  g_replacement.store(hive);
}

}  // namespace kav::platform
