#include "tests/support/fake_cdrom.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "lib/platform/cdrom_eject.h"

namespace kav::test {

namespace {

// The scripted answer of the n-th call (from 0): 0, or -1 with errno set.
int answer(const std::vector<int>& script, int n) {
  if (script.empty()) return 0;
  const int error = script[std::min<size_t>(static_cast<size_t>(n), script.size() - 1)];
  if (error == 0) return 0;
  errno = error;
  return -1;
}

}  // namespace

FakeCdromDrive::FakeCdromDrive(std::vector<int> open_errors, std::vector<int> eject_errors,
                               std::vector<int> start_stop_errors)
    : open_errors_(std::move(open_errors)),
      eject_errors_(std::move(eject_errors)),
      start_stop_errors_(std::move(start_stop_errors)) {
  platform::CdromCalls calls;
  calls.open = [this](const char* path) {
    if (answer(open_errors_, opens_++) != 0) return -1;
    return ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  };
  calls.eject = [this](int) { return answer(eject_errors_, ejects_++); };
  calls.start_stop_unit = [this](int) { return answer(start_stop_errors_, start_stops_++); };
  platform::set_cdrom_calls(&calls);
}

FakeCdromDrive::~FakeCdromDrive() {
  platform::set_cdrom_calls(nullptr);
}

}  // namespace kav::test
