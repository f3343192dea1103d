// Another process holding a serial device: a forked child, named as given, that opens the
// device and keeps it until release() or destruction. Tests use it to see what the library
// reports about a port that someone else has open, and whether it lets such a port be shared.
//
// Threading: create, release and destroy on the test's thread.
#pragma once

#include <sys/types.h>

#include <string>

namespace kav::test {

// How the holder opens the device.
enum class HoldStyle {
  kLibrary,   // as this library does: advisory lock and the tty's exclusive mark
  kMarkOnly,  // a plain open that marks the tty exclusive, without the lock
  kPlain,     // a plain open, neither lock nor mark (as ModemManager probes a port)
  // A plain open by a process that keeps everything it inherited, the test's pseudo-terminal
  // master among them: the position of a simulator, which plays the device.
  kDeviceEnd,
};

class PortHolder {
 public:
  // Forks the holder and waits until it has the device open (held() tells whether it could).
  // Apart from kDeviceEnd, the holder first closes the descriptors it inherited, so that it
  // holds only the device.
  PortHolder(const std::string& device_path, const char* process_name,
             HoldStyle style = HoldStyle::kLibrary);
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
