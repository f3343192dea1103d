#include "lib/transport/dm_port.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/port_map.h"
#include "lib/platform/clock.h"
#include "lib/platform/device_holders.h"
#include "lib/platform/devices.h"
#include "lib/platform/error.h"
#include "lib/platform/udev.h"
#include "lib/transport/comm_mode.h"
#include "lib/transport/pinger.h"

namespace kav {

namespace {

// Pause before the fixed-port reopen, letting the driver settle.
constexpr uint32_t kFixedPortReopenDelayMs = 250;
// How long an open refused while udev sets up a new node is tried again, and the pause between.
constexpr uint32_t kUdevSetupWaitMs = 2000;
constexpr uint32_t kUdevSetupPauseMs = 50;
// The scanner is asked once, briefly: the device either is back or the reopen fails.
constexpr uint32_t kReopenScanWaitMs = 10;

// Read: return what is buffered, else wait at most 10 ms for a first byte. Write: 1 ms per
// byte plus 5 s.
constexpr platform::SerialTimeouts kDmPortTimeouts{10, 1, 5000};

struct PortState {
  std::mutex handle_mutex;  // guards `handle` only
  DmPortHandle handle;
  std::atomic<int> current_com_port{0};
  std::atomic<uint32_t> last_close_time{0};
  std::atomic<uint32_t> baud_rate{kDefaultBaudRate};
  std::atomic<int> requested_com_port{0};
  std::atomic<bool> fixed_port_mode{false};
  std::atomic<uint32_t> open_retry_pause_ms{kDefaultOpenRetryPauseMs};
  std::atomic<PortCloseHook> close_hook{nullptr};
  // The device node of the port opened last, the nodes ModemManager was warned of, and the
  // pids already named as holding the port beside us.
  std::mutex holders_mutex;
  std::string node;
  std::set<std::string> warned_nodes;
  std::set<long> named_holders;
};

PortState& state() {
  static PortState* s = new PortState;
  return *s;
}

// A tick of 0 means "never closed", so a close that happens at tick 0 is stamped 1.
void stamp_close_time() {
  const uint32_t now = platform::tick_count();
  state().last_close_time.store(now != 0 ? now : 1);
}

// Keeps opens at least MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN after the last close. The first
// open of the process stamps the close time, so a second open soon after it waits too.
void wait_out_close_spacing() {
  PortState& s = state();
  const uint32_t last = s.last_close_time.load();
  if (last == 0) {
    stamp_close_time();
    return;
  }
  const int32_t spacing = timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN);
  const uint32_t elapsed = platform::tick_count() - last;
  if (spacing > 0 && elapsed < static_cast<uint32_t>(spacing)) {
    platform::sleep_ms(static_cast<uint32_t>(spacing) - elapsed);
  }
}

// Opens `node`; while the open is refused (EACCES) and udev has not yet handled the node (it
// gives a new node its group only after the kernel made it 0600 root), tries again for at
// most kUdevSetupWaitMs. The first failure that cannot pass so is returned as the open's.
bool open_while_udev_sets_up(platform::SerialPort* port, const std::string& node) {
  const uint32_t start = platform::tick_count();
  for (;;) {
    const bool udev_at_work = platform::udev_still_handling(node);
    if (port->open(node)) return true;
    const uint32_t elapsed = platform::tick_count() - start;
    if (platform::last_error() != EACCES || !udev_at_work || elapsed >= kUdevSetupWaitMs) {
      return false;
    }
    platform::sleep_ms(std::min(kUdevSetupPauseMs, kUdevSetupWaitMs - elapsed));
  }
}

// Opens the device node of `com`, trying again while the failure is one that can pass (a busy
// or settling device), at most kOpenAttempts times with pauses between. Each failure is
// reported with the node's name. The caller holds port_lock.
bool open_with_retries(platform::SerialPort* port, int com) {
  const std::optional<std::string> node = platform::com_device_node(com);
  if (!node) {
    // A COM number with no device node name: as Windows, "cannot find the file".
    show_msg("ERROR: \\\\.\\COM%d: %s\n", com, platform::system_error_text(ENOENT).c_str());
    return false;
  }
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    if (open_while_udev_sets_up(port, *node)) return true;
    const int error = platform::last_error();  // before show_msg, which may open the logs
    show_msg("ERROR: %s: %s\n", node->c_str(), platform::open_error_text().c_str());
    if (!platform::open_error_is_transient(error)) return false;
    if (attempt < kOpenAttempts) platform::sleep_ms(state().open_retry_pause_ms.load());
  }
  return false;
}

// The command that installs the udev rules keeping ModemManager off the DM ports.
constexpr char kRulesCommand[] =
    "kav ports --udev-rules | sudo tee /etc/udev/rules.d/77-kav-dm-ports.rules && "
    "sudo udevadm control --reload, then replug the modem";

// ModemManager runs as root, so our exclusive mark does not keep it out: it opens a new port
// about 1.5 s after it appears and again after every re-enumeration (our own resets
// included), unless udev marked the port ID_MM_PORT_IGNORE. Says so once per node.
void warn_of_modem_manager(const std::string& node) {
  if (!platform::process_running("ModemManager")) return;
  if (platform::udev_property(node, "ID_MM_PORT_IGNORE") == "1") return;
  {
    PortState& s = state();
    std::lock_guard lock(s.holders_mutex);
    if (!s.warned_nodes.insert(node).second) return;
  }
  show_msg(
      "WARNING: ModemManager runs and udev has not told it to leave %s alone (no "
      "ID_MM_PORT_IGNORE=1): it opens the port after each plug and re-enumeration and its probes "
      "would mix into the DM traffic. Install the rules: %s.\n",
      node.c_str(), kRulesCommand);
}

// A new port: its node is remembered for later holder checks, none is named yet.
void note_opened_node(const std::string& node) {
  PortState& s = state();
  std::lock_guard lock(s.holders_mutex);
  s.node = node;
  s.named_holders.clear();
}

// Time-outs and line settings of a freshly opened port. The event mask of the Windows port
// (EV_RXCHAR | EV_ERR) has no counterpart here: reads poll the descriptor directly.
bool configure_port(platform::SerialPort* port) {
  if (!port->set_timeouts(kDmPortTimeouts)) {
    show_msg("ERROR: open_com_port: Failed to SetCommTimeouts.\n");
    return false;
  }
  if (!port->line_settings_readable()) {
    show_msg("ERROR: open_com_port: Failed to GetCommState.\n");
    return false;
  }
  // configure() changes speed, framing and flow control and writes the settings back; a
  // refused write (an unknown speed, a vanished device) is the common failure.
  if (!port->configure(state().baud_rate.load())) {
    show_msg("ERROR: open_com_port: Failed to SetCommState.\n");
    return false;
  }
  return true;
}

}  // namespace

DmPortHandle dm_port_handle() {
  PortState& s = state();
  std::lock_guard lock(s.handle_mutex);
  return s.handle;
}

void set_dm_port_handle(DmPortHandle handle) {
  PortState& s = state();
  std::lock_guard lock(s.handle_mutex);
  s.handle = std::move(handle);
}

int current_com_port() {
  return state().current_com_port.load();
}
uint32_t last_close_time() {
  return state().last_close_time.load();
}
uint32_t baud_rate() {
  return state().baud_rate.load();
}
int requested_com_port() {
  return state().requested_com_port.load();
}
bool fixed_port_mode() {
  return state().fixed_port_mode.load();
}
void set_baud_rate(uint32_t rate) {
  state().baud_rate.store(rate);
}
void set_requested_com_port(int com_port) {
  state().requested_com_port.store(com_port);
}
void set_fixed_port_mode(bool fixed) {
  state().fixed_port_mode.store(fixed);
}
void set_open_retry_pause_ms(uint32_t ms) {
  state().open_retry_pause_ms.store(ms);
}

DmPortHandle open_com_port(int com) {
  wait_out_close_spacing();
  char path[16];
  std::snprintf(path, sizeof path, "\\\\.\\COM%d", com);
  ensure_pinger_started();
  std::unique_lock lock(port_lock());
  auto port = std::make_shared<platform::SerialPort>();
  if (!open_with_retries(port.get(), com)) {
    lock.unlock();
    show_msg("ERROR: open_com_port: Failed to open comm port.\n");
    return nullptr;
  }
  if (const std::optional<std::string> node = platform::com_device_node(com)) {
    note_opened_node(*node);
    warn_of_modem_manager(*node);
  }
  char tag[32];
  std::snprintf(tag, sizeof tag, "OPEN: %s", path);
  comm_log_record(tag, nullptr, 0);
  show_msg("COM%d opened\n", com);
  if (!configure_port(port.get())) {
    port->close();  // nobody else will ever see this handle
    return nullptr;
  }
  lock.unlock();
  const int32_t settle =
      timeout(Timeout::POST_OPEN_DELAY) - timeout(Timeout::ZQUMTSKAVCONNECT_TEASER_DELAY);
  if (settle > 0) platform::sleep_ms(static_cast<uint32_t>(settle));
  state().current_com_port.store(com);
  return port;
}

void set_port_close_hook(PortCloseHook hook) {
  state().close_hook.store(hook);
}

ZqUmtsKavStatusEnum close_com_port() {
  if (const PortCloseHook hook = state().close_hook.load()) hook();
  if (!dm_port_handle()) return status::kNoPortOpen;
  show_msg("Closing the Modem Connection.\n");
  ensure_pinger_started();
  std::lock_guard lock(port_lock());
  control_tx_keep_awake_pinger(kPingerStop);
  // Read again under the lock: a reopen on a receiving thread may have replaced the handle.
  const DmPortHandle port = dm_port_handle();
  if (!port) return status::kSuccess;
  if (!port->purge()) {
    show_msg("PurgeComm on Disconnect ERROR: %s\n",
             platform::system_error_text(platform::last_error()).c_str());
  }
  if (!port->close()) {
    show_msg("CloseHandle ERROR: %s\n",
             platform::system_error_text(platform::last_error()).c_str());
  }
  stamp_close_time();
  comm_log_record("CLOSE", nullptr, 0);
  set_dm_port_handle(nullptr);
  set_current_comm_mode(ZqUmtsKavCommMode_Unknown);
  return status::kSuccess;
}

namespace {

// First half of the reopen: stop the pinger and close the current handle, under port_lock.
void close_for_reopen() {
  ensure_pinger_started();
  std::lock_guard lock(port_lock());
  control_tx_keep_awake_pinger(kPingerStop);
  const DmPortHandle port = dm_port_handle();
  if (!port || !port->close()) {
    const int error = port ? platform::last_error() : EBADF;
    show_msg("minimal_port_close_and_reopen: Close Handle ERROR: %s\n",
             platform::system_error_text(error).c_str());
  }
  // The closed object must not be written by anyone until the reopen stores its successor.
  set_dm_port_handle(nullptr);
  stamp_close_time();
  comm_log_record("CLOSE_mpcar", nullptr, 0);
}

// Whether a fresh scan finds a DM port at COM<com>. The COM port mask lags behind the bus by
// the time the monitors take to read the kernel's events, and on Linux the tty number the
// modem left can already belong to another device: opening it would send our frames to that
// device and wait out every time-out.
bool scan_finds_dm_port(int com) {
  const PortScanListPtr list = get_com_port_list(PT_DM);
  if (!list) return false;
  return std::any_of(list->entries.begin(), list->entries.end(),
                     [com](const PortScanEntry& e) { return e.present && e.com_port == com; });
}

// The COM number to reopen, or 0 when no single DM port is there.
int port_to_reopen() {
  PortState& s = state();
  if (s.fixed_port_mode.load()) {
    platform::sleep_ms(kFixedPortReopenDelayMs);
    return s.current_com_port.load();
  }
  const int found = get_dm_port_wait(kReopenScanWaitMs, true, s.requested_com_port.load());
  if (found == 0) {
    log_all_current_devices("minimal_port_close_and_reopen: get_dm_port_wait returned zero");
    return 0;
  }
  if (found < 0) {
    // More than one DM port: nothing tells which one was ours.
    log_all_current_devices(
        "minimal_port_close_and_reopen: get_dm_port_wait found more than one DM port");
    return 0;
  }
  s.current_com_port.store(found);
  return found;
}

}  // namespace

ZqUmtsKavStatusEnum minimal_port_close_and_reopen(DmPortHandle* handle) {
  close_for_reopen();
  const int com = port_to_reopen();
  if (com <= 0) {
    if (handle != nullptr) handle->reset();
    return status::kOpenFailed;
  }
  show_msg("Opening the Modem Connection on COM%d\n\t%s.\n", com, port_description(com).c_str());
  DmPortHandle port = open_com_port(com);
  set_dm_port_handle(port);
  if (handle != nullptr) *handle = port;
  if (!port) {
    log_all_current_devices("minimal_port_close_and_reopen: open_com_port returned NULL");
    return status::kOpenFailed;
  }
  if (!state().fixed_port_mode.load() && !scan_finds_dm_port(com)) {
    // Checked once the open, which waits for a node that is still away, has succeeded.
    close_for_reopen();
    if (handle != nullptr) handle->reset();
    log_all_current_devices(
        ("minimal_port_close_and_reopen: COM" + std::to_string(com) + " is no longer a DM port")
            .c_str());
    return status::kOpenFailed;
  }
  control_tx_keep_awake_pinger(kPingerStart);
  return status::kSuccess;
}

void look_for_other_holders() {
  if (!platform::running_as_root()) return;
  PortState& s = state();
  std::string node;
  {
    std::lock_guard lock(s.holders_mutex);
    node = s.node;
  }
  if (node.empty()) return;
  std::vector<platform::DeviceHolder> newcomers;
  for (const platform::DeviceHolder& holder : platform::device_holders(node, true)) {
    std::lock_guard lock(s.holders_mutex);
    if (s.named_holders.insert(holder.pid).second) newcomers.push_back(holder);
  }
  if (newcomers.empty()) return;
  const std::string names = platform::holders_text(newcomers);
  show_msg(
      "ERROR: %s has been opened beside us by %s: what it sends and reads mixes with the DM "
      "traffic.%s\n",
      node.c_str(), names.c_str(),
      names.find("ModemManager") != std::string::npos
          ? (std::string(" Keep ModemManager off the port: ") + kRulesCommand + ".").c_str()
          : "");
}

void reset_dm_port() {
  PortState& s = state();
  {
    std::lock_guard lock(s.holders_mutex);
    s.node.clear();
    s.warned_nodes.clear();
    s.named_holders.clear();
  }
  if (const DmPortHandle port = dm_port_handle()) {
    std::lock_guard lock(port_lock());
    port->close();
    set_dm_port_handle(nullptr);
  }
  s.current_com_port.store(0);
  s.last_close_time.store(0);
  s.baud_rate.store(kDefaultBaudRate);
  s.requested_com_port.store(0);
  s.fixed_port_mode.store(false);
  s.open_retry_pause_ms.store(kDefaultOpenRetryPauseMs);
  set_current_comm_mode(ZqUmtsKavCommMode_Unknown);
}

}  // namespace kav
