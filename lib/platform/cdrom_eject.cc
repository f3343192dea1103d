#include "lib/platform/cdrom_eject.h"

#include <fcntl.h>
#include <linux/cdrom.h>
#include <scsi/scsi_ioctl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "lib/platform/clock.h"
#include "lib/platform/devices.h"
#include "lib/platform/files.h"
#include "lib/platform/udev.h"

namespace kav::platform {

namespace {

std::atomic<uint32_t> g_retry_ms{10000};
std::atomic<uint32_t> g_vanish_ms{2000};
// Pause between opens while udev handles the node, and between looks for a leaving drive.
constexpr uint32_t kPollPauseMs = 50;

int kernel_open(const char* path) {
  return ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// Both ioctls return the SCSI layer's result as it is: 0, the drive's positive result, or -1.
int kernel_unlock(int fd) {
  return ioctl(fd, SCSI_IOCTL_DOORUNLOCK, 0);
}

int kernel_eject(int fd) {
  return ioctl(fd, CDROMEJECT, 0);
}

std::mutex g_calls_lock;
CdromCalls g_calls{kernel_open, kernel_unlock, kernel_eject};

CdromCalls current_calls() {
  std::lock_guard lock(g_calls_lock);
  return g_calls;
}

uint32_t elapsed_since(uint32_t start) {
  return tick_count() - start;
}

// Opens the node, trying again while udev has yet to give it its permissions. Whether udev is
// still at work is read before each try, so a refusal after udev finished is final even when
// udev finished during that try.
int open_node(const CdromCalls& calls, const std::string& node, EjectOutcome* outcome) {
  const uint32_t start = tick_count();
  for (;;) {
    const bool udev_pending = udev_still_handling(node);
    const int fd = calls.open(node.c_str());
    if (fd >= 0) return fd;
    outcome->error = outcome->note_failed_call("open", -1);
    const uint32_t budget = g_retry_ms.load();
    const uint32_t elapsed = elapsed_since(start);
    if (outcome->error != EACCES || !udev_pending || elapsed >= budget) return -1;
    sleep_ms(std::min(kPollPauseMs, budget - elapsed));
  }
}

// True when the node goes within the vanish time: the drive has left the bus.
bool node_goes(const std::string& node) {
  const uint32_t start = tick_count();
  for (;;) {
    if (access(node.c_str(), F_OK) != 0 && errno == ENOENT) return true;
    const uint32_t budget = g_vanish_ms.load();
    const uint32_t elapsed = elapsed_since(start);
    if (elapsed >= budget) return false;
    sleep_ms(std::min(kPollPauseMs, budget - elapsed));
  }
}

void eject_node(const std::string& node, uint32_t settle_ms, EjectOutcome* outcome) {
  const CdromCalls calls = current_calls();
  const int fd = open_node(calls, node, outcome);
  if (fd < 0) return;
  if (settle_ms > 0) sleep_ms(settle_ms);
  // udev locks the door of every CD-ROM at plug; a locked drive refuses the eject. A drive that
  // cannot lock needs no unlock, and one that refuses it may still eject: either way, on.
  if (const int unlocked = calls.unlock(fd); unlocked != 0) {
    outcome->note_failed_call("SCSI_IOCTL_DOORUNLOCK", unlocked);
  }
  const int result = calls.eject(fd);
  const int error = result == 0 ? 0 : outcome->note_failed_call("CDROMEJECT", result);
  ::close(fd);
  if (result == 0) {
    outcome->error = 0;
    return;
  }
  // A modem that switches on the eject may drop its CD-ROM before the command's status comes
  // back, which then reads as a refusal or as the errors of a vanishing device. Other errors
  // (ENOTTY: not a SCSI device) mean no command reached a drive: nothing to wait for.
  const bool may_be_leaving = result > 0 || error == EIO || error == ENODEV || error == ENXIO ||
                              error == ESHUTDOWN || error == ETIMEDOUT;
  if (may_be_leaving && node_goes(node)) {
    outcome->error = 0;
    outcome->left_the_bus = true;
    return;
  }
  outcome->error = error;
  outcome->scsi_result = result > 0 ? result : 0;
}

const char* status_name(int status) {
  switch (status) {
    case 0x00:
      return "GOOD";
    case 0x02:
      return "CHECK CONDITION";
    case 0x08:
      return "BUSY";
    case 0x18:
      return "RESERVATION CONFLICT";
    case 0x28:
      return "TASK SET FULL";
    default:
      return nullptr;
  }
}

}  // namespace

std::string scsi_result_text(int scsi_result) {
  const int status = scsi_result & 0xFF;
  const int host = (scsi_result >> 16) & 0xFF;
  char text[96];
  const char* name = status_name(status);
  std::snprintf(text, sizeof text, "SCSI status 0x%02X%s%s%s", status, name ? " (" : "",
                name ? name : "", name ? ")" : "");
  std::string out = text;
  if (host != 0) {
    std::snprintf(text, sizeof text, ", host byte 0x%02X", host);
    out += text;
  }
  return out;
}

EjectOutcome eject_cdrom(const std::string& interface_path, uint32_t settle_ms) {
  EjectOutcome outcome;
  std::vector<DeviceInterface> members;
  if (const int error = enumerate_interfaces(InterfaceClass::CdRom, &members)) {
    outcome.error = error;
    return outcome;
  }
  std::string wanted = interface_path;
  for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const DeviceInterface& member : members) {
    if (member.path != wanted) continue;
    outcome.node = root_path("dev/" + member.node);
    eject_node(outcome.node, settle_ms, &outcome);
    return outcome;
  }
  outcome.error = ENOENT;
  return outcome;
}

void set_cdrom_eject_retry_ms(uint32_t ms) {
  g_retry_ms.store(ms);
}

void set_cdrom_vanish_wait_ms(uint32_t ms) {
  g_vanish_ms.store(ms);
}

void set_cdrom_calls(const CdromCalls* calls) {
  std::lock_guard lock(g_calls_lock);
  g_calls = calls != nullptr ? *calls : CdromCalls{kernel_open, kernel_unlock, kernel_eject};
}

}  // namespace kav::platform
