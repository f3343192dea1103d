// Ejecting a CD-ROM drive: the request, its retries while udev still holds a new drive or has
// not yet opened its node to users, the SCSI fallback for drives the kernel will not eject,
// and an account of every failed call so that the caller can report what happened.
//
// Threading: eject_cdrom may run on any thread. set_cdrom_eject_retry_ms and set_cdrom_calls
// are for tests and start-up; change the calls only while no eject runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kav::platform {

// One system call of an eject that failed, and how many times in a row it failed so.
struct EjectFailure {
  std::string call;  // "open", "CDROMEJECT" or "START STOP UNIT"
  int error = 0;     // the errno value
  int times = 1;
};

struct EjectOutcome {
  std::string node;                    // <root>/dev/sr<k>; empty when no CD-ROM matched
  int error = 0;                       // 0 when the drive took the request, else why not
  bool by_scsi_command = false;        // taken as START STOP UNIT rather than CDROMEJECT
  std::vector<EjectFailure> failures;  // every failed call, in order, repeats folded
};

// Ejects the CD-ROM member with `interface_path` (letter case ignored): opens <root>/dev/sr<k>
// read-only without blocking, waits `settle_ms`, and sends CDROMEJECT. The open and the
// request are tried again for the retry time (3 s by default) while they fail with EACCES
// (devtmpfs makes the node 0600 root before udev sets its group), EBUSY (the CD-ROM layer
// refuses to eject a drive anyone else has open, as udev's cdrom_id does right after arrival)
// or EAGAIN (the SCSI layer is recovering the device). When the drive still refuses with
// EBUSY, or says it cannot eject (ENOSYS), the SCSI command START STOP UNIT with the eject bit
// goes to it through SG_IO, which any user who may open the drive may send. Other errors are
// not retried. The outcome's error is ENOENT when no present CD-ROM has that path, else 0 or
// the error of the last failed call.
EjectOutcome eject_cdrom(const std::string& interface_path, uint32_t settle_ms = 0);

// How long the open and the request are retried (ms); 3000 by default.
void set_cdrom_eject_retry_ms(uint32_t ms);

// The system calls of an eject, each returning 0 (or a descriptor) or -1 with errno set.
// Tests replace them to play a drive that refuses (tests/support/fake_cdrom.h).
struct CdromCalls {
  std::function<int(const char* path)> open;   // read-only, non-blocking
  std::function<int(int fd)> eject;            // CDROMEJECT
  std::function<int(int fd)> start_stop_unit;  // SG_IO START STOP UNIT, LoEj 1, Start 0
};

// Replaces the calls; none restores the kernel's.
void set_cdrom_calls(const CdromCalls* calls);

}  // namespace kav::platform
