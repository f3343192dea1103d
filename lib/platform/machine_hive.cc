#include "lib/platform/machine_hive.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <vector>

#include "lib/platform/devices.h"
#include "lib/platform/text.h"

namespace kav::platform {

namespace {

constexpr char kEnumPrefix[] = "system\\currentcontrolset\\enum\\";
constexpr char kParametersSuffix[] = "\\device parameters";

std::string folded(const std::string& text) {
  std::string out = ascii_lower(text);
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

// The (lower-case) Device Parameters key paths of the present serial members, with their COM
// numbers.
struct PortKey {
  std::string key;
  int com = 0;
};

// The snapshot of the calling thread, when it holds a MachineHiveSnapshot: sorted by key.
thread_local const std::vector<PortKey>* t_snapshot = nullptr;

bool key_less(const PortKey& a, const PortKey& b) {
  return a.key < b.key;
}

std::vector<PortKey> read_port_keys() {
  std::vector<PortKey> keys;
  std::vector<DeviceInterface> members;
  if (enumerate_interfaces(InterfaceClass::ComPort, &members) != 0) return keys;
  for (const DeviceInterface& member : members) {
    const int com = com_number_of_node(member.node);
    if (com == 0) continue;
    keys.push_back(
        {folded(kEnumPrefix + device_instance_of_path(member.path) + kParametersSuffix), com});
  }
  std::stable_sort(keys.begin(), keys.end(), key_less);
  return keys;
}

// The snapshot's keys, or a fresh reading kept in `*fresh`.
const std::vector<PortKey>& port_keys(std::vector<PortKey>* fresh) {
  if (t_snapshot) return *t_snapshot;
  *fresh = read_port_keys();
  return *fresh;
}

// The first key at or after `key` in sorted `keys`.
std::vector<PortKey>::const_iterator first_from(const std::vector<PortKey>& keys,
                                                const std::string& key) {
  return std::lower_bound(keys.begin(), keys.end(), PortKey{key, 0}, key_less);
}

// True when `key` is `path` or one of its parents.
bool is_key_or_parent(const std::string& key, const std::string& path) {
  if (key.size() > path.size() || path.compare(0, key.size(), key) != 0) return false;
  return key.size() == path.size() || path[key.size()] == '\\';
}

bool key_exists(const std::string& key) {
  if (key.empty()) return false;
  for (const char* fixed : {"hardware\\devicemap", "system\\currentcontrolset\\services",
                            "system\\currentcontrolset\\enum"}) {
    if (is_key_or_parent(key, fixed)) return true;
  }
  // Keys below `key` sort together right after `key` + '\\'.
  std::vector<PortKey> fresh;
  const std::vector<PortKey>& keys = port_keys(&fresh);
  const auto exact = first_from(keys, key);
  if (exact != keys.end() && exact->key == key) return true;
  const auto below = first_from(keys, key + '\\');
  return below != keys.end() && is_key_or_parent(key, below->key);
}

std::atomic<RegistryHive*> g_replacement{nullptr};

}  // namespace

int DeviceMachineHive::open_key(const std::string& path, bool create) {
  if (key_exists(folded(path))) return 0;
  return create ? EACCES : ENOENT;
}

int DeviceMachineHive::query_value(const std::string& path, const std::string& name,
                                   RegValue* out) {
  if (folded(name) != "portname") return ENOENT;
  const std::string key = folded(path);
  std::vector<PortKey> fresh;
  const std::vector<PortKey>& keys = port_keys(&fresh);
  // Equal keys (two ttys on one interface) answer with the first, as a linear search did.
  const auto port = first_from(keys, key);
  if (port == keys.end() || port->key != key) return ENOENT;
  const std::string text = "COM" + std::to_string(port->com);
  out->type = kRegSz;
  out->data.assign(text.begin(), text.end());
  out->data.push_back(0);
  return 0;
}

int DeviceMachineHive::set_dword(const std::string&, const std::string&, uint32_t) {
  return EACCES;
}

MachineHiveSnapshot::MachineHiveSnapshot() {
  if (t_snapshot) return;
  scan_.emplace();  // the scan that takes the snapshot shares its reading of the device view
  t_snapshot = new std::vector<PortKey>(read_port_keys());
  outermost_ = true;
}

MachineHiveSnapshot::~MachineHiveSnapshot() {
  if (!outermost_) return;
  delete t_snapshot;
  t_snapshot = nullptr;
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
