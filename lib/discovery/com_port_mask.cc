// The COM port mask (which COM numbers carry a present DM port), the DM port queries and waits
// built on it, and the port description text.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "lib/core/messages.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/port_map.h"
#include "lib/platform/clock.h"

namespace kav {
namespace {

// The mask grows to at least this many bytes when it grows at all.
constexpr size_t kMinMaskBytes = 8;

// The mask and its events. `exists` stays false until a rebuild finds a DM port; the bytes
// never shrink. Lives until process end (monitor threads may use it during exit).
struct MaskState {
  std::mutex rebuild_lock;  // one rebuild (scan and write) at a time; taken before the others
  std::mutex lock;          // guards exists and bytes
  bool exists = false;
  std::vector<uint8_t> bytes;
  platform::ManualResetEvent changed;
  platform::ManualResetEvent monitor_started;
  std::mutex description_lock;  // guards description
  char description[128] = {};
};

MaskState& state() {
  static MaskState* s = new MaskState;
  return *s;
}

// Sets the bits of the present entries, growing the mask as needed. Caller holds the lock.
void fill_mask(MaskState& s, const PortScanList* list) {
  std::fill(s.bytes.begin(), s.bytes.end(), 0);
  if (!list) return;
  for (const PortScanEntry& e : list->entries) {
    if (e.com_port < 0) continue;  // never produced by a scan; no negative bit positions
    const size_t needed = static_cast<size_t>(e.com_port) / 8 + 1;
    if (s.bytes.size() < needed) s.bytes.resize(std::max(needed, kMinMaskBytes), 0);
    s.exists = true;
    if (e.present) s.bytes[e.com_port / 8] |= static_cast<uint8_t>(1u << (e.com_port % 8));
  }
}

// Writes " (<name> -- <ident>)" of the first entry of `type` on `com_port` with a name into
// the description buffer. True when it wrote one.
bool describe_from(MaskState& s, int32_t type, int com_port) {
  PortScanListPtr list = get_com_port_list(type);
  if (!list) return false;
  for (const PortScanEntry& e : list->entries) {
    if (e.com_port != com_port || e.name[0] == '\0') continue;
    // At most 127 characters are kept; a name and identifier of full field length are cut.
    const std::string text =
        std::string(" (") + e.name + (e.device_ident[0] ? " -- " : "") + e.device_ident + ")";
    const size_t n = std::min(text.size(), sizeof s.description - 1);
    std::memcpy(s.description, text.data(), n);
    s.description[n] = '\0';
    return true;
  }
  return false;
}

}  // namespace

void update_com_port_mask(const char* tag) {
  MaskState& s = state();
  // Without it a rebuild whose scan ran before a port-map update could write its older view
  // after the update's own rebuild: the registry monitor's first rebuild, racing the tool's
  // update, left the mask empty while the modem was present.
  std::lock_guard rebuild(s.rebuild_lock);
  PortScanListPtr list = get_com_port_list(PT_DM);
  std::lock_guard lock(s.lock);
  fill_mask(s, list.get());
  list.reset();
  char record_tag[2048 + 32];
  std::snprintf(record_tag, sizeof record_tag, "%.2047s COM_PORT_MASK", tag ? tag : "");
  comm_log_record(record_tag, s.bytes.empty() ? nullptr : s.bytes.data(),
                  static_cast<int32_t>(s.bytes.size()));
  s.changed.set();
}

int get_dm_port(int requested_port) {
  MaskState& s = state();
  bool exists;
  {
    std::lock_guard lock(s.lock);
    exists = s.exists;
  }
  // Until a DM port has been seen there is no mask to read: scan now.
  if (!exists) update_com_port_mask("GAP INI");
  int count = 0;
  int last = 0;
  bool requested_set = false;
  {
    std::lock_guard lock(s.lock);
    const int bits = static_cast<int>(s.bytes.size() * 8);
    for (int n = 0; n < bits; ++n) {
      if (s.bytes[n / 8] & (1u << (n % 8))) {
        ++count;
        last = n;
        if (n == requested_port) requested_set = true;
      }
      if (requested_port != 0 && n == requested_port) break;
    }
    s.changed.reset();
  }
  if (requested_port != 0) return requested_set ? requested_port : 0;
  if (count == 1) return last;
  if (count == 0) return 0;
  show_msg("Automatic port scanner found more than one DM port. (%d)\n", count);
  return -1;
}

int get_dm_port_wait(uint32_t limit_ms, bool want_present, int requested_port) {
  const uint32_t start = platform::tick_count();
  MaskState& s = state();
  s.monitor_started.wait(platform::kInfinite);
  for (;;) {
    const int port = get_dm_port(requested_port);
    if (port < 0) return port;
    if (want_present && port > 0) return port;
    if (!want_present && port == 0) return 0;
    const uint32_t elapsed = platform::tick_count() - start;
    const uint32_t remaining = elapsed >= limit_ms ? 0 : limit_ms - elapsed;
    if (!s.changed.wait(remaining)) return 0;
  }
}

std::string port_description(int com_port) {
  MaskState& s = state();
  std::lock_guard lock(s.description_lock);
  s.description[0] = '\0';
  if (!describe_from(s, PT_DM, com_port)) describe_from(s, PT_AT, com_port);
  return s.description;
}

platform::ManualResetEvent& registry_monitor_started_event() {
  return state().monitor_started;
}

std::vector<uint8_t> com_port_mask_bytes() {
  MaskState& s = state();
  std::lock_guard lock(s.lock);
  return s.bytes;
}

void reset_scanner() {
  MaskState& s = state();
  {
    std::lock_guard lock(s.lock);
    s.exists = false;
    s.bytes.clear();
    s.changed.reset();
    s.monitor_started.reset();
  }
  std::lock_guard lock(s.description_lock);
  s.description[0] = '\0';
}

}  // namespace kav
