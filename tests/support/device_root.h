// A temporary device root for tests: a fresh directory holding a sim::DeviceTree, with
// UMTS_KAV_ROOT pointed at it for the lifetime of the object. The previous value of
// UMTS_KAV_ROOT is restored and the directory removed on destruction.
//
// Threading: create and destroy on the test's main thread; other threads may read the tree
// while the object lives.
#pragma once

#include <optional>
#include <string>

#include "sim/device_tree.h"

namespace kav::test {

class DeviceRoot {
 public:
  DeviceRoot();
  ~DeviceRoot();
  DeviceRoot(const DeviceRoot&) = delete;
  DeviceRoot& operator=(const DeviceRoot&) = delete;

  const std::string& path() const { return path_; }
  sim::DeviceTree& tree() { return *tree_; }

  // Writes `text` to the root-relative file `relative` (creating it and its directories).
  void write(const std::string& relative, const std::string& text) const;

 private:
  std::string path_;
  std::optional<std::string> saved_root_;
  std::optional<sim::DeviceTree> tree_;
};

// One interface of a simulated device: its number, class, the kind of node it carries and the
// node's index (ttyUSB<index>, hidraw<index>, ...).
inline sim::UsbInterfaceSpec usb_port(int number, uint8_t interface_class, sim::PortKind kind,
                                      int index) {
  sim::UsbInterfaceSpec itf;
  itf.number = number;
  itf.interface_class = interface_class;
  itf.kind = kind;
  itf.index = index;
  return itf;
}

}  // namespace kav::test
