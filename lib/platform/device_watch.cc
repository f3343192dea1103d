#include "lib/platform/device_watch.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "lib/platform/clock.h"
#include "lib/platform/devices.h"
#include "lib/platform/files.h"
#include "lib/platform/sync.h"

namespace kav::platform {

namespace {

std::atomic<uint32_t> g_settle_ms{20};
// The kernel creates a tty's device node once the device's sysfs entries are complete, so a
// burst ends this long after a tty node appears (ms of the tick count: 1 to 2 ms).
constexpr uint32_t kTtyNodeGraceMs = 2;

constexpr uint32_t kNodeEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

void close_fd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

int add_dir_watch(int fd, const std::string& dir) {
  return inotify_add_watch(fd, dir.c_str(), kNodeEvents | IN_ONLYDIR) < 0 ? errno : 0;
}

// Opens the watch of `dir` in two steps, as a registry key is opened and then armed: the
// directory must be there (else `*arming` stays false), then an inotify instance watches it.
int open_inotify(const std::string& dir, int* fd, bool* arming) {
  *arming = false;
  struct stat info {};
  if (stat(dir.c_str(), &info) != 0) return errno;
  if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  *arming = true;
  *fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (*fd < 0) return errno;
  return add_dir_watch(*fd, dir);
}

int open_stop_fd(int* fd) {
  *fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return *fd < 0 ? errno : 0;
}

void signal_stop(int fd) {
  const uint64_t one = 1;
  if (fd >= 0) (void)!::write(fd, &one, sizeof one);
}

bool readable(const pollfd& p) {
  return (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

// Calls `on_event(mask, name)` for every queued inotify event of `fd`.
template <typename F>
void read_inotify(int fd, F on_event) {
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      on_event(event->mask, event->len ? std::string(event->name) : std::string());
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

// Whether a kernel uevent (a "<action>@<devpath>" header, then NUL-separated "KEY=value"
// fields) is an add, remove, bind or unbind of the usb, tty or wwan subsystem (wwan: the DM
// ports of PCIe modems).
bool is_watched_uevent(const char* data, size_t size) {
  std::string action, subsystem;
  for (size_t pos = 0; pos < size;) {
    const size_t len = strnlen(data + pos, size - pos);
    const std::string field(data + pos, len);
    if (field.rfind("ACTION=", 0) == 0) action = field.substr(7);
    if (field.rfind("SUBSYSTEM=", 0) == 0) subsystem = field.substr(10);
    pos += len + 1;
  }
  const bool action_ok =
      action == "add" || action == "remove" || action == "bind" || action == "unbind";
  return action_ok && (subsystem == "usb" || subsystem == "tty" || subsystem == "wwan");
}

int open_uevent_socket(int* fd) {
  *fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (*fd < 0) return errno;
  // A plug brings a burst of uevents; a buffer that overflows loses some. SO_RCVBUF is capped
  // at net.core.rmem_max (about 200 KiB by default); root may pass the cap with
  // SO_RCVBUFFORCE, and everyone else gets what the cap allows.
  const int buffer_size = 1 << 20;
  if (geteuid() != 0 ||
      setsockopt(*fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer_size, sizeof buffer_size) != 0) {
    setsockopt(*fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = 1;  // the kernel's own broadcasts
  if (bind(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return errno;
  return 0;
}

// A descriptor handed in by use_uevent_socket_for_next_watcher, or -1.
std::atomic<int> g_injected_uevent_fd{-1};

// Whether <root>/sys is the kernel's sysfs (whatever the root): its entries change without
// any write through the file system, so inotify never fires there and the kernel's uevents
// must be read instead.
bool sys_is_sysfs() {
  struct statfs info {};
  return statfs(root_path("sys").c_str(), &info) == 0 && info.f_type == SYSFS_MAGIC;
}

// The services watch through kernel uevents: an injected descriptor, else a new netlink
// socket.
int open_uevent_source(int* fd) {
  *fd = g_injected_uevent_fd.exchange(-1);
  if (*fd < 0) return open_uevent_socket(fd);
  // Reads drain the socket until it would block.
  const int flags = fcntl(*fd, F_GETFL);
  return flags >= 0 && fcntl(*fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : errno;
}

bool is_cdrom_node(const std::string& name) {
  if (name.size() < 3 || name.compare(0, 2, "sr") != 0) return false;
  return std::all_of(name.begin() + 2, name.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

uint32_t remaining_ms(uint32_t start, uint32_t timeout_ms) {
  if (timeout_ms == kInfinite) return kInfinite;
  const uint32_t elapsed = tick_count() - start;
  return elapsed >= timeout_ms ? 0 : timeout_ms - elapsed;
}

int poll_timeout(uint32_t ms) {
  return ms == kInfinite ? -1 : static_cast<int>(std::min<uint32_t>(ms, 0x7FFFFFFF));
}

// poll_once's results besides "nothing" (0) and "events read" (1).
constexpr int kPollStopped = -1;
constexpr int kPollFailed = -2;
// How often a dropped watch is tried again while its directory is away.
constexpr uint32_t kRearmRetryMs = 20;

}  // namespace

void set_device_event_settle_ms(uint32_t ms) {
  g_settle_ms.store(ms);
}

void use_uevent_socket_for_next_watcher(int fd) {
  const int previous = g_injected_uevent_fd.exchange(fd);
  if (previous >= 0) ::close(previous);
}

std::unique_ptr<DeviceWatcher> DeviceWatcher::open(int* error, DeviceChange* failed_watch,
                                                   bool* arming_failed) {
  std::unique_ptr<DeviceWatcher> watcher(new DeviceWatcher());
  DeviceWatcher& w = *watcher;
  DeviceChange failed = DeviceChange::DevNodes;
  bool arming = true;
  w.dev_.dir = root_path("dev");
  int code = open_stop_fd(&w.stop_fd_);
  if (code == 0) code = open_inotify(w.dev_.dir, &w.dev_.fd, &arming);
  if (code == 0) {
    failed = DeviceChange::Services;
    arming = true;
    if (g_injected_uevent_fd.load() >= 0 || sys_is_sysfs()) {
      code = open_uevent_source(&w.uevent_fd_);
    } else {
      w.bus_.dir = root_path("sys/bus/usb/devices");
      code = open_inotify(w.bus_.dir, &w.bus_.fd, &arming);
    }
  }
  if (error) *error = code;
  if (failed_watch && code != 0) *failed_watch = failed;
  if (arming_failed) *arming_failed = code != 0 && arming;
  if (code != 0) return nullptr;
  return watcher;
}

DeviceWatcher::~DeviceWatcher() {
  close_fd(&stop_fd_);
  close_fd(&dev_.fd);
  close_fd(&bus_.fd);
  close_fd(&uevent_fd_);
}

void DeviceWatcher::stop() {
  signal_stop(stop_fd_);
}

void DeviceWatcher::read_dev_events() {
  read_inotify(dev_.fd, [this](uint32_t mask, const std::string& name) {
    // An overflowed queue or a removed watch may hide changes: report one.
    if (mask & (kNodeEvents | IN_Q_OVERFLOW | IN_IGNORED)) {
      dev_pending_ = true;
      dev_seen_at_ = perf_counter();
    }
    if ((mask & (IN_CREATE | IN_MOVED_TO)) && com_number_of_tty(name) != 0)
      tty_node_created_ = true;
    if ((mask & IN_IGNORED) && !std::exchange(dev_.dropped, true)) dropped_at_ = tick_count();
  });
}

void DeviceWatcher::read_services_events() {
  if (bus_.fd >= 0) {
    read_inotify(bus_.fd, [this](uint32_t mask, const std::string&) {
      if (mask & (kNodeEvents | IN_Q_OVERFLOW | IN_IGNORED)) {
        services_pending_ = true;
        services_seen_at_ = perf_counter();
      }
      if ((mask & IN_IGNORED) && !std::exchange(bus_.dropped, true)) dropped_at_ = tick_count();
    });
    return;
  }
  char buffer[8192];
  for (;;) {
    sockaddr_nl sender{};
    socklen_t sender_size = sizeof sender;
    const ssize_t n = recvfrom(uevent_fd_, buffer, sizeof buffer, 0,
                               reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (n < 0) {
      // Events were dropped because the socket buffer ran full: some may have mattered.
      if (errno == ENOBUFS) {
        services_pending_ = true;
        services_seen_at_ = perf_counter();
      }
      if (errno == EINTR || errno == ENOBUFS) continue;
      return;
    }
    if (sender.nl_pid != 0) continue;  // only the kernel's messages are trusted
    if (is_watched_uevent(buffer, static_cast<size_t>(n))) {
      services_pending_ = true;
      services_seen_at_ = perf_counter();
    }
  }
}

// Polls every watch for at most `limit_ms` and reads what arrived. Returns kPollStopped when
// stop() was called, kPollFailed (wait_error_ set) when poll failed, 0 when nothing arrived,
// 1 when events were read.
int DeviceWatcher::poll_once(uint32_t limit_ms) {
  pollfd fds[3] = {{stop_fd_, POLLIN, 0},
                   {dev_.fd, POLLIN, 0},
                   {bus_.fd >= 0 ? bus_.fd : uevent_fd_, POLLIN, 0}};
  const int ready = poll(fds, 3, poll_timeout(limit_ms));
  if (ready < 0 && errno == EINTR) return 0;
  if (ready < 0) {
    wait_error_ = errno;
    return kPollFailed;
  }
  if (ready == 0) return 0;
  if (readable(fds[0])) return kPollStopped;
  if (readable(fds[1])) read_dev_events();
  if (readable(fds[2])) read_services_events();
  return 1;
}

// Arms the dropped watches again whose directories are back; each one armed is a change (what
// the new directory holds was never seen). False (wait_error_ set) when a directory has stayed
// away for kRearmGraceMs or cannot be watched.
bool DeviceWatcher::rearm_dropped() {
  struct Rearm {
    DirWatch* watch;
    bool* pending;
    int64_t* seen_at;
  };
  const Rearm watches[] = {{&dev_, &dev_pending_, &dev_seen_at_},
                           {&bus_, &services_pending_, &services_seen_at_}};
  for (const Rearm& rearm : watches) {
    DirWatch* watch = rearm.watch;
    if (!watch->dropped) continue;
    const int error = add_dir_watch(watch->fd, watch->dir);
    if (error == 0) {
      watch->dropped = false;
      *rearm.pending = true;
      *rearm.seen_at = perf_counter();
      continue;
    }
    wait_error_ = error;
    if (error != ENOENT || tick_count() - dropped_at_ >= kRearmGraceMs) return false;
  }
  if (!dev_.dropped && !bus_.dropped) dropped_at_ = 0;
  return true;
}

// Waits until a change is pending, at most `timeout_ms`: None, with a change pending when one
// came and without when the time ran out. Any other result ends the wait with it.
DeviceChange DeviceWatcher::wait_for_first(uint32_t timeout_ms) {
  const uint32_t start = tick_count();
  for (;;) {
    if (!rearm_dropped()) return DeviceChange::RearmFailed;
    if (dev_pending_ || services_pending_) return DeviceChange::None;
    uint32_t limit = remaining_ms(start, timeout_ms);
    if (dev_.dropped || bus_.dropped) limit = std::min(limit, kRearmRetryMs);
    const int got = poll_once(limit);
    if (got == kPollStopped) return DeviceChange::Stopped;
    if (got == kPollFailed) return DeviceChange::WaitFailed;
    if (got == 0 && remaining_ms(start, timeout_ms) == 0 && !dev_pending_ && !services_pending_)
      return DeviceChange::None;
  }
}

// Collects the rest of a burst: for the settle period from its first event, or until
// kTtyNodeGraceMs after a tty node appeared, whichever ends first. False when stop() was
// called or the wait failed (wait_error_ tells which).
bool DeviceWatcher::collect_burst() {
  const uint32_t start = tick_count();
  uint32_t end = g_settle_ms.load();  // ms after start
  for (;;) {
    const uint32_t elapsed = tick_count() - start;
    if (std::exchange(tty_node_created_, false)) end = std::min(end, elapsed + kTtyNodeGraceMs);
    if (elapsed >= end) return true;
    if (poll_once(end - elapsed) < 0) return false;
  }
}

DeviceChange DeviceWatcher::wait(uint32_t timeout_ms) {
  const bool leftover = dev_pending_ || services_pending_;
  wait_error_ = 0;
  tty_node_created_ = false;  // a node of an earlier burst ends no later one
  if (leftover) {
    // Left over from the previous burst: reported at once.
    const int got = poll_once(0);
    if (got == kPollStopped) return DeviceChange::Stopped;
    if (got == kPollFailed) return DeviceChange::WaitFailed;
  } else {
    const DeviceChange first = wait_for_first(timeout_ms);
    if (first != DeviceChange::None || (!dev_pending_ && !services_pending_)) return first;
    if (!collect_burst()) return wait_error_ ? DeviceChange::WaitFailed : DeviceChange::Stopped;
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

std::unique_ptr<CdromWatcher> CdromWatcher::open(int* error) {
  std::unique_ptr<CdromWatcher> watcher(new CdromWatcher());
  int code = open_stop_fd(&watcher->stop_fd_);
  bool arming = false;
  if (code == 0) code = open_inotify(root_path("dev"), &watcher->dev_fd_, &arming);
  if (error) *error = code;
  if (code != 0) return nullptr;
  return watcher;
}

CdromWatcher::~CdromWatcher() {
  close_fd(&stop_fd_);
  close_fd(&dev_fd_);
}

void CdromWatcher::stop() {
  signal_stop(stop_fd_);
}

void CdromWatcher::read_events() {
  read_inotify(dev_fd_, [this](uint32_t mask, const std::string& name) {
    if (mask & IN_Q_OVERFLOW) {
      // Events were lost: one report makes the monitor look at the CD-ROMs again.
      queued_.push_back(CdromEvent::Arrival);
      return;
    }
    if (!is_cdrom_node(name)) return;
    if (mask & (IN_CREATE | IN_MOVED_TO)) queued_.push_back(CdromEvent::Arrival);
    if (mask & (IN_DELETE | IN_MOVED_FROM)) queued_.push_back(CdromEvent::Removal);
  });
}

CdromEvent CdromWatcher::wait(uint32_t timeout_ms) {
  const uint32_t start = tick_count();
  for (;;) {
    pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {dev_fd_, POLLIN, 0}};
    const uint32_t limit = queued_.empty() ? remaining_ms(start, timeout_ms) : 0;
    const int ready = poll(fds, 2, poll_timeout(limit));
    if (ready < 0 && errno != EINTR) return CdromEvent::Stopped;
    if (ready > 0 && readable(fds[0])) return CdromEvent::Stopped;
    if (ready > 0) read_events();
    if (!queued_.empty()) {
      const CdromEvent event = queued_.front();
      queued_.pop_front();
      return event;
    }
    if (ready == 0) return CdromEvent::None;
  }
}

}  // namespace kav::platform
