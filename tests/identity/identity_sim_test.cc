// The identity report and the OpenZumi query against the simulated modem, over a real
// pseudo-terminal opened in fixed-port mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/core/timeouts.h"
#include "lib/identity/modem_identity.h"
#include "lib/identity/openzumi.h"
#include "lib/modem/connect.h"
#include "lib/nv/nv_names.h"
#include "lib/platform/clock.h"
#include "lib/transport/just_reset.h"
#include "tests/core/core_fixture.h"
#include "tests/sim/sim_fixture.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav {
namespace {

using sim::OpenZumiLayout;
using Lines = std::vector<std::string>;

class IdentitySimTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    reset_modem_identity();
    reset_connect_state();
    set_timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 50);  // rows reconnect to COM1
    capture_ = std::make_unique<test::MessageCapture>();
  }
  void TearDown() override {
    if (modem_) ZqUmtsKavDisconnect();
    modem_.reset();
    capture_.reset();
    reset_modem_identity();
    reset_connect_state();
    CoreTest::TearDown();
  }

  // Starts a modem with `config` and connects to its DM port without the port scanner.
  void connect(sim::ModemConfig config) {
    if (modem_) ZqUmtsKavDisconnect();
    modem_ = std::make_unique<sim::Modem>(dir_.file("root"), std::move(config));
    modem_->start();
    ZqUmtsKavSetConnectSettings(115200, true, modem_->dm_com());
    ASSERT_EQ(status::kSuccess, ZqUmtsKavConnect());
    capture_->clear();
  }

  static uint16_t nv_id(const char* name) {
    NvItemInfo info;
    EXPECT_TRUE(lookup_nv_item(name, "6290:1.2.3.0", &info)) << name;
    return static_cast<uint16_t>(info.id);
  }

  // The "#" lines printed since the last clear.
  Lines report() const {
    Lines lines = test::split_lines(capture_->text());
    std::erase_if(lines, [](const std::string& l) { return l.empty() || l[0] != '#'; });
    return lines;
  }

  int openzumi_requests() const {
    const std::vector<uint8_t> request = {0x4B, 0xFE, 0xAA, 0x00};
    return static_cast<int>(std::ranges::count_if(
        modem_->history(), [&](const sim::HostMessage& m) { return m.bytes == request; }));
  }

  std::unique_ptr<test::MessageCapture> capture_;
  std::unique_ptr<sim::Modem> modem_;
};

TEST_F(IdentitySimTest, ReportIsPrintedOnceUntilTheIdentityChanges) {
  sim::ModemConfig config = sim::test::quick_config();
  config.nv_presets = {{nv_id("NV_MEID_I"), {0x56, 0x34, 0x12, 0x89, 0x67, 0x45, 0x99}},
                       {nv_id("ZQ_NV_FACTORY_ID_I"), {'F', 'A', 'C', '-', '4', '2'}},
                       {nv_id("ZQ_NV_USB_ID_I"), {0x8E, 0x5C, 0xE2, 0xA7}}};
  connect(config);
  const ModemIdentity* id = getModemId();
  ASSERT_NE(nullptr, id);
  const Lines expected = {"#",
                          "# IMEI        : 356938035643809",
                          "# MEID        : 994567891234565",
                          "# Factory ID  : FAC-42",
                          "# Mobile Model: U370 (HW REV REV 3)",
                          "# Firmware Rev: 6290:1.2.3.0",
                          "#             : 1.2.3.04-ZQ U370 build 5",
                          "# NV USB ID   : VID = 0x5C8E, PID = 0xA7E2",
                          "# OpenZumi Rev: OZ-2.4.1",
                          "#"};
  EXPECT_EQ(expected, report());
  EXPECT_STREQ("1.2.3.0", id->firmware_version);

  capture_->clear();
  const ModemIdentity first = *id;
  EXPECT_EQ(id, getModemId());
  EXPECT_EQ(Lines{}, report());
  EXPECT_EQ(first, *id);

  sim::NvValue factory{'F', 'A', 'C', '-', '4', '3'};  // a new factory id is a new identity
  modem_->nv().write(nv_id("ZQ_NV_FACTORY_ID_I"), 0, factory);
  ASSERT_NE(nullptr, getModemId());
  ASSERT_EQ(expected.size(), report().size());
  EXPECT_EQ("# Factory ID  : FAC-43", report()[3]);

  // A failed status read forgets the identity: the next good one is reported again.
  modem_->add_fault({sim::FaultKind::BadCommand, 0x4B, 2});  // on 250, then on 50
  capture_->clear();
  EXPECT_EQ(nullptr, getModemId());
  EXPECT_EQ(Lines{}, report());
  EXPECT_NE(std::string::npos, capture_->text().find("Failed to get_zq_status in getModemId.\n"));
  capture_->clear();
  ASSERT_NE(nullptr, getModemId());
  EXPECT_EQ(expected.size(), report().size());
}

TEST_F(IdentitySimTest, ReportFollowsWhatTheModemCarries) {
  struct Case {
    void (*change)(sim::ModemConfig*);
    Lines shown;
    std::string absent;  // no line starts so
  };
  const Case cases[] = {
      {[](sim::ModemConfig*) {}, {"# MEID        : Not Defined", "# NV USB ID   : Inactive"}, ""},
      {[](sim::ModemConfig* c) { c->status.firmware = "7.7.7-beta"; },  // not in the database
       {"# Firmware Rev: 6290:7.7.7"},
       "# NV USB ID"},
      {[](sim::ModemConfig* c) { c->status.model = c->status.second_model = "U900"; },
       {"# Firmware Rev: 9X15:1.2.3.0"},
       ""},
      {[](sim::ModemConfig* c) { c->status.second_model = "U600"; },
       {"# Firmware Rev: 7200:1.2.3.0"},
       ""},
      {[](sim::ModemConfig* c) { c->openzumi_status = 41; },
       {"# OpenZumi Rev: FW Revision Invalid"},
       ""},
      {[](sim::ModemConfig* c) { c->openzumi_layout = OpenZumiLayout::BadCommand; },
       {},
       "# OpenZumi Rev"},
  };
  for (const Case& c : cases) {
    reset_modem_identity();
    sim::ModemConfig config = sim::test::quick_config();
    c.change(&config);
    connect(config);
    ASSERT_NE(nullptr, getModemId());
    const Lines lines = report();
    for (const std::string& line : c.shown) EXPECT_TRUE(std::ranges::count(lines, line)) << line;
    if (c.absent.empty()) continue;
    for (const std::string& line : lines) EXPECT_FALSE(line.starts_with(c.absent)) << line;
  }
  // Meeting the 9X15 modem made resets wait up to three minutes for its return.
  EXPECT_EQ(180000, timeout(Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT));
}

TEST_F(IdentitySimTest, NoStatusRecordNoIdentity) {
  sim::ModemConfig config = sim::test::quick_config();
  config.status_subsystem = sim::StatusSubsystem::None;
  connect(config);
  EXPECT_EQ(nullptr, getModemId());
  EXPECT_TRUE(capture_->text().ends_with("Failed to get_zq_status in getModemId.\n"));
}

TEST_F(IdentitySimTest, OpenZumiAnswers) {
  struct Case {
    OpenZumiLayout layout;
    int32_t status;
    int length;  // stated text length; -1: the text's own
    ZqUmtsKavStatusEnum result;
    std::string buffer;
    bool stale_first = false;  // an answer to another subsystem command comes first
    bool late_probe = false;   // connect's probe is refused (13 06) only after the request
  };
  const std::string text(64, 'Z');
  const Case cases[] = {
      {OpenZumiLayout::Long74, 0, 5, status::kSuccess, "ZZZZZ", true},
      {OpenZumiLayout::Long74, 0, 3, status::kSuccess, "ZZZ", false, true},
      {OpenZumiLayout::Short73, 0, 4, status::kSuccess, "ZZZZ"},
      {OpenZumiLayout::Long74, 0, 300, status::kSuccess, text},  // 16-bit length, cut at 64
      {OpenZumiLayout::Long74, 41, -1, status::kOpenZumiNoVersion, "FW Revision Invalid"},
      {OpenZumiLayout::Short73, -1, -1, status::kOpenZumiNoVersion, "Not Defined"},
      {OpenZumiLayout::Long74, 7, -1, status::kOpenZumiUnrecognized, ""},
      {OpenZumiLayout::Echo8, 0, -1, status::kOpenZumiNotSupported, ""},
      {OpenZumiLayout::BadCommand, 0, -1, status::kOpenZumiNotSupported, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.buffer);
    sim::ModemConfig config = sim::test::quick_config();
    config.openzumi_layout = c.layout;
    config.openzumi_status = c.status;
    config.openzumi_text = text;
    config.openzumi_length = c.length;
    if (c.stale_first)
      config.faults.push_back({.kind = sim::FaultKind::StaleFirst, .command = 0x4B});
    if (c.late_probe) {
      config.faults.push_back({.kind = sim::FaultKind::Delay, .command = 0x06, .delay_ms = 700});
    }
    connect(config);
    char buffer[kOpenZumiBufferSize];
    std::memset(buffer, 'J', sizeof buffer);
    EXPECT_EQ(c.result, get_openzumi_version(buffer));
    EXPECT_EQ(c.buffer, std::string(buffer, strnlen(buffer, sizeof buffer)));
    EXPECT_EQ(1, openzumi_requests());
    EXPECT_EQ(c.status == 7 ? "ERROR: Get OpenZumi version string returned unrecognized error "
                              "code 7.\n"
                            : "",
              capture_->text());
  }
}

TEST_F(IdentitySimTest, UnansweredOpenZumiCostsFiveSendsAndBudgets) {
  sim::ModemConfig config = sim::test::quick_config();
  config.faults.push_back({.kind = sim::FaultKind::NoAnswer, .command = 0x4B, .count = -1});
  connect(config);
  set_timeout(Timeout::RESPONSE_WAIT, 100);
  set_just_reset(true);
  const uint32_t start = platform::tick_count();
  EXPECT_EQ(status::kOpenZumiNoAnswer, get_openzumi_version(nullptr));
  const uint32_t elapsed = platform::tick_count() - start;
  EXPECT_EQ(5, openzumi_requests());
  EXPECT_GE(elapsed, 500u);
  EXPECT_LT(elapsed, 1500u);
  EXPECT_FALSE(just_reset());
}

TEST_F(IdentitySimTest, OpenZumiNeedsDmMode) {
  EXPECT_NE(status::kSuccess, get_openzumi_version(nullptr));  // no connection
  EXPECT_TRUE(capture_->text().ends_with("ERROR: Must be in DM mode.\n"));
}

}  // namespace
}  // namespace kav
