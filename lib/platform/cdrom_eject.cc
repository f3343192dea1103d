#include "lib/platform/cdrom_eject.h"

#include <fcntl.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <mutex>

#include "lib/platform/clock.h"
#include "lib/platform/devices.h"
#include "lib/platform/files.h"

namespace kav::platform {

namespace {

std::atomic<uint32_t> g_retry_ms{3000};
// Pause between tries: udev's cdrom_id holds a new drive for a few hundred ms at most.
constexpr uint32_t kRetryPauseMs = 50;
// How long the drive may take over START STOP UNIT (the tray moves).
constexpr unsigned kStartStopTimeoutMs = 10000;

// START STOP UNIT: opcode 0x1B; byte 4 holds LoEj (bit 1) and Start (bit 0).
constexpr uint8_t kStartStopUnit = 0x1B;
constexpr uint8_t kLoadEject = 0x02;

int kernel_open(const char* path) {
  return ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

int kernel_eject(int fd) {
  return ioctl(fd, CDROMEJECT, 0);
}

int kernel_start_stop_unit(int fd) {
  uint8_t cdb[6] = {kStartStopUnit, 0, 0, 0, kLoadEject, 0};
  uint8_t sense[32] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_NONE;
  io.cmd_len = sizeof cdb;
  io.cmdp = cdb;
  io.mx_sb_len = sizeof sense;
  io.sbp = sense;
  io.timeout = kStartStopTimeoutMs;
  if (ioctl(fd, SG_IO, &io) != 0) return -1;
  // The drive answered but refused (check condition, or a transport error).
  if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK) {
    errno = EIO;
    return -1;
  }
  return 0;
}

std::mutex g_calls_lock;
CdromCalls g_calls{kernel_open, kernel_eject, kernel_start_stop_unit};

CdromCalls current_calls() {
  std::lock_guard lock(g_calls_lock);
  return g_calls;
}

// EAGAIN: the SCSI layer refuses a non-blocking request while it recovers the device.
bool worth_retrying(int error) {
  return error == EACCES || error == EBUSY || error == EAGAIN;
}

void note_failure(EjectOutcome* outcome, const char* call, int error) {
  outcome->error = error;
  if (!outcome->failures.empty()) {
    EjectFailure& last = outcome->failures.back();
    if (last.call == call && last.error == error) {
      ++last.times;
      return;
    }
  }
  outcome->failures.push_back({call, error, 1});
}

// Runs `attempt` until it succeeds, fails for good, or the retry time since `start` is spent.
// Returns its last result; failures are noted in `outcome`.
template <typename F>
int with_retries(uint32_t start, const char* call, EjectOutcome* outcome, F attempt) {
  for (;;) {
    const int result = attempt();
    if (result >= 0) return result;
    const int error = errno;
    note_failure(outcome, call, error);
    const uint32_t elapsed = tick_count() - start;
    const uint32_t budget = g_retry_ms.load();
    if (!worth_retrying(error) || elapsed >= budget) return result;
    sleep_ms(std::min(kRetryPauseMs, budget - elapsed));
  }
}

void eject_node(const std::string& node, uint32_t settle_ms, EjectOutcome* outcome) {
  const CdromCalls calls = current_calls();
  const uint32_t start = tick_count();
  const int fd = with_retries(start, "open", outcome, [&] { return calls.open(node.c_str()); });
  if (fd < 0) return;
  if (settle_ms > 0) sleep_ms(settle_ms);
  if (with_retries(start, "CDROMEJECT", outcome, [&] { return calls.eject(fd); }) == 0) {
    outcome->error = 0;
  } else if (outcome->error == ENOSYS || outcome->error == EBUSY) {
    // The drive claims it has no tray, or someone still holds it: the SCSI command reaches
    // the drive itself, past both checks.
    if (calls.start_stop_unit(fd) == 0) {
      outcome->error = 0;
      outcome->by_scsi_command = true;
    } else {
      note_failure(outcome, "START STOP UNIT", errno);
    }
  }
  ::close(fd);
}

}  // namespace

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

void set_cdrom_calls(const CdromCalls* calls) {
  std::lock_guard lock(g_calls_lock);
  g_calls =
      calls != nullptr ? *calls : CdromCalls{kernel_open, kernel_eject, kernel_start_stop_unit};
}

}  // namespace kav::platform
