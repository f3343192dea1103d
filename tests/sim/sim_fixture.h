// Shared set-up of the simulator tests: a temporary root that the platform layer looks at, a
// modem in it with short re-enumeration times, and a raw client on its DM port.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/transport/diag_packets.h"
#include "sim/faults.h"
#include "sim/modem.h"
#include "tests/sim/raw_client.h"
#include "tests/support/test_env.h"

namespace kav::sim::test {

inline NvItemPacket nv_request(uint8_t cmd, uint16_t item, std::vector<uint8_t> data = {}) {
  NvItemPacket packet{};
  packet.cmd_code = cmd;
  packet.item = item;
  for (size_t i = 0; i < data.size() && i < 128; ++i) packet.data[i] = data[i];
  return packet;
}

inline std::vector<uint8_t> bytes_of(const NvItemPacket& packet) {
  const auto* raw = reinterpret_cast<const uint8_t*>(&packet);
  return {raw, raw + sizeof packet};
}

inline NvItemPacket packet_of(const std::vector<uint8_t>& bytes) {
  NvItemPacket packet{};
  std::memcpy(&packet, bytes.data(), std::min(bytes.size(), sizeof packet));
  return packet;
}

inline ModemConfig quick_config() {
  ModemConfig config;
  config.reenumerate_gap_ms = 150;
  config.leave_delay_ms = 20;
  config.offline_delay_ms = 150;
  return config;
}

class SimTest : public ::testing::Test {
 protected:
  SimTest() : env_("UMTS_KAV_ROOT", dir_.path()) {}

  Modem& start(ModemConfig config = quick_config()) {
    modem_ = std::make_unique<Modem>(dir_.path(), std::move(config));
    modem_->start();
    return *modem_;
  }
  std::unique_ptr<RawClient> client() {
    return std::make_unique<RawClient>(dir_.path() + "/dev/ttyUSB" +
                                       std::to_string(modem_->dm_com() - 1));
  }
  std::string root() const { return dir_.path(); }

  kav::test::TempDir dir_;
  kav::test::ScopedEnv env_;
  std::unique_ptr<Modem> modem_;
};

}  // namespace kav::sim::test
