// A CD-ROM drive that answers the calls of an eject from scripts (lib/platform/cdrom_eject.h).
// Each call takes the next entry of its script: 0 is success, a negative entry -e fails with
// errno e, a positive entry is the drive's SCSI result (a refusal). The last entry repeats once
// the script runs out; an empty script always succeeds. A successful open opens the real node,
// so the descriptor the eject closes is a real one. `on_eject`, when set, runs at each eject
// call (a test lets the drive leave the bus from it).
//
// Threading: one FakeCdromDrive at a time, created and destroyed while no eject runs.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

namespace kav::test {

class FakeCdromDrive {
 public:
  FakeCdromDrive(std::vector<int> open_script, std::vector<int> unlock_script,
                 std::vector<int> eject_script, std::function<void()> on_eject = {});
  ~FakeCdromDrive();
  FakeCdromDrive(const FakeCdromDrive&) = delete;
  FakeCdromDrive& operator=(const FakeCdromDrive&) = delete;

  // Calls made so far.
  int opens() const { return opens_; }
  int unlocks() const { return unlocks_; }
  int ejects() const { return ejects_; }

 private:
  std::vector<int> open_script_, unlock_script_, eject_script_;
  std::function<void()> on_eject_;
  std::atomic<int> opens_{0}, unlocks_{0}, ejects_{0};
};

}  // namespace kav::test
