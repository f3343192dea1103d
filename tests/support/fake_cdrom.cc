#include "tests/support/fake_cdrom.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "lib/platform/cdrom_eject.h"

namespace kav::test {

namespace {

// The scripted answer of the n-th call (from 0): 0, a SCSI result, or -1 with errno set.
int answer(const std::vector<int>& script, int n) {
  if (script.empty()) return 0;
  const int entry = script[std::min<size_t>(static_cast<size_t>(n), script.size() - 1)];
  if (entry >= 0) return entry;
  errno = -entry;
  return -1;
}

}  // namespace

FakeCdromDrive::FakeCdromDrive(std::vector<int> open_script, std::vector<int> unlock_script,
                               std::vector<int> eject_script, std::function<void()> on_eject)
    : open_script_(std::move(open_script)),
      unlock_script_(std::move(unlock_script)),
      eject_script_(std::move(eject_script)),
      on_eject_(std::move(on_eject)) {
  platform::CdromCalls calls;
  calls.open = [this](const char* path) {
    if (answer(open_script_, opens_++) != 0) return -1;
    return ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  };
  calls.unlock = [this](int) { return answer(unlock_script_, unlocks_++); };
  calls.eject = [this](int) {
    if (on_eject_) on_eject_();
    return answer(eject_script_, ejects_++);
  };
  platform::set_cdrom_calls(&calls);
}

FakeCdromDrive::~FakeCdromDrive() {
  platform::set_cdrom_calls(nullptr);
}

}  // namespace kav::test
