// What udev has recorded about device nodes, read from its run-time directory
// <root>/run/udev: whether udev runs at all (its control socket exists), and the database entry
// it writes for a node once it has handled the node's event (data/c<major>:<minor> for a
// character device, data/b<major>:<minor> for a block device). udev sets a node's owner, group
// and mode before it writes that entry, so a node without one may still change permissions.
//
// Threading: no state; any thread.
#pragma once

#include <optional>
#include <string>

namespace kav::platform {

// True when udev runs: <root>/run/udev/control exists.
bool udev_running();

// The database entry of the device node at `path` (symbolic links followed), or none when the
// path is not a character or block device.
std::optional<std::string> udev_entry_path(const std::string& path);

// True when udev runs, the node exists and udev has not written its entry yet: udev is still
// handling the node's arrival.
bool udev_still_handling(const std::string& path);

// The value of the property `key` (an "E:<key>=<value>" line) in the node's entry. None when
// there is no entry or the entry lacks the key.
std::optional<std::string> udev_property(const std::string& path, const std::string& key);

}  // namespace kav::platform
