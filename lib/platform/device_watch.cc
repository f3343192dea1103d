#include "lib/platform/device_watch.h"

#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "lib/platform/clock.h"
#include "lib/platform/devices.h"
#include "lib/platform/files.h"
#include "lib/platform/sync.h"

namespace kav::platform {

namespace {

std::atomic<uint32_t> g_settle_ms{20};
// A burst is collected for at most this many settle periods, so a steady stream of events
// cannot hold a report back for ever.
constexpr uint32_t kMaxSettlePeriods = 10;

constexpr uint32_t kNodeEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

void close_fd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

int open_inotify(const std::string& dir, int* fd) {
  *fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (*fd < 0) return errno;
  if (inotify_add_watch(*fd, dir.c_str(), kNodeEvents | IN_ONLYDIR) < 0) return errno;
  return 0;
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

// Whether a kernel uevent (NUL-separated "KEY=value" fields) is an add, remove, bind or
// unbind of the usb or tty subsystem.
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
  return action_ok && (subsystem == "usb" || subsystem == "tty");
}

int open_uevent_socket(int* fd) {
  *fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (*fd < 0) return errno;
  const int buffer_size = 1 << 20;
  setsockopt(*fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = 1;  // the kernel's own broadcasts
  if (bind(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return errno;
  return 0;
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

}  // namespace

void set_device_event_settle_ms(uint32_t ms) {
  g_settle_ms.store(ms);
}

std::unique_ptr<DeviceWatcher> DeviceWatcher::open(int* error, DeviceChange* failed_watch) {
  std::unique_ptr<DeviceWatcher> watcher(new DeviceWatcher());
  DeviceChange failed = DeviceChange::DevNodes;
  int code = open_stop_fd(&watcher->stop_fd_);
  if (code == 0) code = open_inotify(root_path("dev"), &watcher->dev_fd_);
  if (code == 0) {
    failed = DeviceChange::Services;
    code = root_dir() == "/" ? open_uevent_socket(&watcher->uevent_fd_)
                             : open_inotify(root_path("sys/bus/usb/devices"), &watcher->bus_fd_);
  }
  if (error) *error = code;
  if (failed_watch && code != 0) *failed_watch = failed;
  if (code != 0) return nullptr;
  return watcher;
}

DeviceWatcher::~DeviceWatcher() {
  close_fd(&stop_fd_);
  close_fd(&dev_fd_);
  close_fd(&bus_fd_);
  close_fd(&uevent_fd_);
}

void DeviceWatcher::stop() {
  signal_stop(stop_fd_);
}

void DeviceWatcher::read_dev_events() {
  read_inotify(dev_fd_, [this](uint32_t mask, const std::string&) {
    // An overflowed queue or a removed watch may hide changes: report one.
    if (mask & (kNodeEvents | IN_Q_OVERFLOW | IN_IGNORED)) dev_pending_ = true;
  });
}

void DeviceWatcher::read_services_events() {
  if (bus_fd_ >= 0) {
    read_inotify(bus_fd_, [this](uint32_t mask, const std::string&) {
      if (mask & (kNodeEvents | IN_Q_OVERFLOW | IN_IGNORED)) services_pending_ = true;
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
      if (errno == ENOBUFS) services_pending_ = true;
      if (errno == EINTR || errno == ENOBUFS) continue;
      return;
    }
    if (sender.nl_pid != 0) continue;  // only the kernel's messages are trusted
    if (is_watched_uevent(buffer, static_cast<size_t>(n))) services_pending_ = true;
  }
}

// Polls every watch for at most `limit_ms` and reads what arrived. Returns -1 when stop() was
// called, 0 when nothing arrived, 1 when events were read.
int DeviceWatcher::poll_once(uint32_t limit_ms) {
  pollfd fds[3] = {{stop_fd_, POLLIN, 0},
                   {dev_fd_, POLLIN, 0},
                   {bus_fd_ >= 0 ? bus_fd_ : uevent_fd_, POLLIN, 0}};
  const int ready = poll(fds, 3, poll_timeout(limit_ms));
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  if (readable(fds[0])) return -1;
  if (readable(fds[1])) read_dev_events();
  if (readable(fds[2])) read_services_events();
  return 1;
}

DeviceChange DeviceWatcher::wait(uint32_t timeout_ms) {
  if (dev_pending_ || services_pending_) {
    // Left over from the previous burst: reported at once.
    if (poll_once(0) < 0) return DeviceChange::Stopped;
  } else {
    const uint32_t start = tick_count();
    while (!dev_pending_ && !services_pending_) {
      const uint32_t limit = remaining_ms(start, timeout_ms);
      const int got = poll_once(limit);
      if (got < 0) return DeviceChange::Stopped;
      if (got == 0 && limit != kInfinite && remaining_ms(start, timeout_ms) == 0) {
        return DeviceChange::None;
      }
    }
    // Collect the rest of the burst until it has been quiet for one settle period.
    const uint32_t settle = g_settle_ms.load();
    const uint32_t settle_start = tick_count();
    while (tick_count() - settle_start < settle * kMaxSettlePeriods) {
      const int got = poll_once(settle);
      if (got < 0) return DeviceChange::Stopped;
      if (got == 0) break;
    }
  }
  if (dev_pending_) {
    dev_pending_ = false;
    return DeviceChange::DevNodes;
  }
  services_pending_ = false;
  return DeviceChange::Services;
}

std::unique_ptr<CdromWatcher> CdromWatcher::open(int* error) {
  std::unique_ptr<CdromWatcher> watcher(new CdromWatcher());
  int code = open_stop_fd(&watcher->stop_fd_);
  if (code == 0) code = open_inotify(root_path("dev"), &watcher->dev_fd_);
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

int eject_cdrom(const std::string& interface_path, uint32_t settle_ms) {
  std::vector<DeviceInterface> members;
  if (const int error = enumerate_interfaces(InterfaceClass::CdRom, &members)) return error;
  std::string wanted = interface_path;
  for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  int result = ENOENT;
  for (const DeviceInterface& member : members) {
    if (member.path != wanted) continue;
    const int fd =
        ::open(root_path("dev/" + member.node).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (result != 0) result = errno;
      continue;
    }
    if (settle_ms > 0) sleep_ms(settle_ms);
    // Refused by a plain file in a test root, or by a drive that is busy: not reported.
    (void)ioctl(fd, CDROMEJECT, 0);
    ::close(fd);
    result = 0;
  }
  return result;
}

}  // namespace kav::platform
