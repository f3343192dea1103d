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

  // Writes `text` to the root-relative file `relative` (creating it).
  void write(const std::string& relative, const std::string& text) const;

 private:
  std::string path_;
  std::optional<std::string> saved_root_;
  std::optional<sim::DeviceTree> tree_;
};

}  // namespace kav::test
