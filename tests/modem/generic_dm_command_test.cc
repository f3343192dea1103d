// The generic DM command against the simulated modem: which response counts as the answer
// (one byte, or the four-byte subsystem header), refusals with both message forms, replies it
// does not recognise, a missing request or response buffer, and a modem in DL mode first
// brought back into DM mode.
#include <gmock/gmock.h>

#include <array>
#include <cstring>

#include "lib/transport/just_reset.h"
#include "tests/modem/modem_fixture.h"

namespace kav::test {
namespace {

using Request = std::array<uint8_t, 133>;

Request request_of(std::initializer_list<uint8_t> head) {
  Request request{};
  std::copy(head.begin(), head.end(), request.begin());
  return request;
}

class GenericDmCommandTest : public ModemTest {
 protected:
  void connect(sim::ModemConfig config = sim::test::quick_config()) {
    start(config);
    ASSERT_EQ(ZqUmtsKavConnect(), status::kSuccess);
    capture_->clear();
  }
};

TEST_F(GenericDmCommandTest, NvReadIsAnsweredAndCopied) {
  sim::ModemConfig config = sim::test::quick_config();
  config.nv_presets.push_back({5078, {'T', 'a', 'r', 'v'}});
  connect(config);
  const Request request = request_of({0x26, 0xD6, 0x13});
  Request response{};
  response.fill(0xEE);
  ASSERT_EQ(ZqUmtsKavSendGenericDMCommand(request.data(), response.data()), status::kSuccess);
  NvItemPacket packet;
  std::memcpy(&packet, response.data(), sizeof packet);
  EXPECT_EQ(packet.cmd_code, 0x26);
  EXPECT_EQ(packet.item, 5078);
  EXPECT_EQ(packet.nv_stat, 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(packet.data), "Tarv");
  // Without a response buffer the answer is only awaited.
  EXPECT_EQ(ZqUmtsKavSendGenericDMCommand(request.data(), nullptr), status::kSuccess);
  EXPECT_TRUE(capture_->messages().empty());
}

TEST_F(GenericDmCommandTest, SubsystemAnswerMustMatchAllFourHeaderBytes) {
  sim::ModemConfig config = sim::test::quick_config();
  // A late answer to 4B FE AB 00 arrives before the answer to 4B FE AA 00.
  config.faults.push_back({sim::FaultKind::StaleFirst, 0x4B, 1});
  connect(config);
  const Request request = request_of({0x4B, 0xFE, 0xAA, 0x00});
  Request response{};
  ASSERT_EQ(ZqUmtsKavSendGenericDMCommand(request.data(), response.data()), status::kSuccess);
  EXPECT_EQ(response[2], 0xAA);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&response[10])), "OZ-2.4.1");
  EXPECT_EQ(frames_sent({0x4B, 0xFE, 0xAA, 0x00}), 1u);
}

TEST_F(GenericDmCommandTest, RefusalsNameTheCommand) {
  const struct {
    Request request;
    const char* message;
  } cases[] = {
      {request_of({0x99}),
       "ERROR: ZqUmtsKavSendGenericDMCommand command 0x99 not supported on this modem.\n"},
      {request_of({0x4B, 0x0A, 0x12, 0x34}),
       "ERROR: ZqUmtsKavSendGenericDMCommand command 0x4B-0A-3412 not supported on this "
       "modem.\n"},
  };
  connect();
  for (const auto& c : cases) {
    capture_->clear();
    EXPECT_EQ(ZqUmtsKavSendGenericDMCommand(c.request.data(), nullptr), status::kNotSupported);
    EXPECT_THAT(capture_->messages(), ::testing::ElementsAre(c.message));
  }
}

// A late answer to connect's mode probe (13 06, the probe's own bad-command answer) still on
// its way when the request goes out refuses the probe, not the request.
TEST_F(GenericDmCommandTest, ARefusalOfAnotherCommandIsALateAnswer) {
  sim::ModemConfig config = sim::test::quick_config();
  config.faults.push_back({sim::FaultKind::Delay, 0x06, 1, 700});
  connect(config);
  const Request request = request_of({0x26, 0xD6, 0x13});
  Request response{};
  EXPECT_EQ(ZqUmtsKavSendGenericDMCommand(request.data(), response.data()), status::kSuccess);
  EXPECT_EQ(response[0], 0x26);
  EXPECT_TRUE(capture_->messages().empty());
}

TEST_F(GenericDmCommandTest, UnrecognisedRepliesCostFiveSends) {
  sim::ModemConfig config = sim::test::quick_config();
  config.faults.push_back({sim::FaultKind::BadLength, 0x26, -1});
  connect(config);
  const Request request = request_of({0x26, 0xD6, 0x13});
  EXPECT_EQ(ZqUmtsKavSendGenericDMCommand(request.data(), nullptr), status::kNoResponse);
  EXPECT_EQ(frames_sent({0x26, 0xD6, 0x13}), 5u);
  EXPECT_EQ(capture_->messages().back(), "ERROR: ZqUmtsKavSendGenericDMCommand failed.\n");
}

// What the matching answer can be: too big for the host's buffer, or shorter than the bytes
// compared (those past its end compare as zeros).
TEST_F(GenericDmCommandTest, AnswersTooLongOrShort) {
  const struct {
    const char* what;
    int cut_to;  // 0: whole
    ZqUmtsKavStatusEnum result;
    std::vector<std::string> messages;
  } cases[] = {
      {"the 181-byte status record",
       0,
       status::kResponseTooBig,
       {"ERROR: ZqUmtsKavSendGenericDMCommand response too big for rsp_buff.\n"}},
      {"4B FA alone", 2, status::kSuccess, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::ModemConfig config = sim::test::quick_config();
    if (c.cut_to > 0) {
      sim::FaultSpec cut{sim::FaultKind::Truncate, 0x4B, -1};
      cut.length = c.cut_to;
      config.faults.push_back(cut);
    }
    connect(config);
    const Request request = request_of({0x4B, 0xFA, 0x00, 0x00});
    Request response{};
    response.fill(0xEE);
    EXPECT_EQ(ZqUmtsKavSendGenericDMCommand(request.data(), response.data()), c.result);
    EXPECT_EQ(capture_->messages(), c.messages);
    EXPECT_EQ(frames_sent({0x4B, 0xFA, 0x00, 0x00}), 1u);
    // Copied only when it fits: the bytes received, nothing past them.
    EXPECT_EQ(response[0], c.result == status::kSuccess ? 0x4B : 0xEE);
    EXPECT_EQ(response[2], 0xEE);
    ZqUmtsKavDisconnect();
    modem_.reset();
  }
}

TEST_F(GenericDmCommandTest, MissingRequestAndUnknownMode) {
  EXPECT_EQ(ZqUmtsKavSendGenericDMCommand(nullptr, nullptr), status::kNoRequest);
  EXPECT_TRUE(said("ERROR: ZqUmtsKavSendGenericDMCommand called with empty cmd_buff.\n"));
  // No connection: the mode cannot be told and nothing is sent.
  const Request request = request_of({0x26});
  EXPECT_EQ(ZqUmtsKavSendGenericDMCommand(request.data(), nullptr), status::kModeUndetermined);
  EXPECT_EQ(capture_->messages().back(),
            "ERROR: Must be in DM mode for ZqUmtsKavSendGenericDMCommand.\n");
}

TEST_F(GenericDmCommandTest, ModemInDownloaderIsResetFirst) {
  sim::ModemConfig config = sim::test::quick_config();
  config.start_in_dl = true;
  connect(config);
  const Request request = request_of({0x26, 0xD6, 0x13});
  Request response{};
  ASSERT_EQ(ZqUmtsKavSendGenericDMCommand(request.data(), response.data()), status::kSuccess);
  EXPECT_EQ(response[0], 0x26);
  EXPECT_EQ(frames_sent({0x0A}), 1u);
  EXPECT_EQ(current_comm_mode(), ZqUmtsKavCommMode_DM);
  EXPECT_FALSE(just_reset());  // the request after the reset clears it
}

TEST_F(GenericDmCommandTest, ModemThatStaysInTheDownloaderGetsNoRequest) {
  sim::ModemConfig config = sim::test::quick_config();
  config.start_in_dl = true;
  config.faults.push_back({sim::FaultKind::NoAnswer, 0x0A, -1});  // the reset is ignored
  connect(config);
  const Request request = request_of({0x26, 0xD6, 0x13});
  EXPECT_EQ(ZqUmtsKavSendGenericDMCommand(request.data(), nullptr), status::kMoveToDmFailed);
  EXPECT_EQ(frames_sent({0x0A}), 2u);
  EXPECT_EQ(frames_sent({0x26}), 0u);
  EXPECT_TRUE(said("Set comm mode transition DL->DM failed, trying again.\n"));
  const std::vector<std::string> messages = capture_->messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2],
            "ERROR: Failure to transition to ZqUmtsKavCommMode_DM.\n");
  EXPECT_EQ(messages.back(), "ERROR: Must be in DM mode for ZqUmtsKavSendGenericDMCommand.\n");
}

}  // namespace
}  // namespace kav::test
