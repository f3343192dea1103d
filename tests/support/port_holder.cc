#include "tests/support/port_holder.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/platform/serial.h"

namespace kav::test {

PortHolder::PortHolder(const std::string& device_path, const char* process_name) {
  if (pipe(ready_) != 0 || pipe(release_) != 0) return;
  pid_ = fork();
  if (pid_ < 0) return;
  if (pid_ == 0) {
    prctl(PR_SET_NAME, process_name);
    platform::SerialPort port;
    const char ok = port.open(device_path) ? 'y' : 'n';
    (void)!::write(ready_[1], &ok, 1);
    char c;
    (void)!::read(release_[0], &c, 1);
    _exit(0);
  }
  char ok = 0;
  held_ = ::read(ready_[0], &ok, 1) == 1 && ok == 'y';
}

PortHolder::~PortHolder() {
  release();
  for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void PortHolder::release() {
  if (pid_ <= 0) return;
  (void)!::write(release_[1], "x", 1);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace kav::test
