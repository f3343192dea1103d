// Finding the processes that hold a device node open, through /proc/<pid>/fd. Serial opens use
// it to name the holder of a busy port, and, when running as root (which the kernel lets past
// another opener's exclusive mark), to refuse a port that some other program already has open.
//
// Only processes whose /proc/<pid>/fd the caller may read are seen: all of them for root, only
// the caller's own for anyone else.
//
// Threading: no state; any thread.
#pragma once

#include <string>
#include <vector>

namespace kav::platform {

struct DeviceHolder {
  long pid = 0;
  std::string name;  // /proc/<pid>/comm, "unknown" when it cannot be read
};

// The processes that have the node at `path` (symbolic links followed) open, sorted by pid. An
// open file is the node when it is the same character device (st_rdev), or for other node
// types the same file. Open files are recognised from their /proc link text first; only the
// node's own path and files under /dev are stat'ed, so a hung mount cannot stall the scan. Another
// process that also holds the master side of the same pseudo-terminal is the far end of the line
// (it plays the device; it is not a user of it) and is left out. `skip_self` leaves the calling
// process out altogether.
std::vector<DeviceHolder> device_holders(const std::string& path, bool skip_self);

// True when the process runs as root, who may look into every process's open files.
bool running_as_root();

// True when a process whose name (/proc/<pid>/comm) is `name` runs. Every process's name can
// be read, whoever runs it.
bool process_running(const std::string& name);

// True when `fd` is open on the slave side of a pseudo-terminal.
bool is_pty_slave(int fd);

// "ModemManager, pid 812; minicom, pid 90": at most the first four holders.
std::string holders_text(const std::vector<DeviceHolder>& holders);

}  // namespace kav::platform
