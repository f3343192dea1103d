// The claim of a kav-modem-sim process on its device root. It owns three things: a lock on the
// root directory, held for the life of the process (two simulators in one root would fight
// over its nodes); the removal of what a killed run left behind (device entries and .ready);
// and <root>/.ready, which exists only while the modems run.
//
// Threading: used from main's thread only.
#pragma once

#include <string>

namespace kav::sim {

class RootClaim {
 public:
  // Creates the root when missing, locks it and removes the leftovers of a run that ended
  // without cleaning up. Throws std::runtime_error naming the root when another simulator
  // holds it, when it is the kernel's own device tree, or when a leftover cannot be removed
  // (the message gives the command that removes them).
  explicit RootClaim(const std::string& root);
  ~RootClaim();  // removes .ready; the lock ends with the process's descriptor
  RootClaim(const RootClaim&) = delete;
  RootClaim& operator=(const RootClaim&) = delete;

  // Creates <root>/.ready, and removes it again.
  void set_ready();
  void clear_ready();

 private:
  void remove_leftovers();

  std::string root_;
  int fd_ = -1;
};

}  // namespace kav::sim
