// A fixture for the library core: a temporary directory holding the user settings file, the
// log directory and the module directory, with the environment pointing there, and the
// library's process-wide state reset before and after each case.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lib/core/library.h"
#include "lib/discovery/monitors.h"
#include "lib/modem/lifecycle.h"
#include "tests/support/test_env.h"

namespace kav::test {

class CoreTest : public ::testing::Test {
 protected:
  CoreTest()
      : registry_env_("UMTS_KAV_REGISTRY", dir_.file("user.reg")),
        module_env_("UMTS_KAV_MODULE_DIR", dir_.file("module")),
        root_env_("UMTS_KAV_ROOT", dir_.file("root")) {}

  // The device monitors would add their own lines to the logs these cases count.
  void SetUp() override {
    reset_library_for_testing();
    set_monitors_enabled(false);
  }
  void TearDown() override { reset_library_for_testing(); }

  std::string registry_file() const { return dir_.file("user.reg"); }

  // Writes a settings file holding the library's key with `values` (lines of .reg text).
  void write_settings(const std::string& values) {
    write_file(registry_file(),
               "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_CURRENT_USER\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\r\n" +
                   values + "\r\n");
  }

  // Settings with both logs on, writing into `log_dir` (a directory below the temp dir).
  std::string enable_logs(const std::string& log_dir = "logs") {
    const std::string directory = dir_.file(log_dir);
    std::string escaped;
    for (char c : directory) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    write_settings(
        "\"Message Logging\"=dword:00000001\r\n\"Comm Logging\"=dword:00000001\r\n"
        "\"Logging Directory\"=\"" +
        escaped + "\"");
    return directory;
  }

  TempDir dir_;
  ScopedEnv registry_env_;
  ScopedEnv module_env_;
  ScopedEnv root_env_;
};

}  // namespace kav::test
