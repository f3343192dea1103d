// The record of an eject's failed calls, the same on every system.
#include <cerrno>

#include "lib/platform/cdrom_eject.h"

namespace kav::platform {

int EjectOutcome::note_failed_call(const char* call, int result) {
  const int error = result > 0 ? 0 : errno;
  const int scsi_result = result > 0 ? result : 0;
  EjectFailure* last = failures.empty() ? nullptr : &failures.back();
  if (last != nullptr && last->call == call && last->error == error &&
      last->scsi_result == scsi_result) {
    ++last->times;
  } else {
    failures.push_back({call, error, scsi_result, 1});
  }
  return result > 0 ? EIO : error;
}

}  // namespace kav::platform
