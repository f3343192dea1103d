// The identity report and the OpenZumi query against the simulated modem, over a real
// pseudo-terminal opened in fixed-port mode.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/identity/modem_family.h"
#include "lib/identity/modem_identity.h"
#include "lib/identity/openzumi.h"
#include "lib/modem/connect.h"
#include "lib/modem/just_reset.h"
#include "lib/modem/umts_kav_lib.h"
#include "lib/nv/nv_names.h"
#include "lib/platform/clock.h"
#include "sim/modem.h"
#include "tests/core/core_fixture.h"
#include "tests/sim/sim_fixture.h"
#include "tests/support/test_env.h"

namespace kav {
namespace {

using sim::OpenZumiLayout;

constexpr char kDefaultFirmwareText[] = "6290:1.2.3.0";
const std::vector<uint8_t> kOpenZumiRequest = {0x4B, 0xFE, 0xAA, 0x00};

class IdentitySimTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    reset_modem_identity();
    reset_connect_state();
    // Each table row connects anew to the same COM number.
    set_timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 50);
    capture_ = std::make_unique<test::MessageCapture>();
  }
  void TearDown() override {
    disconnect();
    capture_.reset();
    reset_modem_identity();
    reset_connect_state();
    CoreTest::TearDown();
  }

  // Starts a modem with `config` and connects to its DM port without the port scanner.
  void connect(sim::ModemConfig config) {
    disconnect();
    modem_ = std::make_unique<sim::Modem>(dir_.file("root"), std::move(config));
    modem_->start();
    ZqUmtsKavSetConnectSettings(115200, true, modem_->dm_com());
    ASSERT_EQ(status::kSuccess, ZqUmtsKavConnect());
    capture_->clear();
  }
  void disconnect() {
    if (!modem_) return;
    ZqUmtsKavDisconnect();
    modem_.reset();
  }

  // The id the NV item database gives `name` for the simulator's default firmware.
  static uint16_t nv_id(const char* name) {
    NvItemInfo info;
    EXPECT_TRUE(lookup_nv_item(name, kDefaultFirmwareText, &info)) << name;
    return static_cast<uint16_t>(info.id);
  }

  // The report lines (those starting with "#") printed since the last clear.
  std::vector<std::string> report_lines() const {
    std::vector<std::string> lines;
    for (const std::string& line : test::split_lines(capture_->text())) {
      if (!line.empty() && line[0] == '#') lines.push_back(line);
    }
    return lines;
  }

  int openzumi_requests() const {
    int n = 0;
    for (const sim::HostMessage& m : modem_->history()) {
      n += m.kind == sim::HostMessage::Kind::Frame && m.bytes == kOpenZumiRequest;
    }
    return n;
  }

  std::unique_ptr<test::MessageCapture> capture_;
  std::unique_ptr<sim::Modem> modem_;
};

TEST_F(IdentitySimTest, ReportIsPrintedOnceUntilTheIdentityChanges) {
  sim::ModemConfig config = sim::test::quick_config();
  config.nv_presets = {
      {nv_id("NV_MEID_I"), {0x56, 0x34, 0x12, 0x89, 0x67, 0x45, 0x99}},
      {nv_id("ZQ_NV_FACTORY_ID_I"), {'F', 'A', 'C', '-', '4', '2'}},
      {nv_id("ZQ_NV_USB_ID_I"), {0x8E, 0x5C, 0xE2, 0xA7}},
  };
  connect(config);

  const ModemIdentity* id = getModemId();
  ASSERT_NE(nullptr, id);
  const std::vector<std::string> expected = {
      "#",
      "# IMEI        : 356938035643809",
      "# MEID        : 994567891234565",
      "# Factory ID  : FAC-42",
      "# Mobile Model: U370 (HW REV REV 3)",
      "# Firmware Rev: 6290:1.2.3.0",
      "#             : 1.2.3.04-ZQ U370 build 5",
      "# NV USB ID   : VID = 0x5C8E, PID = 0xA7E2",
      "# OpenZumi Rev: OZ-2.4.1",
      "#",
  };
  EXPECT_EQ(expected, report_lines());
  EXPECT_STREQ("1.2.3.0", id->firmware_version);
  EXPECT_EQ(ZqUmtsKavModemFamily_6290, id->family);
  const ModemIdentity first = *id;

  capture_->clear();
  EXPECT_EQ(id, getModemId());
  EXPECT_TRUE(report_lines().empty()) << capture_->text();
  EXPECT_EQ(first, *id);

  // A new factory id is a new identity.
  sim::NvValue factory{};
  std::memcpy(factory.data(), "FAC-43", 6);
  modem_->nv().write(nv_id("ZQ_NV_FACTORY_ID_I"), 0, factory);
  capture_->clear();
  ASSERT_NE(nullptr, getModemId());
  const std::vector<std::string> lines = report_lines();
  ASSERT_EQ(expected.size(), lines.size()) << capture_->text();
  EXPECT_EQ("# Factory ID  : FAC-43", lines[3]);
}

bool has_line(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

TEST_F(IdentitySimTest, ReportFollowsWhatTheModemCarries) {
  struct Case {
    const char* name;
    void (*change)(sim::ModemConfig*);
    std::vector<std::string> shown;   // whole lines
    std::vector<std::string> absent;  // line beginnings
  };
  const Case cases[] = {
      {"nothing in NV",
       [](sim::ModemConfig*) {},
       {"# MEID        : Not Defined", "# Factory ID  : Not Defined", "# NV USB ID   : Inactive"},
       {}},
      {"firmware unknown to the database",
       [](sim::ModemConfig* c) { c->status.firmware = "7.7.7-beta"; },
       {"# Firmware Rev: 6290:7.7.7", "# MEID        : Not Defined"},
       {"# NV USB ID"}},
      {"9X15 model",
       [](sim::ModemConfig* c) { c->status.model = c->status.second_model = "U900"; },
       {"# Firmware Rev: 9X15:1.2.3.0", "# Mobile Model: U900 (HW REV REV 3)"},
       {}},
      {"second model of a 7200",
       [](sim::ModemConfig* c) { c->status.second_model = "U600"; },
       {"# Firmware Rev: 7200:1.2.3.0"},
       {}},
      {"model of no family",
       [](sim::ModemConfig* c) {
         c->status.model = c->status.second_model = "Model X";
         c->status.firmware = "1.0 beta";
       },
       {"# Firmware Rev: Model_X:1.0", "#             : 1.0 beta"},
       {}},
      {"no IMEI",
       [](sim::ModemConfig* c) { c->status.imei.clear(); },
       {"# IMEI        : Not Defined"},
       {}},
      {"OpenZumi firmware invalid",
       [](sim::ModemConfig* c) { c->openzumi_status = 41; },
       {"# OpenZumi Rev: FW Revision Invalid"},
       {}},
      {"OpenZumi unknown to the modem",
       [](sim::ModemConfig* c) { c->openzumi_layout = OpenZumiLayout::BadCommand; },
       {},
       {"# OpenZumi Rev"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_modem_identity();
    sim::ModemConfig config = sim::test::quick_config();
    c.change(&config);
    connect(config);
    ASSERT_NE(nullptr, getModemId());
    const std::vector<std::string> lines = report_lines();
    for (const std::string& line : c.shown) {
      EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), line)) << line;
    }
    for (const std::string& prefix : c.absent) EXPECT_FALSE(has_line(lines, prefix)) << prefix;
  }
  // The 9X15 modem made resets wait up to three minutes for its return.
  EXPECT_EQ(180000, timeout(Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT));
}

TEST_F(IdentitySimTest, NoStatusRecordNoIdentity) {
  sim::ModemConfig config = sim::test::quick_config();
  config.status_subsystem = sim::StatusSubsystem::None;
  connect(config);
  EXPECT_EQ(nullptr, getModemId());
  EXPECT_NE(std::string::npos, capture_->text().find("Failed to get_zq_status in getModemId.\n"));
  EXPECT_TRUE(report_lines().empty());
}

TEST_F(IdentitySimTest, OpenZumiAnswers) {
  struct Case {
    OpenZumiLayout layout;
    int32_t status;
    std::string text;
    int length;  // the length the answer states; -1: the text's
    ZqUmtsKavStatusEnum result;
    std::string buffer;
    std::string message;
  };
  const std::string long_text(64, 'Z');
  const Case cases[] = {
      {OpenZumiLayout::Long74, 0, "OZ-2.4.1", 5, status::kSuccess, "OZ-2.", ""},
      {OpenZumiLayout::Short73, 0, "OZ-2.4.1", 4, status::kSuccess, "OZ-2", ""},
      {OpenZumiLayout::Long74, 0, long_text, 300, status::kSuccess, long_text, ""},
      {OpenZumiLayout::Short73, 0, long_text, 200, status::kSuccess, long_text, ""},
      {OpenZumiLayout::Long74, 41, "x", -1, status::kOpenZumiNoVersion, "FW Revision Invalid", ""},
      {OpenZumiLayout::Short73, -1, "x", -1, status::kOpenZumiNoVersion, "Not Defined", ""},
      {OpenZumiLayout::Long74, 7, "x", -1, status::kOpenZumiUnrecognized, "",
       "ERROR: Get OpenZumi version string returned unrecognized error code 7.\n"},
      {OpenZumiLayout::Echo8, 0, "x", -1, status::kOpenZumiNotSupported, "", ""},
      {OpenZumiLayout::BadCommand, 0, "x", -1, status::kOpenZumiNotSupported, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.layout) << " status " << c.status);
    sim::ModemConfig config = sim::test::quick_config();
    config.openzumi_layout = c.layout;
    config.openzumi_status = c.status;
    config.openzumi_text = c.text;
    config.openzumi_length = c.length;
    connect(config);
    char buffer[kOpenZumiBufferSize];
    std::memset(buffer, 'J', sizeof buffer);
    EXPECT_EQ(c.result, get_openzumi_version(buffer));
    EXPECT_EQ(c.buffer, std::string(buffer, strnlen(buffer, sizeof buffer)));
    EXPECT_EQ(c.message, capture_->text());
    EXPECT_EQ(1, openzumi_requests());
    EXPECT_EQ(c.result, get_openzumi_version(nullptr));
  }
}

TEST_F(IdentitySimTest, UnansweredOpenZumiCostsFiveSendsAndBudgets) {
  sim::ModemConfig config = sim::test::quick_config();
  sim::FaultSpec silence;
  silence.command = 0x4B;
  silence.count = -1;
  config.faults.push_back(silence);
  connect(config);
  set_timeout(Timeout::RESPONSE_WAIT, 100);
  char buffer[kOpenZumiBufferSize];
  set_just_reset(true);
  const uint32_t start = platform::tick_count();
  EXPECT_EQ(status::kOpenZumiNoAnswer, get_openzumi_version(buffer));
  const uint32_t elapsed = platform::tick_count() - start;
  EXPECT_EQ(5, openzumi_requests());
  EXPECT_GE(elapsed, 500u);
  EXPECT_LT(elapsed, 1500u);
  EXPECT_EQ('\0', buffer[0]);
  EXPECT_FALSE(just_reset());
}

TEST_F(IdentitySimTest, OpenZumiNeedsDmMode) {
  char buffer[kOpenZumiBufferSize];
  std::memset(buffer, 'J', sizeof buffer);
  EXPECT_NE(status::kSuccess, get_openzumi_version(buffer));
  EXPECT_NE(std::string::npos, capture_->text().find("ERROR: Must be in DM mode.\n"));
  EXPECT_EQ('\0', buffer[0]);
}

}  // namespace
}  // namespace kav
