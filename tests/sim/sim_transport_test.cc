#include <gtest/gtest.h>

#include "lib/core/timeouts.h"
#include "lib/transport/dm_frames.h"
#include "lib/transport/dm_port.h"
#include "lib/transport/pinger.h"
#include "tests/sim/sim_fixture.h"

namespace kav::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

// The library's own transport against the simulator: open the DM port by its COM number, send
// with ZqUmtsKavCommandDMCom and read with ZqUmtsKavResponseDMCom.
class SimTransportTest : public SimTest {
 protected:
  void SetUp() override {
    reset_dm_port();
    reset_dm_frames();
    set_timeout(Timeout::POST_OPEN_DELAY, 10);
    set_timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 20);
  }
  void TearDown() override {
    stop_pinger();
    reset_dm_port();
    reset_dm_frames();
  }
  bool open(int com) {
    DmPortHandle handle = open_com_port(com);
    if (!handle) return false;
    set_dm_port_handle(handle);
    return true;
  }
  // The first response whose leading bytes equal `prefix`, within `budget_ms`.
  std::optional<Bytes> exchange(const Bytes& request, const Bytes& prefix, int budget_ms = 1500) {
    if (ZqUmtsKavCommandDMCom(request.data(), static_cast<uint32_t>(request.size()), false) != 0) {
      return std::nullopt;
    }
    int32_t left = budget_ms;
    for (;;) {
      const uint8_t* data = nullptr;
      int32_t length = 0;
      if (ZqUmtsKavResponseDMCom(&data, &length, &left) == 18) return std::nullopt;
      if (length <= 0) continue;
      Bytes answer(data, data + length);
      if (answer.size() >= prefix.size() &&
          std::equal(prefix.begin(), prefix.end(), answer.begin())) {
        return answer;
      }
    }
  }
};

TEST_F(SimTransportTest, LibraryTransportReadsEveryAnswer) {
  Modem& modem = start();
  ASSERT_TRUE(open(1));
  EXPECT_EQ((Bytes{0x13, 0x06}), exchange({0x06}, {0x13}));
  const Bytes write = bytes_of(nv_request(0x27, 5078, {'T', 0x30, 0x7E, 0x7D}));
  const auto echo = exchange(write, {0x27});
  ASSERT_TRUE(echo);
  EXPECT_EQ(0, packet_of(*echo).nv_stat);
  modem.add_fault(FaultSpec{FaultKind::StaleFirst, 0x26});
  modem.add_fault(FaultSpec{FaultKind::Garbage, 0x26});
  for (int i = 0; i < 2; ++i) {
    const auto read = exchange(bytes_of(nv_request(0x26, 5078)), {0x26, 0xD6, 0x13});
    ASSERT_TRUE(read);
    EXPECT_EQ(0, std::memcmp("T\x30\x7e\x7d", packet_of(*read).data, 4));
  }
  EXPECT_EQ(181u, exchange({0x4B, 0xFA, 0x00, 0x00}, {0x4B, 0xFA})->size());
  modem.add_fault(FaultSpec{FaultKind::NoAnswer, 0x06});
  EXPECT_FALSE(exchange({0x06}, {0x13}, 300));
  EXPECT_EQ(0, close_com_port());
}

// The same transport over a PCIe modem's QCDM port (COM 501). The simulator's node is a
// pseudo-terminal: a real wwan port is no tty, which only the serial layer's own tests cover.
TEST_F(SimTransportTest, PcieQcdmPortCarriesNvReadsAndWrites) {
  ModemConfig c = quick_config();
  c.pcie = true;
  start(c);
  ASSERT_TRUE(open(501));
  const Bytes write = bytes_of(nv_request(0x27, 5078, {'P', 'C', 'I'}));
  ASSERT_TRUE(exchange(write, {0x27}));
  const auto read = exchange(bytes_of(nv_request(0x26, 5078)), {0x26, 0xD6, 0x13});
  ASSERT_TRUE(read);
  EXPECT_EQ(0, std::memcmp("PCI", packet_of(*read).data, 3));
  EXPECT_EQ(0, close_com_port());
}

}  // namespace
}  // namespace kav::sim::test
