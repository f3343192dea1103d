// Connect, the mode probe and the status record against the simulated modem: what the probe
// makes of each answer, the AT fall-back, the port choice (fixed port, two modems, a port that
// does not stay), and the status record's subsystem fall-back, unsettled mode and old layouts.
#include "lib/modem/connect.h"
#include "lib/identity/zq_status.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/modem/modem_fixture.h"

namespace kav::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class ConnectTest : public ModemTest {};

struct ProbeCase {
  const char* name;
  bool start_in_dl;
  sim::Downloader downloader;
  ZqUmtsKavCommModeEnum mode;
  ProbeAnswer answer;
  const char* reported;
};

TEST_F(ConnectTest, ProbeTellsTheDiagTaskFromEitherDownloader) {
  const ProbeCase cases[] = {
      {"DIAG task answers 13 06", false, sim::Downloader::Boot, ZqUmtsKavCommMode_DM, kProbeDiag,
       "In DM mode.\n"},
      {"boot downloader answers 02", true, sim::Downloader::Boot, ZqUmtsKavCommMode_DL,
       kProbeDownloader, "In DL mode.\n"},
      // Still DL, as after the previous case: the mode is reported only when it changes.
      {"streaming downloader answers 0D", true, sim::Downloader::Streaming, ZqUmtsKavCommMode_DL,
       kProbeStreamingDownloader, nullptr},
  };
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ModemConfig config = sim::test::quick_config();
    config.start_in_dl = c.start_in_dl;
    config.downloader = c.downloader;
    start(config);
    capture_->clear();
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    EXPECT_EQ(current_comm_mode(), c.mode);
    EXPECT_EQ(last_probe_answer(), c.answer);
    if (c.reported != nullptr) {
      EXPECT_TRUE(said(c.reported));
    } else {
      EXPECT_TRUE(capture_->text().find("mode.\n") == std::string::npos);
    }
    EXPECT_EQ(ZqUmtsKavDisconnect(), status::kSuccess);
    EXPECT_EQ(current_comm_mode(), ZqUmtsKavCommMode_Unknown);
    modem_.reset();
  }
}

TEST_F(ConnectTest, QualcommAtCommandFollowsOnlyARefusedMakerCommand) {
  const struct {
    sim::AtAnswer answer;
    std::vector<std::string> lines;
  } cases[] = {
      {sim::AtAnswer::Ok, {"AT$ZQDMAT=0"}},
      {sim::AtAnswer::Silent, {"AT$ZQDMAT=0"}},
      {sim::AtAnswer::Error, {"AT$ZQDMAT=0", "AT$QCDMG"}},
  };
  for (const auto& c : cases) {
    sim::ModemConfig config = sim::test::quick_config();
    config.zqdmat_answer = c.answer;
    start(config);
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    EXPECT_THAT(at_lines(), ElementsAreArray(c.lines));
    // The pinger starts after the AT exchange: every frame comes after the last AT line.
    const std::vector<sim::HostMessage> history = modem_->history();
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.front().kind, sim::HostMessage::Kind::AtLine);
    ZqUmtsKavDisconnect();
    modem_.reset();
  }
}

// Fast connect (kav): the AT commands only when the first probe goes unanswered, and no
// second proof of stability for a node older than the wait.
TEST_F(ConnectTest, FastConnectSkipsTheAtCommandsOfAPortAlreadyInDiag) {
  const struct {
    bool fast;
    bool first_probe_lost;
    std::vector<std::string> lines;
  } cases[] = {
      {false, false, {"AT$ZQDMAT=0"}},
      {true, false, {}},
      {true, true, {"AT$ZQDMAT=0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fast ? "fast" : "full") + (c.first_probe_lost ? ", lost" : ""));
    sim::ModemConfig config = sim::test::quick_config();
    if (c.first_probe_lost) config.faults.push_back({sim::FaultKind::NoAnswer, 0x06, 1});
    start(config);
    set_fast_connect(c.fast);
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    EXPECT_EQ(current_comm_mode(), ZqUmtsKavCommMode_DM);
    EXPECT_THAT(at_lines(), ElementsAreArray(c.lines));
    ZqUmtsKavDisconnect();
    modem_.reset();
  }
}

TEST_F(ConnectTest, FastConnectTakesANodeOlderThanTheWaitAsProved) {
  set_timeout(Timeout::ZQUMTSKAVCONNECT_TEASER_DELAY, 400);
  start();
  set_fast_connect(true);
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);  // a node of a few ms: the full wait
  EXPECT_TRUE(said("Found DM port -- waiting for proof of stability.\n"));
  ZqUmtsKavDisconnect();
  std::this_thread::sleep_for(std::chrono::milliseconds(450));
  capture_->clear();
  const auto start_time = std::chrono::steady_clock::now();
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  EXPECT_LT(std::chrono::steady_clock::now() - start_time, std::chrono::milliseconds(400));
  EXPECT_FALSE(said("Found DM port -- waiting for proof of stability.\n"));
  EXPECT_TRUE(said("Found DM port -- present for 0 s, stable.\n"));
}

TEST_F(ConnectTest, FixedPortModeOpensTheRequestedPortWithoutTheScanner) {
  reset_port_map();  // the scanner knows no DM port at all
  sim::ModemConfig config = sim::test::quick_config();
  config.dm_tty = 6;
  config.at_tty = 7;
  start(config);
  ZqUmtsKavSetConnectSettings(115200, true, 7);
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  EXPECT_EQ(current_com_port(), 7);
  EXPECT_TRUE(said("Opening the Modem Connection on COM7\n\t.\n"));
  EXPECT_FALSE(said("Found DM port -- waiting for proof of stability.\n"));
  // Disconnect restores the defaults but keeps the requested port.
  EXPECT_EQ(ZqUmtsKavDisconnect(), status::kSuccess);
  EXPECT_FALSE(fixed_port_mode());
  EXPECT_EQ(requested_com_port(), 7);
  EXPECT_EQ(ZqUmtsKavDisconnect(), status::kNoPortOpen);
}

TEST_F(ConnectTest, PortChoiceFailures) {
  // Two modems: the scanner cannot tell which one is meant.
  start();
  sim::ModemConfig other = sim::test::quick_config();
  other.busport = "1-3";
  other.dm_tty = 2;
  other.at_tty = 3;
  second_ = std::make_unique<sim::Modem>(root(), other);
  second_->start();
  ASSERT_TRUE(wait_for_dm_ports(-1));
  EXPECT_EQ(ZqUmtsKavConnect(), status::kMoreThanOneDmPort);
  EXPECT_FALSE(dm_port_handle());
  second_.reset();

  // A requested port that is not a DM port (COM2 is the AT port).
  set_timeout(Timeout::ZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT, 200);
  ZqUmtsKavSetConnectSettings(115200, false, 2);
  EXPECT_EQ(ZqUmtsKavConnect(), status::kNoDmPort);
  EXPECT_TRUE(said(
      "ERROR: requested com port number is not available or is not associated with a supported "
      "device vid/pid.\n"));

  // No modem at all.
  ZqUmtsKavSetConnectSettings(115200, false, 0);
  modem_.reset();
  EXPECT_EQ(ZqUmtsKavConnect(), status::kNoDmPort);
  EXPECT_FALSE(dm_port_handle());
}

TEST_F(ConnectTest, PortThatLeavesDuringTheTeaserIsSearchedForAgain) {
  set_timeout(Timeout::ZQUMTSKAVCONNECT_TEASER_DELAY, 1500);
  sim::ModemConfig config = sim::test::quick_config();
  config.reenumerate_gap_ms = 300;
  sim::Modem& modem = start(config);
  // Off the bus once, soon after the port has been found, back under the same number.
  std::thread bounce([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    modem.reenumerate(300, false);
  });
  EXPECT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  bounce.join();
  EXPECT_EQ(times_said("Re-search for com port after teaser\n"), 1u);
  EXPECT_EQ(times_said("Found DM port -- waiting for proof of stability.\n"), 2u);
}

struct StatusCase {
  const char* name;
  sim::StatusSubsystem served;
  bool taken;
  uint8_t answered_by;
  int record_length = 181;
};

TEST_F(ConnectTest, StatusRecordFallsBackToTheOtherSubsystem) {
  const StatusCase cases[] = {
      {"main subsystem", sim::StatusSubsystem::Main, true, 250},
      {"older firmware", sim::StatusSubsystem::Alternate, true, 50},
      {"neither", sim::StatusSubsystem::None, false, 0},
      // Subsystem 50 answering short is another function: one request to it is enough. Bytes
      // past a short answer read as zeros, so "4B 32" alone counts as well.
      {"50 answers short", sim::StatusSubsystem::Alternate, false, 0, 60},
      {"50 answers 4B 32", sim::StatusSubsystem::Alternate, false, 0, 2},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ModemConfig config = sim::test::quick_config();
    config.status_subsystem = c.served;
    config.status.record_length = c.record_length;
    start(config);
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    capture_->clear();
    const ZqStatusRecord* record = get_zq_status();
    ASSERT_EQ(record != nullptr, c.taken);
    if (record != nullptr) {
      EXPECT_EQ(record->subsystem_id, c.answered_by);
      EXPECT_STREQ(record->firmware, "1.2.3.04-ZQ U370 build 5");
      EXPECT_STREQ(record->model, "U370");
    } else {
      EXPECT_THAT(capture_->messages(),
                  ElementsAre("ERROR: Firmware does not support ZQ Status DM command.\n",
                              "ERROR: Get ZQ Status.\n"));
      EXPECT_EQ(frames_sent({0x4B, 50, 0, 0}), 1u);
    }
    ZqUmtsKavDisconnect();
    modem_.reset();
  }
}

TEST_F(ConnectTest, StatusRecordWaitsForTheOperatingModeAndReadsOldLayouts) {
  sim::ModemConfig config = sim::test::quick_config();
  config.status.unreported_answers = 2;
  config.status.layout_version = 2;
  config.status.online_mode = 1;  // layout 2 carries a flag: non-zero reads as mode 2
  config.status.hw_rev = "REV 9";
  config.status.second_model = "something else";
  start(config);
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  const ZqStatusRecord* record = get_zq_status();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(frames_sent({0x4B, 250, 0, 0}), 3u);  // two answers with mode 0xFF not taken
  EXPECT_EQ(record->operating_mode, 2);
  EXPECT_STREQ(record->hw_rev, "Unsupported");
  EXPECT_EQ(std::memcmp(record->second_model, record->model, sizeof record->model), 0);
}

TEST_F(ConnectTest, ShortStatusRecordIsFilledWithZeros) {
  sim::ModemConfig config = sim::test::quick_config();
  config.status.record_length = 120;  // ends inside the model name field
  start(config);
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  const ZqStatusRecord* record = get_zq_status();
  ASSERT_NE(record, nullptr);
  EXPECT_STREQ(record->model, "U370");
  const auto* bytes = reinterpret_cast<const uint8_t*>(record);
  EXPECT_TRUE(std::all_of(bytes + 120, bytes + sizeof *record, [](uint8_t b) { return b == 0; }));
  // Shorter than any status record: not taken.
  ZqUmtsKavDisconnect();
  modem_.reset();
  config.status.record_length = 100;
  set_timeout(Timeout::EXTENDED_PROBE_RESPONSE_WAIT, 50);  // 40 attempts wait this long each
  start(config);
  ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
  EXPECT_EQ(get_zq_status(), nullptr);
}

TEST_F(ConnectTest, UnansweredProbeLeavesThePortOpenInUnknownMode) {
  sim::ModemConfig config = sim::test::quick_config();
  config.faults.push_back({sim::FaultKind::NoAnswer, 0x06, -1});
  start(config);
  EXPECT_EQ(ZqUmtsKavConnect(), status::kProbeFailed);
  EXPECT_TRUE(dm_port_handle());
  EXPECT_EQ(current_comm_mode(), ZqUmtsKavCommMode_Unknown);
  EXPECT_EQ(frames_sent({0x06}), 4u);
  // The mode was Unknown before too: nothing to report.
  EXPECT_FALSE(said("In Unknown mode.\n"));
}

}  // namespace
}  // namespace kav::test
