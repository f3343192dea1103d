// A fixture for modem control against the simulated modem: the library attached in a temporary
// root (monitors running, so the COM port mask follows the modem on and off the bus), the
// update command's port map document applied, every wait shortened, and the library's messages
// captured. The modem itself is started by each case with the configuration it needs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/monitors.h"
#include "lib/discovery/port_map.h"
#include "lib/modem/lifecycle.h"
#include "lib/platform/clock.h"
#include "lib/transport/comm_mode.h"
#include "lib/transport/dm_port.h"
#include "sim/device_tree.h"
#include "tests/sim/sim_fixture.h"
#include "tool/port_map_document.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::test {

class ModemTest : public sim::test::SimTest {
 protected:
  ModemTest()
      : registry_env_("UMTS_KAV_REGISTRY", dir_.file("user.reg")),
        module_env_("UMTS_KAV_MODULE_DIR", dir_.file("module")) {}

  void SetUp() override {
    reset_library_for_testing();
    reset_port_map();
    keep_device_directories();
    set_monitors_enabled(true);
    DllMain(1);
    shorten_waits();
    ASSERT_EQ(ZqUmtsKavPortMapUpdate(tool::kKelnorsetPortMapDocument), 0);
    capture_.emplace();
  }

  void TearDown() override {
    // What the library said is the first thing to read when a case fails.
    if (HasFailure()) std::fprintf(stderr, "Library messages:\n%s\n", capture_->text().c_str());
    DllMain(0);
    library_shutdown();
    capture_.reset();
    second_.reset();
    modem_.reset();
    reset_library_for_testing();
    reset_port_map();
  }

  // The monitors watch <root>/dev and the USB device directory, which on a real machine are
  // always there. A simulated modem removes the directories it leaves empty, so give them an
  // entry of their own before the monitors start.
  void keep_device_directories() {
    sim::DeviceTree skeleton(root());
    write_file(root() + "/dev/.keep", "");
    write_file(root() + "/sys/bus/usb/devices/.keep", "");
  }

  // Waits long enough for the simulator on a loaded machine, short enough for a quick suite.
  static void shorten_waits() {
    set_timeout(Timeout::ZQUMTSKAVCONNECT_TEASER_DELAY, 100);
    set_timeout(Timeout::ZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT, 3000);
    set_timeout(Timeout::POST_OPEN_DELAY, 0);
    set_timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 20);
    set_timeout(Timeout::FAST_PROBE_RESPONSE_WAIT, 300);
    set_timeout(Timeout::PROBE_RESPONSE_WAIT, 400);
    set_timeout(Timeout::RESPONSE_WAIT, 300);
    set_timeout(Timeout::EXTENDED_PROBE_RESPONSE_WAIT, 400);
    set_timeout(Timeout::ZQ_STATUS_OPRT_MODE_SCAN_INTERVAL, 50);
    set_timeout(Timeout::MODE_CHANGE_WAIT, 2000);
    set_timeout(Timeout::RESET_PCO_REOPEN_DELAY, 0);
    set_timeout(Timeout::RESET_MH_REATTACH_DELAY, 0);
    set_timeout(Timeout::RESET_BOTH_SETTLE_DELAY, 0);
    set_timeout(Timeout::RESET_BOTH_AUTO_PORT_DISAPPEAR_LIMIT, 2000);
    set_timeout(Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT, 3000);
    set_open_retry_pause_ms(20);
  }

  // Waits until the COM port mask answers `expected` for "which DM port" (-1: several).
  static bool wait_for_dm_ports(int expected, int timeout_ms = 3000) {
    const uint32_t start = platform::tick_count();
    while (get_dm_port(0) != expected) {
      if (platform::tick_count() - start > static_cast<uint32_t>(timeout_ms)) return false;
      platform::sleep_ms(10);
    }
    return true;
  }

  // Applies a port map document giving the simulator's DM port `method` as its reset method.
  // The name decides the family the scanner reports: a 9X15 name ("Vorla") raises
  // RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT to three minutes at every scan.
  static void set_simulator_reset_method(const char* method, const char* name = "ZQTL Vorla") {
    const std::string document =
        std::string("<UmtsKavConfig><Modem><Name>") + name + "</Name><DefaultResetMethod>" +
        method +
        "</DefaultResetMethod><PortId PortType=\"PT_DM\">USB\\VID_5C8E&amp;PID_A7E2&amp;MI_01"
        "</PortId></Modem></UmtsKavConfig>";
    ASSERT_EQ(ZqUmtsKavPortMapUpdate(document.c_str()), 0);
  }

  // The frames the host sent so far whose payload begins with `prefix`.
  size_t frames_sent(const std::vector<uint8_t>& prefix) const {
    size_t count = 0;
    for (const sim::HostMessage& m : modem_->history()) {
      if (m.kind == sim::HostMessage::Kind::Frame && m.bytes.size() >= prefix.size() &&
          std::equal(prefix.begin(), prefix.end(), m.bytes.begin())) {
        ++count;
      }
    }
    return count;
  }

  // The AT lines the host sent so far.
  std::vector<std::string> at_lines() const {
    std::vector<std::string> lines;
    for (const sim::HostMessage& m : modem_->history()) {
      if (m.kind == sim::HostMessage::Kind::AtLine)
        lines.emplace_back(m.bytes.begin(), m.bytes.end());
    }
    return lines;
  }

  bool said(const std::string& message) const {
    const std::vector<std::string> all = capture_->messages();
    return std::find(all.begin(), all.end(), message) != all.end();
  }

  size_t times_said(const std::string& message) const {
    const std::vector<std::string> all = capture_->messages();
    return static_cast<size_t>(std::count(all.begin(), all.end(), message));
  }

  ScopedEnv registry_env_;
  ScopedEnv module_env_;
  std::optional<MessageCapture> capture_;
  std::unique_ptr<sim::Modem> second_;
};

}  // namespace kav::test
