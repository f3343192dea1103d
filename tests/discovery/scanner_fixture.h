// Shared set-up of the scanner and monitor tests: a temporary device root, a clean library
// (scanner, port map, messages, time-outs) before and after each case, a message capture, and
// builders for the devices the cases plug in.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "lib/core/library.h"
#include "lib/core/messages.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/monitors.h"
#include "lib/discovery/port_map.h"
#include "lib/modem/lifecycle.h"
#include "sim/device_tree.h"
#include "tests/support/device_root.h"
#include "tests/support/test_env.h"

namespace kav::test {

inline sim::UsbInterfaceSpec serial_interface(int number, int tty_index,
                                              sim::PortKind kind = sim::PortKind::Serial,
                                              uint8_t cls = 0xff) {
  sim::UsbInterfaceSpec itf;
  itf.number = number;
  itf.interface_class = cls;
  itf.kind = kind;
  itf.index = tty_index;
  return itf;
}

// Qualcomm's emergency download device (single interface, "QCOM Emergency Boot", PT_DM) on
// ttyUSB<tty_index>, i.e. COM tty_index+1.
inline sim::UsbDeviceSpec emergency_boot(int tty_index, const std::string& busport) {
  return sim::UsbDeviceSpec{0x05c6, 0x9008, 0x0000, busport, 0, {serial_interface(0, tty_index)}};
}

// A Gobi modem: DM (interface 0) on ttyUSB<dm_index>, AT (interface 1) on ttyUSB<at_index>.
inline sim::UsbDeviceSpec gobi_modem(int dm_index, int at_index, const std::string& busport) {
  return sim::UsbDeviceSpec{0x05c6, 0x9001,
                            0x0232, busport,
                            0,      {serial_interface(0, dm_index), serial_interface(1, at_index)}};
}

class ScannerTest : public ::testing::Test {
 protected:
  ScannerTest()
      : registry_env_("UMTS_KAV_REGISTRY", dir_.file("user.reg")),
        module_env_("UMTS_KAV_MODULE_DIR", dir_.file("module")) {}

  void SetUp() override {
    reset_library_for_testing();
    reset_port_map();
    capture_.emplace();  // after the reset, which removes any sink
  }
  void TearDown() override {
    stop_monitors();
    capture_.reset();
    reset_library_for_testing();
    reset_port_map();
  }

  sim::DeviceTree& tree() { return root_.tree(); }

  // Turns the comm log on, writing into a directory of the test; returns the log's file name.
  std::string enable_comm_log() {
    write_file(dir_.file("user.reg"),
               "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_CURRENT_USER\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\r\n"
               "\"Logging Directory\"=\"" +
                   dir_.file("logs") + "\"\r\n");
    set_logging(false, true);
    open_log_files();
    return comm_log_name();
  }

  // The comm-log lines that carry `tag` (after the time stamp).
  std::vector<std::string> comm_lines_with(const std::string& tag) {
    std::vector<std::string> found;
    for (const std::string& line : split_lines(read_file(comm_log_name()))) {
      if (line.find(tag) != std::string::npos) found.push_back(line);
    }
    return found;
  }

  TempDir dir_;
  ScopedEnv registry_env_;
  ScopedEnv module_env_;
  DeviceRoot root_;
  std::optional<MessageCapture> capture_;
  MessageCapture& messages() { return *capture_; }
};

}  // namespace kav::test
