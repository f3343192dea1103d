// Another process holding a serial device: a forked child, named as given, that opens the
// device exclusively and keeps it until release() or destruction. Tests use it to see what the
// library reports about a port that someone else has open.
//
// Threading: create, release and destroy on the test's thread.
#pragma once

#include <sys/types.h>

#include <string>

namespace kav::test {

class PortHolder {
 public:
  // Forks the holder and waits until it has the device open (held() tells whether it could).
  PortHolder(const std::string& device_path, const char* process_name);
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  bool held() const { return held_; }
  pid_t pid() const { return pid_; }

  // Lets the holder close the device and exit, and waits for it.
  void release();

 private:
  pid_t pid_ = -1;
  bool held_ = false;
  int ready_[2] = {-1, -1};
  int release_[2] = {-1, -1};
};

}  // namespace kav::test
