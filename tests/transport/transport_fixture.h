// A fixture for the DM transport over real pseudo-terminals: a device root whose
// /dev/ttyUSB<k> links to the slave of a sim::Pty (so open_com_port(k + 1) opens it, and the
// test plays the modem on the master), both logs switched on in a temporary directory, short
// waits, and the transport's process-wide state reset around each case.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/transport/comm_mode.h"
#include "lib/platform/clock.h"
#include "lib/transport/dm_frames.h"
#include "lib/transport/dm_port.h"
#include "lib/transport/hdlc.h"
#include "lib/transport/pinger.h"
#include "sim/pty.h"
#include "tests/core/core_fixture.h"
#include "tests/support/device_root.h"
#include "tests/support/test_env.h"

namespace kav::test {

// One comm-log line: "<time> <count> <tag> -- <hex bytes>".
struct CommRecord {
  int count = 0;
  std::string tag;
  std::vector<uint8_t> bytes;
};

inline std::vector<uint8_t> bytes_of(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

inline std::string hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char buffer[4];
  for (uint8_t b : bytes) {
    std::snprintf(buffer, sizeof buffer, "%2.2X ", b);
    out += buffer;
  }
  return out;
}

// A frame as a modem sends it (leading flag, 0x30 not escaped).
inline std::vector<uint8_t> modem_frame(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> wire(hdlc::max_encoded_size(payload.size()));
  wire.resize(
      hdlc::encode_frame(payload.data(), payload.size(), true, wire.data(), wire.size(), false));
  return wire;
}

class TransportTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    reset_dm_port();
    reset_dm_frames();
    root_ = std::make_unique<DeviceRoot>();
    enable_logs();
    set_logging(true, true);
    open_log_files();
    set_timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 50);
    set_open_retry_pause_ms(20);
  }

  void TearDown() override {
    stop_pinger();
    reset_dm_port();
    reset_dm_frames();
    root_.reset();
    ptys_.clear();
    CoreTest::TearDown();
  }

  // Plugs in a single-interface serial device whose ttyUSB<index> is a new pseudo-terminal
  // (COM index + 1). Returns the modem side.
  // The default identity is in no port map; 05C6:9008 (Qualcomm's emergency download device)
  // is a DM port to the scanner.
  sim::Pty& plug_modem(int index = 0, uint16_t vid = 0x1AB7, uint16_t pid = 0x0C01) {
    auto pty = std::make_unique<sim::Pty>();
    sim::UsbDeviceSpec usb;
    usb.vid = vid;
    usb.pid = pid;
    usb.bcd = 0x0100;
    usb.busport = "1-" + std::to_string(next_busport_++);
    sim::UsbInterfaceSpec itf;
    itf.number = 0;
    itf.kind = sim::PortKind::Serial;
    itf.index = index;
    itf.node_target = pty->slave_path();
    usb.interfaces.push_back(itf);
    devices_[index] = root_->tree().add_device(usb);
    sim::Pty& ref = *pty;
    ptys_.push_back(std::move(pty));
    return ref;
  }

  // Takes the device of ttyUSB<index> off the bus: its master closes and its nodes go.
  void unplug_modem(sim::Pty& pty, int index = 0) {
    pty.close_master();
    root_->tree().remove_device(devices_[index]);
  }

  // Opens COM<com> and makes it the connection's port.
  DmPortHandle connect(int com = 1) {
    DmPortHandle port = open_com_port(com);
    set_dm_port_handle(port);
    return port;
  }

  // Reads from the master until `n` bytes came or `timeout_ms` passed.
  static std::vector<uint8_t> read_master(sim::Pty& pty, size_t n, int timeout_ms = 1000) {
    std::vector<uint8_t> out;
    const uint32_t start = platform::tick_count();
    while (out.size() < n) {
      const int left = timeout_ms - static_cast<int>(platform::tick_count() - start);
      if (left <= 0) break;
      const std::vector<uint8_t> got = pty.read(left);
      out.insert(out.end(), got.begin(), got.end());
    }
    return out;
  }

  // Every record of the comm log so far.
  std::vector<CommRecord> records() const {
    std::vector<CommRecord> out;
    const std::string name = comm_log_name();
    if (name.empty()) return out;
    for (const std::string& line : split_lines(read_file(name))) {
      const size_t dot = line.find('.');
      const size_t sep = line.find(" -- ");
      if (dot == std::string::npos || sep == std::string::npos || dot + 7 > sep) continue;
      // After the time stamp ("h:mm:ss.mmmuuu"): the count, then the tag up to " -- ".
      const char* p = line.c_str() + dot + 7;
      char* end = nullptr;
      const long count = std::strtol(p, &end, 10);
      if (end == p) continue;
      CommRecord record;
      record.count = static_cast<int>(count);
      const size_t tag_start = static_cast<size_t>(end - line.c_str()) + 1;
      record.tag = tag_start <= sep ? line.substr(tag_start, sep - tag_start) : std::string();
      for (size_t i = sep + 4; i + 1 < line.size(); i += 3) {
        record.bytes.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
      }
      out.push_back(record);
    }
    return out;
  }

  std::vector<CommRecord> records_tagged(const std::string& tag) const {
    std::vector<CommRecord> out;
    for (const CommRecord& r : records()) {
      if (r.tag == tag) out.push_back(r);
    }
    return out;
  }

  std::unique_ptr<DeviceRoot> root_;
  std::vector<std::unique_ptr<sim::Pty>> ptys_;
  std::map<int, sim::DeviceHandle> devices_;
  int next_busport_ = 2;
};

}  // namespace kav::test
