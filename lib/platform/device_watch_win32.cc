// Change notifications on Windows: RegNotifyChangeKeyValue on HKLM\HARDWARE\DEVICEMAP (serial
// ports come and go in its SERIALCOMM key) and on HKLM\SYSTEM\CurrentControlSet\Services
// (drivers' keys), and device interface broadcasts of the CD-ROM class (WM_DEVICECHANGE) to a
// message-only window registered with RegisterDeviceNotificationA.
//
// The classes' members were laid out for the Linux watches; here the stop event and the
// window are kept in the descriptor slots (Windows keeps the meaningful bits of kernel handles
// and window handles within 32 bits), and each watcher's two registry keys and their events
// in a table of this file.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "lib/platform/clock.h"
#include "lib/platform/device_watch.h"
#include "lib/platform/sync.h"
#include "lib/platform/win32.h"

#include <dbt.h>

namespace kav::platform {

namespace {

std::atomic<uint32_t> g_settle_ms{20};

// One watched key: the open key and the event its change notification signals.
struct KeyWatch {
  HKEY key = nullptr;
  HANDLE event = nullptr;
};

struct Watches {
  KeyWatch device_map;
  KeyWatch services;
};

std::mutex g_table_lock;
std::map<const DeviceWatcher*, Watches>& table() {
  static auto* t = new std::map<const DeviceWatcher*, Watches>;
  return *t;
}

constexpr const char* kDeviceMapKey = "HARDWARE\\DEVICEMAP";
constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";

// Asks for the next change of the key or its subkeys (names and values) as a signal of its
// event. 0 or the layer's error code.
int arm(const KeyWatch& watch) {
  const LONG status = RegNotifyChangeKeyValue(
      watch.key, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, watch.event, TRUE);
  return win32::error_of(static_cast<DWORD>(status));
}

int open_watch(const char* path, KeyWatch* watch, bool* arming_failed) {
  const LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_NOTIFY, &watch->key);
  if (status != ERROR_SUCCESS) return win32::error_of(static_cast<DWORD>(status));
  watch->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (watch->event == nullptr) return win32::error_of(GetLastError());
  const int error = arm(*watch);
  if (error != 0 && arming_failed != nullptr) *arming_failed = true;
  return error;
}

void close_watch(KeyWatch* watch) {
  if (watch->key != nullptr) RegCloseKey(watch->key);
  if (watch->event != nullptr) CloseHandle(watch->event);
  *watch = KeyWatch{};
}

HANDLE stop_event_of(int slot) {
  return LongToHandle(slot);
}

}  // namespace

void set_device_event_settle_ms(uint32_t ms) {
  g_settle_ms.store(ms);
}

// Windows delivers no kernel uevents: there is no socket to take, and the descriptor stays the
// caller's.
void use_uevent_socket_for_next_watcher(int) {}

std::unique_ptr<DeviceWatcher> DeviceWatcher::open(int* error, DeviceChange* failed_watch,
                                                   bool* arming_failed) {
  std::unique_ptr<DeviceWatcher> watcher(new DeviceWatcher);
  Watches watches;
  if (arming_failed != nullptr) *arming_failed = false;
  int code = open_watch(kDeviceMapKey, &watches.device_map, arming_failed);
  if (code != 0 && failed_watch != nullptr) *failed_watch = DeviceChange::DevNodes;
  if (code == 0) {
    code = open_watch(kServicesKey, &watches.services, arming_failed);
    if (code != 0 && failed_watch != nullptr) *failed_watch = DeviceChange::Services;
  }
  HANDLE stop = code == 0 ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (code == 0 && stop == nullptr) code = win32::error_of(GetLastError());
  if (code != 0) {
    close_watch(&watches.device_map);
    close_watch(&watches.services);
    *error = code;
    return nullptr;
  }
  watcher->stop_fd_ = HandleToLong(stop);
  watcher->dev_.dir = kDeviceMapKey;
  watcher->bus_.dir = kServicesKey;
  std::lock_guard lock(g_table_lock);
  table()[watcher.get()] = watches;
  return watcher;
}

DeviceWatcher::~DeviceWatcher() {
  {
    std::lock_guard lock(g_table_lock);
    auto found = table().find(this);
    if (found != table().end()) {
      close_watch(&found->second.device_map);
      close_watch(&found->second.services);
      table().erase(found);
    }
  }
  if (stop_fd_ != -1) CloseHandle(stop_event_of(stop_fd_));
}

void DeviceWatcher::stop() {
  if (stop_fd_ != -1) SetEvent(stop_event_of(stop_fd_));
}

DeviceChange DeviceWatcher::wait(uint32_t timeout_ms) {
  Watches watches;
  {
    std::lock_guard lock(g_table_lock);
    watches = table()[this];
  }
  const HANDLE handles[] = {stop_event_of(stop_fd_), watches.device_map.event,
                            watches.services.event};
  // Reads one signal (or none within `limit_ms`): true when it was a change, whose notification
  // is then armed again; a failed re-arm ends the watch.
  int failure = 0;
  bool stopped = false;
  const auto take = [&](uint32_t limit_ms) {
    const DWORD result = WaitForMultipleObjects(3, handles, FALSE, limit_ms);
    if (result == WAIT_OBJECT_0) {
      stopped = true;
      return false;
    }
    if (result == WAIT_TIMEOUT) return false;
    if (result == WAIT_FAILED) {
      failure = win32::error_of(GetLastError());
      return false;
    }
    const bool device_map = result == WAIT_OBJECT_0 + 1;
    (device_map ? dev_pending_ : services_pending_) = true;
    (device_map ? dev_seen_at_ : services_seen_at_) = perf_counter();
    if (const int error = arm(device_map ? watches.device_map : watches.services)) {
      failure = error;
      return false;
    }
    return true;
  };
  if (WaitForSingleObject(handles[0], 0) == WAIT_OBJECT_0) return DeviceChange::Stopped;
  if (!dev_pending_ && !services_pending_) {
    if (!take(timeout_ms)) {
      if (stopped) return DeviceChange::Stopped;
      if (failure != 0) {
        wait_error_ = failure;
        return DeviceChange::WaitFailed;
      }
      return DeviceChange::None;
    }
    // One device arriving changes many keys: collect the burst for the settle time.
    const uint32_t start = tick_count();
    for (;;) {
      const uint32_t elapsed = tick_count() - start;
      const uint32_t settle = g_settle_ms.load();
      if (elapsed >= settle || !take(settle - elapsed)) break;
    }
    if (stopped) return DeviceChange::Stopped;
    if (failure != 0) {
      wait_error_ = failure;
      return DeviceChange::RearmFailed;
    }
  }
  if (dev_pending_) {
    dev_pending_ = false;
    change_seen_at_ = dev_seen_at_;
    return DeviceChange::DevNodes;
  }
  services_pending_ = false;
  change_seen_at_ = services_seen_at_;
  return DeviceChange::Services;
}

// --- CD-ROM arrival and removal -------------------------------------------------------------

namespace {

constexpr const char* kWindowClass = "UmtsKavLibDeviceChange";
constexpr const char* kNotifyProperty = "UmtsKavLibNotify";
constexpr const char* kQueueProperty = "UmtsKavLibQueue";
// GUID_DEVINTERFACE_CDROM {53f56308-b6bf-11d0-94f2-00a0c91efb8b}.
constexpr GUID kCdromInterface = {
    0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// A drive's broadcast: a CD-ROM class interface, or a volume. The registration asks for the
// CD-ROM class alone, but broadcasts to every window reach this one too.
bool is_cdrom_broadcast(const DEV_BROADCAST_HDR* header) {
  if (header->dbch_devicetype == DBT_DEVTYP_VOLUME) return true;
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
    return false;
  }
  const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
  return IsEqualGUID(record->dbcc_classguid, kCdromInterface);
}

LRESULT CALLBACK device_change_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DEVICECHANGE &&
      (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE)) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
    auto* queue = static_cast<std::deque<CdromEvent>*>(GetPropA(window, kQueueProperty));
    if (header != nullptr && queue != nullptr && is_cdrom_broadcast(header)) {
      queue->push_back(wparam == DBT_DEVICEARRIVAL ? CdromEvent::Arrival : CdromEvent::Removal);
    }
    return TRUE;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

// The window belongs to the thread that opens the watcher, which is the one that waits: its
// messages are dispatched by wait().
std::unique_ptr<CdromWatcher> CdromWatcher::open(int* error) {
  static const ATOM window_class = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = device_change_proc;
    wc.hInstance = win32::this_module();
    wc.lpszClassName = kWindowClass;
    return RegisterClassA(&wc);
  }();
  if (window_class == 0) {
    *error = static_cast<int>(GetLastError());
    return nullptr;
  }
  std::unique_ptr<CdromWatcher> watcher(new CdromWatcher);
  HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                win32::this_module(), nullptr);
  if (window == nullptr) {
    *error = static_cast<int>(GetLastError());
    return nullptr;
  }
  SetPropA(window, kQueueProperty, &watcher->queued_);
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kCdromInterface;
  HDEVNOTIFY notify = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  HANDLE stop = notify != nullptr ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (stop == nullptr) {
    *error = static_cast<int>(GetLastError());
    if (notify != nullptr) UnregisterDeviceNotification(notify);
    RemovePropA(window, kQueueProperty);
    DestroyWindow(window);
    return nullptr;
  }
  SetPropA(window, kNotifyProperty, notify);
  watcher->dev_fd_ = static_cast<int>(reinterpret_cast<intptr_t>(window));
  watcher->stop_fd_ = HandleToLong(stop);
  return watcher;
}

CdromWatcher::~CdromWatcher() {
  HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(dev_fd_));
  if (dev_fd_ != -1 && window != nullptr) {
    if (HDEVNOTIFY notify = GetPropA(window, kNotifyProperty)) UnregisterDeviceNotification(notify);
    RemovePropA(window, kNotifyProperty);
    RemovePropA(window, kQueueProperty);
    DestroyWindow(window);
  }
  if (stop_fd_ != -1) CloseHandle(LongToHandle(stop_fd_));
}

void CdromWatcher::stop() {
  if (stop_fd_ != -1) SetEvent(LongToHandle(stop_fd_));
}

CdromEvent CdromWatcher::wait(uint32_t timeout_ms) {
  const HANDLE stop = LongToHandle(stop_fd_);
  const uint32_t start = tick_count();
  for (;;) {
    if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return CdromEvent::Stopped;
    MSG message;
    while (queued_.empty() && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageA(&message);
    }
    if (!queued_.empty()) {
      const CdromEvent event = queued_.front();
      queued_.pop_front();
      return event;
    }
    DWORD limit = INFINITE;
    if (timeout_ms != kInfinite) {
      const uint32_t elapsed = tick_count() - start;
      if (elapsed >= timeout_ms) return CdromEvent::None;
      limit = timeout_ms - elapsed;
    }
    MsgWaitForMultipleObjects(1, &stop, FALSE, limit, QS_ALLINPUT);
  }
}

}  // namespace kav::platform
