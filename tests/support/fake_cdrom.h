// A CD-ROM drive that answers the system calls of an eject from scripts, for the eject's
// retries and fallback (lib/platform/cdrom_eject.h). Each call takes the next errno value of
// its script, 0 meaning success; the last entry repeats once the script runs out. A successful
// open opens the real node, so the descriptor the eject closes is a real one.
//
// Threading: one FakeCdromDrive at a time, created and destroyed while no eject runs.
#pragma once

#include <atomic>
#include <vector>

namespace kav::test {

class FakeCdromDrive {
 public:
  FakeCdromDrive(std::vector<int> open_errors, std::vector<int> eject_errors,
                 std::vector<int> start_stop_errors);
  ~FakeCdromDrive();
  FakeCdromDrive(const FakeCdromDrive&) = delete;
  FakeCdromDrive& operator=(const FakeCdromDrive&) = delete;

  // Calls made so far.
  int opens() const { return opens_; }
  int ejects() const { return ejects_; }
  int start_stops() const { return start_stops_; }

 private:
  std::vector<int> open_errors_, eject_errors_, start_stop_errors_;
  std::atomic<int> opens_{0}, ejects_{0}, start_stops_{0};
};

}  // namespace kav::test
