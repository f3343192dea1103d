#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "lib/core/timeouts.h"
#include "lib/nv/nv_items.h"
#include "lib/transport/dm_frames.h"
#include "lib/transport/dm_port.h"
#include "lib/transport/just_reset.h"
#include "lib/transport/pinger.h"
#include "sim/modem.h"
#include "tests/nv/nv_fixture.h"

namespace kav::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kFirmware = "FW:1";

// The items of the modem below, for firmware "FW:1"; 4000 is an array of 4 elements.
const char* kItemsBody =
    "NVI_DB_VERSION: 5\n"
    "1,1,1,8\n"
    "FW:1,0,0,\n"
    "NV_ARRAY_I,4000,4,\n"
    "NV_BAD_PARAM_I,4006,1,\n"
    "NV_DIAG_SPC_TIMEOUT_I,3462,1,\n"
    "NV_FAIL_I,4001,1,\n"
    "NV_LONG_I,4003,1,\n"
    "NV_NOT_DEFINED_I,4002,1,\n"
    "NV_PLAIN_I,5078,1,\n"
    "NV_READ_ONLY_I,4004,1,\n";

sim::NvValue value_of(std::initializer_list<uint8_t> bytes) {
  sim::NvValue value{};
  std::copy(bytes.begin(), bytes.end(), value.begin());
  return value;
}

// NV reads and writes against the simulated modem over a real pseudo-terminal.
class NvItemsTest : public NvDbTest {
 protected:
  NvItemsTest() : root_env_("UMTS_KAV_ROOT", root_.path()) {}

  void SetUp() override {
    NvDbTest::SetUp();
    reset_dm_port();
    reset_dm_frames();
    set_timeout(Timeout::POST_OPEN_DELAY, 10);
    set_timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 20);
    set_timeout(Timeout::RESPONSE_WAIT, 150);
    set_timeout(Timeout::WRITE_RESPONSE_WAIT, 150);
    write_db(with_digest(kItemsBody));
  }
  void TearDown() override {
    stop_pinger();
    reset_dm_port();
    reset_dm_frames();
    if (modem_) modem_->stop();
    set_just_reset(false);
    NvDbTest::TearDown();
  }

  // The modem of kItemsBody: 4000 an array, 4004 read-only, 4001 failing with NV_FAIL_S and
  // 4006 refused as a bad parameter.
  static sim::ModemConfig items_config() {
    sim::ModemConfig config;
    config.reenumerate_gap_ms = 150;
    config.array_items = {4000};
    config.read_only_items = {4004};
    config.nv_status = {{4001, 4}, {4006, 6}};
    return config;
  }

  // Plugs in a modem (replacing the one before) and opens its DM port.
  sim::Modem& start(sim::ModemConfig config = items_config()) {
    reset_dm_port();
    modem_.reset();
    modem_ = std::make_unique<sim::Modem>(root_.path(), std::move(config));
    modem_->start();
    DmPortHandle port = open_com_port(modem_->dm_com());
    EXPECT_TRUE(port);
    set_dm_port_handle(port);
    return *modem_;
  }

  // The NV requests the modem received, in order.
  std::vector<NvItemPacket> requests() const {
    std::vector<NvItemPacket> out;
    for (const sim::HostMessage& m : modem_->history()) {
      if (m.kind != sim::HostMessage::Kind::Frame || m.bytes.empty()) continue;
      if (m.bytes[0] != diag::kCmdNvRead && m.bytes[0] != diag::kCmdNvWrite) continue;
      NvItemPacket packet{};
      std::memcpy(&packet, m.bytes.data(), std::min(m.bytes.size(), sizeof packet));
      out.push_back(packet);
    }
    return out;
  }

  TempDir root_;
  ScopedEnv root_env_;
  std::unique_ptr<sim::Modem> modem_;
};

TEST_F(NvItemsTest, ReadsPlainItemsWithoutIndexAndArrayElementsWithIt) {
  sim::ModemConfig config = items_config();
  config.nv_presets = {{5078, {'T', 'a', 'r'}}};
  sim::Modem& modem = start(config);
  modem.nv().write(4000, 2, value_of({2, 'B'}));
  modem.nv().write(4000, 3, value_of({3, 'C'}));
  const uint8_t* data = nullptr;
  ASSERT_EQ(kNvReadOk, read_nv_item("NV_PLAIN_I", 5078, kFirmware, 7, &data));
  EXPECT_EQ(0, std::memcmp("Tar\0", data, 4));
  // Before each answer the modem sends one for the next element; it must not be taken.
  modem.add_fault(sim::FaultSpec{sim::FaultKind::StaleIndex, 0x26, 2});
  for (uint8_t index : {2, 3}) {
    ASSERT_EQ(kNvReadOk, read_nv_item("NV_ARRAY_I", 4000, kFirmware, index, &data));
    EXPECT_EQ(index, data[0]);
    EXPECT_EQ(index == 2 ? 'B' : 'C', data[1]);
  }
  const std::vector<NvItemPacket> sent = requests();
  ASSERT_EQ(3u, sent.size());
  EXPECT_EQ(0, sent[0].data[0]);
  EXPECT_EQ(2, sent[1].data[0]);
  EXPECT_EQ(3, sent[2].data[0]);
  EXPECT_EQ(kNvReadInactive, read_nv_item("NV_ARRAY_I", 4000, kFirmware, 1, &data));
}

// Answers that end a read at once: one request each.
TEST_F(NvItemsTest, ErrorAnswersEndTheReadAtOnce) {
  sim::Modem& modem = start();
  const struct {
    const char* name;
    uint16_t id;
    std::optional<sim::FaultKind> fault;
    int result;
    std::vector<std::string> messages;
  } cases[] = {
      {"NV_LONG_I",
       4003,
       sim::FaultKind::BadLength,
       kNvReadTooLong,
       {"Cannot read NV item 4003 (NV_LONG_I) which has length greater than 128 bytes.\n"}},
      {"NV_PLAIN_I", 5078, sim::FaultKind::SecurityLocked, kNvReadLocked, {}},
      {"NV_BAD_PARAM_I", 4006, std::nullopt, kNvReadBadParam, {}},
      {"NV_PLAIN_I", 5078, std::nullopt, kNvReadInactive, {}},
  };
  size_t sent = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) modem.add_fault(sim::FaultSpec{*c.fault, 0x26, -1});
    MessageCapture capture;
    const uint8_t* data = nullptr;
    EXPECT_EQ(c.result, read_nv_item(c.name, c.id, kFirmware, 0, &data));
    EXPECT_EQ(c.messages, capture.messages());
    EXPECT_EQ(++sent, requests().size());
    modem.faults().clear();
  }
}

// Status values that do not end the read: it reads on and sends again, five times in all.
TEST_F(NvItemsTest, FailingStatusesAreRetriedFiveTimes) {
  const struct {
    uint16_t nv_stat;
    const char* line;  // printed once per attempt
  } cases[] = {
      {4, nullptr},
      {8,
       "ERROR: read_nv_item of NV_NOT_DEFINED_I, nv_stat = 8 (Item not defined for this "
       "target)\n"},
      {12, "ERROR: read_nv_item of NV_NOT_DEFINED_I, nv_stat = 12 (UNDEFINED)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nv_stat);
    sim::ModemConfig config = items_config();
    config.nv_status[4002] = c.nv_stat;
    start(config);
    MessageCapture capture;
    const uint8_t* data = nullptr;
    EXPECT_EQ(kNvReadFailed, read_nv_item("NV_NOT_DEFINED_I", 4002, kFirmware, 0, &data));
    std::vector<std::string> expected(c.line ? 5 : 0, c.line ? c.line : "");
    expected.push_back("ERROR: Failed attempt to read NV_NOT_DEFINED_I.\n");
    expected.push_back("    read_resp->cmd_code = 38, ->item = 4002, ->nv_stat = " +
                       std::to_string(c.nv_stat) + "\n");
    EXPECT_EQ(expected, capture.messages());
    EXPECT_EQ(5u, requests().size());
  }
}

TEST_F(NvItemsTest, ReadsThatSendNothingOrHearNothing) {
  sim::Modem& modem = start();
  MessageCapture capture;
  const uint8_t* data = nullptr;
  EXPECT_EQ(kNvReadFailed, read_nv_item("NV_UNKNOWN_I", 77, kFirmware, 0, &data));
  EXPECT_THAT(capture.messages(),
              ElementsAre("Unable to look up array size for NV_UNKNOWN_I in read_nv_item.\n"));
  EXPECT_TRUE(requests().empty());
  capture.clear();
  modem.add_fault(sim::FaultSpec{sim::FaultKind::NoAnswer, 0x26, -1});
  EXPECT_EQ(kNvReadFailed, read_nv_item("NV_PLAIN_I", 5078, kFirmware, 0, &data));
  EXPECT_THAT(capture.messages(), ElementsAre("ERROR: Failed attempt to read NV_PLAIN_I.\n"));
  EXPECT_EQ(5u, requests().size());
}

// An answer shorter than the packet reads as if padded with zeros: nv_stat 0 when it is cut
// off, zero data past its end, and an element index of 0.
TEST_F(NvItemsTest, ShortAnswersReadAsIfPaddedWithZeros) {
  const struct {
    const char* name;
    uint16_t id;
    uint8_t command;
    int length;  // the answer's bytes kept
    int result;
    const char* data;  // the first data bytes read
    size_t sends;
  } cases[] = {
      {"NV_PLAIN_I", 5078, 0x26, 131, kNvReadOk, "Tar", 1},
      {"NV_PLAIN_I", 5078, 0x26, 4, kNvReadOk, "T\0\0", 1},
      {"NV_PLAIN_I", 5078, 0x26, 3, kNvReadOk, "\0\0\0", 1},
      {"NV_ARRAY_I", 4000, 0x26, 3, kNvReadFailed, nullptr, 5},  // index 2 reads as 0
      {"NV_PLAIN_I", 5078, 0x27, 3, kNvWriteOk, nullptr, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.command) + " cut to " + std::to_string(c.length));
    sim::ModemConfig config = items_config();
    config.nv_presets = {{5078, {'T', 'a', 'r'}}};
    sim::FaultSpec cut{sim::FaultKind::Truncate, c.command, -1};
    cut.length = c.length;
    config.faults.push_back(cut);
    start(config);
    const uint8_t* data = nullptr;
    const uint8_t value = 'W';
    const int result = c.command == 0x26 ? read_nv_item(c.name, c.id, kFirmware, 2, &data)
                                         : write_nv_item(c.name, &value, c.id, kFirmware);
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.sends, requests().size());
    if (c.data != nullptr && data != nullptr) {
      EXPECT_EQ(0, std::memcmp(c.data, data, 3));
      EXPECT_TRUE(std::all_of(data + 3, data + 128, [](uint8_t b) { return b == 0; }));
    }
  }
}

TEST_F(NvItemsTest, WritesAndTheirRefusals) {
  sim::ModemConfig config = items_config();
  config.nv_presets = {{4004, {0x31}}, {5078, {0x31}}};
  sim::Modem& modem = start(config);
  const uint8_t same = 0x31;
  const uint8_t other = 0x32;
  const struct {
    const char* what;
    const char* name;
    uint16_t id;
    const uint8_t* value;
    std::optional<sim::FaultKind> fault;
    int result;
  } cases[] = {
      {"read-only, already equal", "NV_READ_ONLY_I", 4004, &same, std::nullopt, kNvWriteOk},
      {"read-only, different", "NV_READ_ONLY_I", 4004, &other, std::nullopt, kNvWriteReadOnly},
      {"locked, already equal", "NV_PLAIN_I", 5078, &same, sim::FaultKind::SecurityLocked,
       kNvWriteOk},
      {"locked, different", "NV_PLAIN_I", 5078, &other, sim::FaultKind::SecurityLocked,
       kNvWriteLocked},
      {"bad parameter", "NV_BAD_PARAM_I", 4006, &same, std::nullopt, kNvWriteBadParam},
      {"written", "NV_PLAIN_I", 5078, &other, std::nullopt, kNvWriteOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.fault) modem.add_fault(sim::FaultSpec{*c.fault, 0x27, 1});
    set_just_reset(true);
    EXPECT_EQ(c.result, write_nv_item(c.name, c.value, c.id, kFirmware));
    EXPECT_FALSE(just_reset());
    const NvItemPacket write = requests().back().cmd_code == diag::kCmdNvWrite
                                   ? requests().back()
                                   : requests()[requests().size() - 2];
    EXPECT_EQ(c.id, write.item);
    EXPECT_EQ(*c.value, write.data[0]);
  }
  EXPECT_EQ(other, (*modem.nv().read(5078, 0))[0]);
}

TEST_F(NvItemsTest, WritesThatFail) {
  start();
  MessageCapture capture;
  const uint8_t value = 1;
  EXPECT_EQ(kNvWriteOk, write_nv_item("NV_DIAG_SPC_TIMEOUT_I", &value, 3462, kFirmware));
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(kNvWriteFailed, write_nv_item("NV_FAIL_I", &value, 4001, kFirmware));
  EXPECT_THAT(capture.messages(),
              ElementsAre("Skipping write of read-only NV item (NV_DIAG_SPC_TIMEOUT_I)\n",
                          "ERROR: Attempt to write NV_FAIL_I responded to with NV_FAIL_S\n"));
  EXPECT_EQ(1u, requests().size());
  // An nv_stat the write does not know is no answer: five sends, then the detail line.
  sim::ModemConfig config = items_config();
  config.nv_status[4002] = 8;
  start(config);
  capture.clear();
  EXPECT_EQ(kNvWriteFailed, write_nv_item("NV_NOT_DEFINED_I", &value, 4002, kFirmware));
  EXPECT_THAT(capture.messages(),
              ElementsAre("ERROR: Failed attempt to write NV_NOT_DEFINED_I.\n",
                          "    write_resp->cmd_code = 39, ->item = 4002, ->nv_stat = 8\n"));
  EXPECT_EQ(5u, requests().size());
  // Without a port every send fails: five of them, and no detail line.
  reset_dm_port();
  capture.clear();
  EXPECT_EQ(kNvWriteFailed, write_nv_item("NV_PLAIN_I", &value, 5078, kFirmware));
  EXPECT_EQ("ERROR: Failed attempt to write NV_PLAIN_I.\n", capture.messages().back());
  EXPECT_THAT(capture.text(), Not(HasSubstr("write_resp")));
  const std::vector<std::string> messages = capture.messages();
  EXPECT_EQ(5, std::count(messages.begin(), messages.end(),
                          "ERROR: ZqUmtsKavCommandDM: TX Attempted on NULL handle.\n"));
}

}  // namespace
}  // namespace kav::test
