#include <gtest/gtest.h>

#include <string>

#include "tests/sim/sim_fixture.h"

namespace kav::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;
using ModemDiagTest = SimTest;

std::string text_at(const Bytes& record, size_t offset) {
  return std::string(reinterpret_cast<const char*>(record.data() + offset));
}

TEST_F(ModemDiagTest, ProbeAndUnknownRequestsAreRefusedWithTheRequestEchoed) {
  start();
  auto dm = client();
  ASSERT_TRUE(dm->send({0x06}, true));
  EXPECT_EQ((Bytes{0x13, 0x06}), dm->next());
  EXPECT_EQ((Bytes{0x13, 0x55, 0x30, 0x7E}), dm->ask({0x55, 0x30, 0x7E}));
  EXPECT_EQ((Bytes{0x13, 0x4B, 0x0A, 0x12, 0x34}), dm->ask({0x4B, 0x0A, 0x12, 0x34}));
}

TEST_F(ModemDiagTest, NvItemsReadWriteAndRefuse) {
  ModemConfig config = quick_config();
  config.read_only_items = {3462};
  config.item_sizes = {{4000, 3}};
  config.nv_presets = {{550, {0x01, 0x02}}};
  start(config);
  auto dm = client();
  NvItemPacket answer = packet_of(*dm->ask(bytes_of(nv_request(0x26, 5078))));
  EXPECT_EQ(0x26, answer.cmd_code);
  EXPECT_EQ(5078, answer.item);
  EXPECT_EQ(5, answer.nv_stat);
  EXPECT_EQ(Bytes(128, 0), Bytes(answer.data, answer.data + 128));

  // Data with every special byte goes both ways intact (0x30 escaped by the host only).
  const Bytes value = {'T', 0x7E, 0x7D, 0x30, 0x00, 'x'};
  answer = packet_of(*dm->ask(bytes_of(nv_request(0x27, 5078, value))));
  EXPECT_EQ(0x27, answer.cmd_code);
  EXPECT_EQ(0, answer.nv_stat);
  EXPECT_EQ(value, Bytes(answer.data, answer.data + value.size()));
  answer = packet_of(*dm->ask(bytes_of(nv_request(0x26, 5078))));
  EXPECT_EQ(0, answer.nv_stat);
  EXPECT_EQ(value, Bytes(answer.data, answer.data + value.size()));

  answer = packet_of(*dm->ask(bytes_of(nv_request(0x27, 3462, {9}))));
  EXPECT_EQ(7, answer.nv_stat);
  EXPECT_EQ(9, answer.data[0]);
  EXPECT_EQ(5, packet_of(*dm->ask(bytes_of(nv_request(0x26, 3462)))).nv_stat);
  answer = packet_of(*dm->ask(bytes_of(nv_request(0x26, 550))));
  EXPECT_EQ(0, answer.nv_stat);
  EXPECT_EQ(2, answer.data[1]);
  EXPECT_EQ((Bytes{0x15, 0x26}), dm->ask({0x26}));

  // A 3-byte item keeps three bytes of a write; the echo still carries what was sent.
  answer = packet_of(*dm->ask(bytes_of(nv_request(0x27, 4000, {'T', 'a', 'r', 'v'}))));
  EXPECT_EQ(0, answer.nv_stat);
  EXPECT_EQ((Bytes{'T', 'a', 'r', 'v'}), Bytes(answer.data, answer.data + 4));
  answer = packet_of(*dm->ask(bytes_of(nv_request(0x26, 4000))));
  EXPECT_EQ((Bytes{'T', 'a', 'r', 0}), Bytes(answer.data, answer.data + 4));
}

TEST_F(ModemDiagTest, ArrayItemsAreKeptPerElement) {
  ModemConfig config = quick_config();
  config.array_items = {20};
  start(config);
  auto dm = client();
  ASSERT_TRUE(dm->ask(bytes_of(nv_request(0x27, 20, {1, 0xAA}))));
  NvItemPacket answer = packet_of(*dm->ask(bytes_of(nv_request(0x26, 20, {1}))));
  EXPECT_EQ(0, answer.nv_stat);
  EXPECT_EQ((Bytes{1, 0xAA}), Bytes(answer.data, answer.data + 2));
  answer = packet_of(*dm->ask(bytes_of(nv_request(0x26, 20, {2}))));
  EXPECT_EQ(5, answer.nv_stat);
  EXPECT_EQ(2, answer.data[0]);
}

TEST_F(ModemDiagTest, StatusRecordCarriesTheConfiguredIdentity) {
  ModemConfig config = quick_config();
  config.status.firmware = "1.2.3.04-xyz 5";
  config.status.model = "U370";
  config.status.hw_rev = "HW 7";
  config.status.second_model = "MC390";
  config.status.imei = "356938035643809";
  start(config);
  auto dm = client();
  Bytes request(133, 0);
  request[0] = 0x4B;
  request[1] = 0xFA;  // the generic DM command pads the request to 133 bytes
  const Bytes record = *dm->ask(request);
  ASSERT_EQ(181u, record.size());
  EXPECT_EQ((Bytes{0x4B, 0xFA, 0x00, 0x00, 6, 5}), Bytes(record.begin(), record.begin() + 6));
  EXPECT_EQ("1.2.3.04-xyz 5", text_at(record, 9));
  EXPECT_EQ("U370", text_at(record, 100));
  EXPECT_EQ("HW 7", text_at(record, 132));
  EXPECT_EQ("MC390", text_at(record, 149));
  EXPECT_EQ((Bytes{0, 0, 8, 0x3A, 0x65, 0x39, 0x08, 0x53, 0x46, 0x83, 0x90}),
            Bytes(record.begin() + 89, record.begin() + 100));
  EXPECT_EQ((Bytes{0x13, 0x4B, 0x32, 0x00, 0x00}), dm->ask({0x4B, 0x32, 0x00, 0x00}));
}

TEST_F(ModemDiagTest, StatusSubsystemFiftyOrNone) {
  ModemConfig config = quick_config();
  config.status_subsystem = StatusSubsystem::Alternate;
  start(config);
  auto dm = client();
  EXPECT_EQ((Bytes{0x13, 0x4B, 0xFA, 0x00, 0x00}), dm->ask({0x4B, 0xFA, 0x00, 0x00}));
  const Bytes record = *dm->ask({0x4B, 0x32, 0x00, 0x00});
  ASSERT_EQ(181u, record.size());
  EXPECT_EQ(0x32, record[1]);
  modem_.reset();
  config.status_subsystem = StatusSubsystem::None;
  start(config);
  dm = client();
  EXPECT_EQ(0x13, dm->ask({0x4B, 0x32, 0x00, 0x00})->at(0));
  EXPECT_EQ(0x13, dm->ask({0x4B, 0xFA, 0x00, 0x00})->at(0));
}

TEST_F(ModemDiagTest, UnreportedModeComesFirst) {
  ModemConfig config = quick_config();
  config.status.unreported_answers = 2;
  start(config);
  auto dm = client();
  EXPECT_EQ(0xFF, dm->ask({0x4B, 0xFA, 0x00, 0x00})->at(5));
  EXPECT_EQ(0xFF, dm->ask({0x4B, 0xFA, 0x00, 0x00})->at(5));
  EXPECT_EQ(5, dm->ask({0x4B, 0xFA, 0x00, 0x00})->at(5));
}

TEST_F(ModemDiagTest, OfflineCommandTurnsTheOperatingModeAfterTheDelay) {
  Modem& modem = start();
  auto dm = client();
  EXPECT_EQ((Bytes{0x29, 0x01, 0x00}), dm->ask({0x29, 0x01, 0x00}));
  EXPECT_EQ(5, dm->ask({0x4B, 0xFA, 0x00, 0x00})->at(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(2, dm->ask({0x4B, 0xFA, 0x00, 0x00})->at(5));
  EXPECT_TRUE(modem.present());
}

TEST_F(ModemDiagTest, ResetEchoesThenReenumeratesOnline) {
  Modem& modem = start();
  auto dm = client();
  dm->ask({0x29, 0x01, 0x00});
  EXPECT_EQ((Bytes{0x29, 0x02, 0x00}), dm->ask({0x29, 0x02, 0x00}));
  ASSERT_TRUE(modem.wait_present(false, 2000));
  ASSERT_TRUE(modem.wait_returns(1, 3000));
  EXPECT_EQ(5, modem.dm_com());
  auto after = client();
  EXPECT_EQ(5, after->ask({0x4B, 0xFA, 0x00, 0x00})->at(5));
  EXPECT_EQ(ModemMode::DM, modem.diag().mode());
}

TEST_F(ModemDiagTest, DownloadReenumeratesAsTheEmergencyDownloaderAndResetsBack) {
  ModemConfig config = quick_config();
  config.dl_vid = 0x05C6;
  config.dl_pid = 0x9008;
  Modem& modem = start(config);
  EXPECT_EQ((Bytes{0x3A}), client()->ask({0x3A}));
  ASSERT_TRUE(modem.wait_returns(1, 3000));
  EXPECT_EQ(ModemMode::DL, modem.diag().mode());
  ASSERT_EQ(1u, modem.ports().size());
  const std::string vid = kav::test::read_file(root() + "/sys/bus/usb/devices/1-2/idVendor");
  const std::string pid = kav::test::read_file(root() + "/sys/bus/usb/devices/1-2/idProduct");
  EXPECT_EQ("05c6\n9008\n", vid + pid);
  auto dl = client();
  ASSERT_TRUE(dl->send({0x06}, true));
  EXPECT_EQ((Bytes{0x02}), dl->next());
  EXPECT_EQ(0x03, dl->ask({0x26, 0x01, 0x00})->at(0));
  ASSERT_TRUE(dl->send({0x0A}, true));
  EXPECT_EQ((Bytes{0x02}), dl->next());
  ASSERT_TRUE(modem.wait_returns(2, 3000));
  EXPECT_EQ(ModemMode::DM, modem.diag().mode());
  EXPECT_EQ(1, modem.dm_com());
  EXPECT_EQ((Bytes{0x13, 0x06}), client()->ask({0x06}));
}

TEST_F(ModemDiagTest, DownloadOnTheSamePortWithAStreamingDownloader) {
  ModemConfig config = quick_config();
  config.download_reenumerates = false;
  config.downloader = Downloader::Streaming;
  Modem& modem = start(config);
  auto dm = client();
  EXPECT_EQ((Bytes{0x3A}), dm->ask({0x3A}));
  EXPECT_EQ((Bytes{0x0D}), dm->ask({0x06}));
  EXPECT_EQ(0, modem.returns());
  EXPECT_EQ((Bytes{0x02}), dm->ask({0x0B}));
  ASSERT_TRUE(modem.wait_returns(1, 3000));
  EXPECT_EQ(ModemMode::DM, modem.diag().mode());
}

TEST_F(ModemDiagTest, OpenZumiAnswersInEveryLayout) {
  const Bytes request = {0x4B, 0xFE, 0xAA, 0x00};
  ModemConfig config = quick_config();
  config.openzumi_text = "OZ-7";
  config.openzumi_status = 41;
  start(config);
  Bytes answer = *client()->ask(request);
  ASSERT_EQ(74u, answer.size());
  EXPECT_EQ(request, Bytes(answer.begin(), answer.begin() + 4));
  EXPECT_EQ((Bytes{41, 0, 0, 0, 4, 0, 'O', 'Z', '-', '7', 0}),
            Bytes(answer.begin() + 4, answer.begin() + 15));

  for (auto [layout, size] :
       {std::pair{OpenZumiLayout::Short73, 73u}, std::pair{OpenZumiLayout::Echo8, 8u},
        std::pair{OpenZumiLayout::BadCommand, 5u}}) {
    modem_.reset();
    config.openzumi_layout = layout;
    config.openzumi_status = -1;
    start(config);
    answer = *client()->ask(request);
    EXPECT_EQ(size, answer.size());
    if (layout == OpenZumiLayout::Short73) {
      EXPECT_EQ((Bytes{0xFF, 0xFF, 0xFF, 0xFF, 4, 'O'}),
                Bytes(answer.begin() + 4, answer.begin() + 10));
    }
    if (layout == OpenZumiLayout::BadCommand) {
      EXPECT_EQ(0x13, answer[0]);
    }
  }
}

TEST_F(ModemDiagTest, AtLinesBeforeDiagAreAnsweredAsConfigured) {
  for (AtAnswer mode : {AtAnswer::Ok, AtAnswer::Error, AtAnswer::Silent}) {
    modem_.reset();
    ModemConfig config = quick_config();
    config.zqdmat_answer = mode;
    start(config);
    auto dm = client();
    const std::string at =
        "\xff"
        "AT$ZQDMAT=0\r\n\x7e";
    ASSERT_TRUE(dm->write_raw(Bytes(at.begin(), at.end())));
    const Bytes text = dm->read_for(200);
    const char* expected = mode == AtAnswer::Ok      ? "\r\nOK\r\n"
                           : mode == AtAnswer::Error ? "\r\nERROR\r\n"
                                                     : "";
    EXPECT_EQ(expected, std::string(text.begin(), text.end()));
    // The Qualcomm command and a probe right behind it, in one write.
    std::string both =
        "\xff"
        "AT$QCDMG\r\n\x7e";
    Bytes bytes(both.begin(), both.end());
    for (uint8_t byte : dm->frame({0x06}, true)) bytes.push_back(byte);
    ASSERT_TRUE(dm->write_raw(bytes));
    const Bytes reply = dm->read_for(200);
    EXPECT_EQ("\r\nOK\r\n", std::string(reply.begin(), reply.begin() + 6));
    EXPECT_EQ(frame_answer({0x13, 0x06}), Bytes(reply.begin() + 6, reply.end()));
    const auto history = modem_->history();
    ASSERT_EQ(3u, history.size());
    EXPECT_EQ(HostMessage::Kind::AtLine, history[0].kind);
    EXPECT_EQ("AT$ZQDMAT=0", std::string(history[0].bytes.begin(), history[0].bytes.end()));
    EXPECT_EQ("AT$QCDMG", std::string(history[1].bytes.begin(), history[1].bytes.end()));
  }
}

TEST_F(ModemDiagTest, RequestsArrivingByteByByteWithKeepAwakeFlags) {
  start();
  auto dm = client();
  Bytes stream = {0x7E, 0x7E};
  for (uint8_t byte : dm->frame(bytes_of(nv_request(0x27, 0x307E, {0x30})))) stream.push_back(byte);
  stream.push_back(0x7E);
  for (uint8_t byte : stream) {
    ASSERT_TRUE(dm->write_raw({byte}));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const NvItemPacket answer = packet_of(*dm->next());
  EXPECT_EQ(0x307E, answer.item);
  EXPECT_EQ(0x30, answer.data[0]);
  EXPECT_EQ(1u, modem_->history().size());
}

}  // namespace
}  // namespace kav::sim::test
