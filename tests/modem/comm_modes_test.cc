// Mode changes and resets against the simulated modem: DM to DL with and without
// re-enumeration and back, the reset command per downloader, the offline step, the reset
// methods of the port map, just_reset, and the dot countdown.
#include "lib/modem/comm_modes.h"

#include <gmock/gmock.h>

#include "lib/modem/connect.h"
#include "lib/modem/just_reset.h"
#include "lib/platform/clock.h"
#include "tests/modem/modem_fixture.h"

namespace kav::test {
namespace {

using ::testing::ElementsAre;

class CommModesTest : public ModemTest {};

TEST_F(CommModesTest, IllegalModeIsRefusedBeforeAnyTraffic) {
  start();
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  const size_t before = modem_->history().size();
  EXPECT_EQ(ZqUmtsKavSetModemCommMode(0), status::kPortReadFailed);
  EXPECT_TRUE(said("ERROR: Illegal com_mode argument (0) to ZqUmtsKavSetModemCommMode.\n"));
  EXPECT_EQ(modem_->history().size(), before);
  EXPECT_EQ(ZqUmtsKavSetModemCommMode(ZqUmtsKavCommMode_DM), status::kSuccess);  // already
}

TEST_F(CommModesTest, DownloaderAndBackWithAndWithoutReenumeration) {
  // The library tells from the model's family whether the modem leaves the bus for its
  // downloader: 6275 and 6280 modems stay.
  for (const bool reenumerates : {true, false}) {
    SCOPED_TRACE(reenumerates ? "re-enumerating" : "same port");
    sim::ModemConfig config = sim::test::quick_config();
    config.download_reenumerates = reenumerates;
    if (!reenumerates) config.status.model = config.status.second_model = "U250";
    start(config);
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    capture_->clear();

    ASSERT_EQ(ZqUmtsKavSetModemCommMode(ZqUmtsKavCommMode_DL), status::kSuccess);
    EXPECT_EQ(current_comm_mode(), ZqUmtsKavCommMode_DL);
    EXPECT_EQ(modem_->diag().mode(), sim::ModemMode::DL);
    EXPECT_EQ(said("Reconnected to modem.\n"), reenumerates);
    EXPECT_EQ(frames_sent({0x3A}), 1u);

    ASSERT_EQ(ZqUmtsKavSetModemCommMode(ZqUmtsKavCommMode_DM), status::kSuccess);
    EXPECT_EQ(current_comm_mode(), ZqUmtsKavCommMode_DM);
    EXPECT_EQ(frames_sent({0x0A}), 1u);
    EXPECT_TRUE(just_reset());
    ZqUmtsKavDisconnect();
    modem_.reset();
  }
}

TEST_F(CommModesTest, StreamingDownloaderIsResetWith0B) {
  sim::ModemConfig config = sim::test::quick_config();
  config.start_in_dl = true;
  config.downloader = sim::Downloader::Streaming;
  start(config);
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  ASSERT_EQ(ZqUmtsKavSetModemCommMode(ZqUmtsKavCommMode_DM), status::kSuccess);
  EXPECT_EQ(frames_sent({0x0B}), 1u);
  EXPECT_EQ(frames_sent({0x0A}), 0u);
}

TEST_F(CommModesTest, DmResetTakesTheModemOfflineUnlessItAlreadyIs) {
  for (const uint8_t online_mode : {5, 2}) {
    SCOPED_TRACE(online_mode);
    sim::ModemConfig config = sim::test::quick_config();
    config.status.online_mode = online_mode;
    start(config);
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    ASSERT_EQ(ZqUmtsKavResetModem(), status::kSuccess);
    EXPECT_EQ(frames_sent({0x29, 0x01, 0x00}), online_mode == 2 ? 0u : 1u);
    EXPECT_EQ(frames_sent({0x29, 0x02, 0x00}), 1u);
    EXPECT_EQ(modem_->returns(), 1);
    EXPECT_TRUE(dm_port_handle());
    ZqUmtsKavDisconnect();
    modem_.reset();
    set_just_reset(false);
  }
}

TEST_F(CommModesTest, SecondResetRightAfterTheFirstIsSkipped) {
  start();
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  ASSERT_EQ(ZqUmtsKavResetModem(), status::kSuccess);
  capture_->clear();
  EXPECT_EQ(ZqUmtsKavResetModem(), status::kSuccess);
  EXPECT_THAT(capture_->messages(), ElementsAre("Just reset, no need to do it again.\n"));
  EXPECT_EQ(frames_sent({0x29, 0x02, 0x00}), 1u);
  // A request that may change the modem clears the flag: the next reset is real.
  uint8_t request[133] = {0x26, 0xD6, 0x13};
  ASSERT_EQ(ZqUmtsKavSendGenericDMCommand(request, nullptr), status::kSuccess);
  EXPECT_FALSE(just_reset());
}

TEST_F(CommModesTest, ResetMethodsOfThePortMap) {
  const struct {
    const char* method;
    ZqUmtsKavResetMethodEnum value;
    const char* first_message;
    size_t reset_commands;
  } cases[] = {
      {"PortCloseOpen", PortCloseOpen, "Forcing Reset\n", 0},
      {"ModemHardware", ModemHardware, "Sending Reset Command\n", 1},
      {"Both", Both, "Sending Reset Command\n", 1},
      {"None", None, "Reset Method None -->> NO-OP\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    set_simulator_reset_method(c.method);
    start();
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    EXPECT_EQ(reset_method_for_port(), c.value);
    capture_->clear();
    EXPECT_EQ(ZqUmtsKavResetModem(), status::kSuccess);
    EXPECT_EQ(capture_->messages().at(0), c.first_message);
    EXPECT_EQ(frames_sent({0x29, 0x02, 0x00}), c.reset_commands);
    EXPECT_EQ(just_reset(), std::string(c.method) != "None");
    ZqUmtsKavDisconnect();
    modem_.reset();
    set_just_reset(false);
  }
}

TEST_F(CommModesTest, PortWithoutResetMethodCannotLeaveTheDownloader) {
  set_simulator_reset_method("None");
  sim::ModemConfig config = sim::test::quick_config();
  config.start_in_dl = true;
  start(config);
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  capture_->clear();
  EXPECT_EQ(ZqUmtsKavSetModemCommMode(ZqUmtsKavCommMode_DM), status::kMoveToDmFailed);
  EXPECT_EQ(times_said("Reset Method None -->> NO-OP\n"), 2u);
  EXPECT_TRUE(said("Set comm mode transition DL->DM failed, trying again.\n"));
  EXPECT_EQ(capture_->messages().back(), "ERROR: Failure to transition to ZqUmtsKavCommMode_DM.\n");
  EXPECT_EQ(frames_sent({0x0A}), 0u);
}

TEST_F(CommModesTest, FixedPortModeResetsByHardwareAndNeverExpectsReenumeration) {
  sim::ModemConfig config = sim::test::quick_config();
  start(config);
  ZqUmtsKavSetConnectSettings(115200, true, modem_->dm_com());
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  EXPECT_EQ(reset_method_for_port(), ModemHardware);
  EXPECT_FALSE(modem_reenumerates_into_dl());
  EXPECT_EQ(frames_sent({0x4B, 250, 0, 0}), 0u);  // decided without asking the modem
}

TEST_F(CommModesTest, CountdownDrawsOneMoreDotEachSecond) {
  const uint32_t start_tick = platform::tick_count();
  count_down(2500);
  const uint32_t elapsed = platform::tick_count() - start_tick;
  EXPECT_THAT(capture_->messages(), ElementsAre(".\r", "..\r", "...\r"));
  EXPECT_GE(elapsed, 3000u);
  capture_->clear();
  count_down(0);
  EXPECT_TRUE(capture_->messages().empty());
}

}  // namespace
}  // namespace kav::test
