// Ejecting a CD-ROM on Windows: the drive is opened through its interface path, its door
// unlocked (IOCTL_STORAGE_MEDIA_REMOVAL) and the eject sent (IOCTL_STORAGE_EJECT_MEDIA). A
// modem that drops its CD-ROM as it switches may fail the eject; the drive's interface leaving
// the present CD-ROM class within the vanish time counts as ejected.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "lib/platform/cdrom_eject.h"
#include "lib/platform/clock.h"
#include "lib/platform/devices.h"
#include "lib/platform/win32.h"

#include <winioctl.h>

namespace kav::platform {

namespace {

std::atomic<uint32_t> g_vanish_ms{2000};
constexpr uint32_t kPollPauseMs = 50;

// The calls return -1 with errno set to the layer's code of the Windows error.
int fail_call() {
  errno = win32::error_of(GetLastError());
  return -1;
}

int system_open(const char* path) {
  HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_call();
  return HandleToLong(handle);
}

int system_unlock(int fd) {
  PREVENT_MEDIA_REMOVAL allow{};
  allow.PreventMediaRemoval = FALSE;
  DWORD returned = 0;
  if (!DeviceIoControl(LongToHandle(fd), IOCTL_STORAGE_MEDIA_REMOVAL, &allow, sizeof allow, nullptr,
                       0, &returned, nullptr)) {
    return fail_call();
  }
  return 0;
}

int system_eject(int fd) {
  DWORD returned = 0;
  if (!DeviceIoControl(LongToHandle(fd), IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0,
                       &returned, nullptr)) {
    return fail_call();
  }
  return 0;
}

std::mutex g_calls_lock;
CdromCalls g_calls{system_open, system_unlock, system_eject};
bool g_system_calls = true;

bool is_present(const std::string& path) {
  std::vector<std::string> paths;
  if (enumerate_interfaces(InterfaceClass::CdRom, &paths) != 0) return true;
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

// True when the drive leaves the present CD-ROM class within the vanish time.
bool drive_goes(const std::string& path) {
  const uint32_t start = tick_count();
  for (;;) {
    if (!is_present(path)) return true;
    const uint32_t budget = g_vanish_ms.load();
    const uint32_t elapsed = tick_count() - start;
    if (elapsed >= budget) return false;
    sleep_ms(std::min(kPollPauseMs, budget - elapsed));
  }
}

void eject_drive(const std::string& path, uint32_t settle_ms, EjectOutcome* outcome) {
  CdromCalls calls;
  bool system_calls;
  {
    std::lock_guard lock(g_calls_lock);
    calls = g_calls;
    system_calls = g_system_calls;
  }
  const int fd = calls.open(path.c_str());
  if (fd == -1) {
    outcome->error = outcome->note_failed_call("CreateFileA", -1);
    return;
  }
  if (settle_ms > 0) sleep_ms(settle_ms);
  // A locked door refuses the eject; a drive that cannot lock needs no unlock: either way, on.
  if (const int unlocked = calls.unlock(fd); unlocked != 0) {
    outcome->note_failed_call("IOCTL_STORAGE_MEDIA_REMOVAL", unlocked);
  }
  const int result = calls.eject(fd);
  const int error =
      result == 0 ? 0 : outcome->note_failed_call("IOCTL_STORAGE_EJECT_MEDIA", result);
  if (system_calls) CloseHandle(LongToHandle(fd));
  if (result == 0) {
    outcome->error = 0;
    return;
  }
  if (drive_goes(path)) {
    outcome->error = 0;
    outcome->left_the_bus = true;
    return;
  }
  outcome->error = error;
  outcome->scsi_result = result > 0 ? result : 0;
}

}  // namespace

std::string scsi_result_text(int scsi_result) {
  char text[64];
  std::snprintf(text, sizeof text, "SCSI status 0x%02X", scsi_result & 0xFF);
  return text;
}

EjectOutcome eject_cdrom(const std::string& interface_path, uint32_t settle_ms) {
  EjectOutcome outcome;
  std::vector<std::string> paths;
  if (const int error = enumerate_interfaces(InterfaceClass::CdRom, &paths)) {
    outcome.error = error;
    return outcome;
  }
  std::string wanted = interface_path;
  for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (std::find(paths.begin(), paths.end(), wanted) == paths.end()) {
    outcome.error = ENOENT;
    return outcome;
  }
  outcome.node = wanted;
  eject_drive(wanted, settle_ms, &outcome);
  return outcome;
}

// Windows sets a drive up before it lists it as present: there is no open to wait for.
void set_cdrom_eject_retry_ms(uint32_t) {}

void set_cdrom_vanish_wait_ms(uint32_t ms) {
  g_vanish_ms.store(ms);
}

void set_cdrom_calls(const CdromCalls* calls) {
  std::lock_guard lock(g_calls_lock);
  g_system_calls = calls == nullptr;
  g_calls = calls != nullptr ? *calls : CdromCalls{system_open, system_unlock, system_eject};
}

}  // namespace kav::platform
