// Mode changes and resets against the simulated modem: DM to DL with and without
// re-enumeration and back, the reset command per downloader, the offline step, the reset
// methods of the port map, just_reset, and the dot countdown.
#include "lib/modem/comm_modes.h"

#include <gmock/gmock.h>

#include <optional>
#include <thread>

#include "lib/modem/connect.h"
#include "lib/platform/clock.h"
#include "lib/transport/just_reset.h"
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
    EXPECT_TRUE(said(c.first_message));
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

TEST_F(CommModesTest, AutoPowerFixBeforeAResetOnlyFor9X15Model7351) {
  const struct {
    const char* model;
    bool written;
  } cases[] = {{"Vorla 7351", true}, {"Vorla 7350", false}, {"U370 7351", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    sim::ModemConfig config = sim::test::quick_config();
    config.status.model = config.status.second_model = c.model;
    config.status.firmware = "1.0.0.0 build 7";  // 9X15:1.0.0.0 in the default NV database
    start(config);
    capture_->clear();
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    ASSERT_EQ(ZqUmtsKavResetModem(), status::kSuccess);
    // NV_AUTO_POWER_I is item 4204 (6C 10) for that firmware.
    EXPECT_EQ(frames_sent({0x27, 0x6C, 0x10, 0x01}), c.written ? 1u : 0u);
    EXPECT_EQ(said("NV_AUTO_POWER_I set to 1.\n"), c.written);
    if (c.written) {
      EXPECT_EQ(modem_->nv().read(4204, 0).value_or(sim::NvValue{})[0], 1);
    }
    ZqUmtsKavDisconnect();
    modem_.reset();
    set_just_reset(false);
  }
}

// The offline step before a DM-mode reset, and how it fails.
TEST_F(CommModesTest, OfflineStepOutcomes) {
  set_timeout(Timeout::MODE_CHANGE_WAIT, 500);
  const struct {
    const char* what;
    void (*change)(sim::ModemConfig*);
    ZqUmtsKavStatusEnum result;
    size_t offline_commands;
  } cases[] = {
      {"acknowledged", [](sim::ModemConfig*) {}, status::kSuccess, 1},
      {"acknowledged in two bytes (29 01)",
       [](sim::ModemConfig* c) {
         c->faults.push_back({sim::FaultKind::Truncate, 0x29, -1, 0, -1, false, 2});
       },
       status::kSuccess, 1},
      {"in the downloader", [](sim::ModemConfig* c) { c->start_in_dl = true; },
       status::kOfflineNotDmMode, 0},
      {"no status record",
       [](sim::ModemConfig* c) { c->status_subsystem = sim::StatusSubsystem::None; },
       status::kOfflineNoStatusRecord, 0},
      {"never acknowledged",
       [](sim::ModemConfig* c) {
         c->faults.push_back({sim::FaultKind::NoAnswer, 0x29, -1});
       },
       status::kOfflineNotAcknowledged, 5},
      {"answered with another value (29 alone): no further sends",
       [](sim::ModemConfig* c) {
         c->faults.push_back({sim::FaultKind::Truncate, 0x29, -1, 0, -1, false, 1});
       },
       status::kOfflineNotAcknowledged, 1},
      {"never offline", [](sim::ModemConfig* c) { c->offline_delay_ms = 60000; },
       status::kOfflineTimeout, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::ModemConfig config = sim::test::quick_config();
    c.change(&config);
    start(config);
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    EXPECT_EQ(set_modem_offline(), c.result);
    EXPECT_EQ(frames_sent({0x29, 0x01, 0x00}), c.offline_commands);
    ZqUmtsKavDisconnect();
    modem_.reset();
  }
  // A reset whose offline step fails sends no reset command.
  set_simulator_reset_method("ModemHardware");
  sim::ModemConfig config = sim::test::quick_config();
  config.faults.push_back({sim::FaultKind::NoAnswer, 0x29, -1});
  start(config);
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  EXPECT_EQ(ZqUmtsKavResetModem(), status::kMoveToDmFailed);
  EXPECT_TRUE(said("DM Mode Reset failure due to online mode.\n"));
  EXPECT_EQ(frames_sent({0x29, 0x02, 0x00}), 0u);
  EXPECT_FALSE(just_reset());
}

// The ways DM -> DL fails: no echo of 3A on a modem that stays on the bus, a modem that does
// not come back, and one that comes back but cannot be connected to three times.
TEST_F(CommModesTest, MovesToTheDownloaderThatFail) {
  // Not a 9X15 name: a scan during the move would otherwise raise the wait for the port's
  // return to three minutes again, past the limit set below.
  set_simulator_reset_method("Both", "ZQTL Test");
  set_timeout(Timeout::RESET_BOTH_AUTO_PORT_DISAPPEAR_LIMIT, 300);
  const struct {
    const char* what;
    bool reenumerates;
    std::optional<sim::FaultSpec> fault;  // on 3A
    bool probe_fails_after_switch;
    ZqUmtsKavStatusEnum result;
    size_t switch_commands;
    std::vector<std::string> said;
  } cases[] = {
      {"no echo",
       false,
       sim::FaultSpec{sim::FaultKind::NoAnswer, 0x3A, -1},
       false,
       status::kMoveToDlFailed,
       5,
       {}},
      {"gone for good",
       true,
       sim::FaultSpec{sim::FaultKind::Unplug, 0x3A, 1},
       false,
       status::kMoveToDmFailed,
       1,
       {"ERROR: Modem no longer attached to host following reset.\n"}},
      {"back but unreachable",
       true,
       std::nullopt,
       true,
       status::kProbeFailed,
       1,
       {"Attempt to reconnect to modem failed 1 times after switching to DL mode.\n",
        "Attempt to reconnect to modem failed 2 times after switching to DL mode.\n",
        "Attempt to reconnect to modem failed 3 times after switching to DL mode.\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::ModemConfig config = sim::test::quick_config();
    config.download_reenumerates = c.reenumerates;
    if (!c.reenumerates) config.status.model = config.status.second_model = "U250";
    start(config);
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    if (c.fault) modem_->add_fault(*c.fault);
    // Once the modem has left the bus for its downloader, its probe goes unanswered.
    std::thread silencer([&] {
      if (c.probe_fails_after_switch && modem_->wait_present(false, 5000)) {
        modem_->add_fault({sim::FaultKind::NoAnswer, 0x06, -1});
      }
    });
    capture_->clear();
    // Connecting to a 9X15 modem ("Vorla" in the port map) raises the wait to three minutes.
    set_timeout(Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT, 1500);
    EXPECT_EQ(ZqUmtsKavSetModemCommMode(ZqUmtsKavCommMode_DL), c.result);
    silencer.join();
    EXPECT_EQ(frames_sent({0x3A}), c.switch_commands);
    for (const std::string& line : c.said) EXPECT_TRUE(said(line)) << line;
    if (c.reenumerates) {
      EXPECT_EQ(current_comm_mode(), ZqUmtsKavCommMode_Unknown);
    }
    ZqUmtsKavDisconnect();
    modem_.reset();
  }
}

// Resets that fail: the mode unknown, no port to close, the modem gone after the reset.
TEST_F(CommModesTest, ResetsThatFail) {
  // Mode unknown (the probe goes unanswered): no reset command for it.
  sim::ModemConfig config = sim::test::quick_config();
  start(config);
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  modem_->add_fault({sim::FaultKind::NoAnswer, 0x06, -1});
  capture_->clear();
  EXPECT_EQ(ZqUmtsKavResetModem(), status::kPortReadFailed);
  EXPECT_TRUE(said("ERROR: Invalid current_mode in ZqUmtsKavResetModem\n"));
  ZqUmtsKavDisconnect();
  modem_.reset();

  // Close-open with no port open.
  set_simulator_reset_method("PortCloseOpen");
  start();
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  ZqUmtsKavDisconnect();
  capture_->clear();
  EXPECT_EQ(ZqUmtsKavResetModem(), status::kMoveToDmFailed);
  EXPECT_TRUE(said("Forcing Reset\n"));
  EXPECT_EQ(capture_->messages().back(), "ERROR: Failure to disconnect during reset!\n");
  modem_.reset();

  // Close-open and Both with a modem that is gone when the library connects again.
  for (const char* method : {"PortCloseOpen", "Both"}) {
    SCOPED_TRACE(method);
    set_simulator_reset_method(method, "ZQTL Test");  // not 9X15: the waits stay short
    set_timeout(Timeout::RESET_PCO_REOPEN_DELAY, 1000);
    config = sim::test::quick_config();
    config.status.online_mode = 2;  // already offline: the only 0x29 sent is the reset
    config.faults.push_back({sim::FaultKind::Unplug, 0x29, 1});
    start(config);
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    set_timeout(Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT, 1500);
    capture_->clear();
    // Close-open sends nothing: the modem leaves while the port is closed.
    const bool close_open = std::string(method) == "PortCloseOpen";
    std::thread unplugger([this, close_open] {
      if (!close_open) return;
      while (dm_port_handle()) platform::sleep_ms(5);
      modem_->unplug();
    });
    EXPECT_EQ(ZqUmtsKavResetModem(), status::kMoveToDmFailed);
    unplugger.join();
    EXPECT_EQ(capture_->messages().back(), "ERROR: Failure to reconnect during reset!\n");
    EXPECT_FALSE(just_reset());
    modem_.reset();
  }
}

// The downloader's reset command that cannot be sent: ten tries, then the message.
TEST_F(CommModesTest, DownloaderResetThatCannotBeSent) {
  EXPECT_FALSE(dl_mode_reset_command());
  EXPECT_EQ(times_said("ERROR: ZqUmtsKavCommandDM: TX Attempted on NULL handle.\n"), 10u);
  EXPECT_EQ(capture_->messages().back(), "ERROR: dl_mode_reset_command Failure.\n");
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
