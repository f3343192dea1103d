#include "tests/support/device_root.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kav::test {

DeviceRoot::DeviceRoot() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kav-root-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create " + pattern);
  path_ = pattern;
  if (const char* old = std::getenv("UMTS_KAV_ROOT")) saved_root_ = old;
  setenv("UMTS_KAV_ROOT", path_.c_str(), 1);
  tree_.emplace(path_);
}

DeviceRoot::~DeviceRoot() {
  if (saved_root_) {
    setenv("UMTS_KAV_ROOT", saved_root_->c_str(), 1);
  } else {
    unsetenv("UMTS_KAV_ROOT");
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void DeviceRoot::write(const std::string& relative, const std::string& text) const {
  const std::filesystem::path file = path_ + "/" + relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + relative);
}

}  // namespace kav::test
