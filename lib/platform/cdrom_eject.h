// Ejecting a CD-ROM drive: unlocking its door, the eject request, the wait for a drive that
// leaves the bus instead of answering, and an account of every failed call so that the caller
// can report what happened.
//
// On Linux the sr driver hands CDROMEJECT straight to the SCSI layer, which sends START STOP
// UNIT with the eject bit: the CD-ROM layer's own checks (another opener, a drive without a
// tray) never run, so neither EBUSY nor ENOSYS comes back. What does come back is the drive's
// answer: 0 when it took the command, a positive SCSI result when it refused (for one, because
// udev's cdrom_id locked the door with PREVENT MEDIUM REMOVAL at plug), or an errno value when
// the command could not be sent.
//
// Threading: eject_cdrom may run on any thread. The set_ functions are for tests and start-up;
// change the calls only while no eject runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kav::platform {

// One call of an eject that failed, and how many times in a row it failed so.
struct EjectFailure {
  std::string call;     // "open", "SCSI_IOCTL_DOORUNLOCK" or "CDROMEJECT"
  int error = 0;        // the errno value; 0 when the drive refused (scsi_result)
  int scsi_result = 0;  // the drive's refusal: SCSI status in the low byte, host byte in 16-23
  int times = 1;
};

struct EjectOutcome {
  std::string node;                    // <root>/dev/sr<k>; empty when no CD-ROM matched
  int error = 0;                       // 0 when ejected, else why not (EIO for a refusal)
  int scsi_result = 0;                 // the eject's refusal by the drive, else 0
  bool left_the_bus = false;           // ejected: the drive went away instead of answering
  std::vector<EjectFailure> failures;  // every failed call, in order, repeats folded

  // Notes the failed `call` that returned `result`: -1 with errno set, or the drive's positive
  // refusal. A repeat of the last failure adds to its count. Returns the errno value, or EIO
  // for a refusal.
  int note_failed_call(const char* call, int result);
};

// Ejects the CD-ROM member with `interface_path` (letter case ignored): opens <root>/dev/sr<k>
// read-only without blocking, waits `settle_ms`, unlocks the door (SCSI_IOCTL_DOORUNLOCK: a
// refusal is noted and the eject sent anyway) and sends CDROMEJECT once. The open is tried
// again while it fails with EACCES and udev, which runs, has not yet handled the node
// (devtmpfs makes it 0600 root before udev sets its group), for at most the retry time (10 s
// by default); other errors, and EACCES after udev is done with the node, are final. When the
// eject is refused or fails as a vanishing device does (EIO, ENODEV, ENXIO, ESHUTDOWN,
// ETIMEDOUT), a drive whose node goes within the vanish time (2 s by default) has switched
// away (a modem leaving its CD-ROM personality) and counts as ejected. The
// outcome's error is ENOENT when no present CD-ROM has that path.
EjectOutcome eject_cdrom(const std::string& interface_path, uint32_t settle_ms = 0);

// How long the open is retried while udev handles the node (ms); 10000 by default.
void set_cdrom_eject_retry_ms(uint32_t ms);

// How long a failed eject waits for the drive to leave (ms); 2000 by default.
void set_cdrom_vanish_wait_ms(uint32_t ms);

// "SCSI status 0x02 (CHECK CONDITION)", with the host byte when it is set: the text of a
// refusal's result.
std::string scsi_result_text(int scsi_result);

// The calls of an eject. open returns a descriptor or -1 with errno set; unlock and eject
// return 0, the drive's positive SCSI result, or -1 with errno set. Tests replace them to play
// a drive (tests/support/fake_cdrom.h).
struct CdromCalls {
  std::function<int(const char* path)> open;  // read-only, non-blocking
  std::function<int(int fd)> unlock;          // SCSI_IOCTL_DOORUNLOCK
  std::function<int(int fd)> eject;           // CDROMEJECT
};

// Replaces the calls; none restores the kernel's.
void set_cdrom_calls(const CdromCalls* calls);

}  // namespace kav::platform
