// Frame transmit and receive over a pseudo-terminal: the bytes on the wire, escapes, the
// 64-byte rule, the write retry budget, frames split out of the receive ring, and reconnects
// when the far end goes away mid-exchange.
#include <gmock/gmock.h>

#include <sys/stat.h>

#include <thread>

#include "tests/transport/transport_fixture.h"

namespace kav::test {
namespace {

using ::testing::HasSubstr;

class DmFramesTest : public TransportTest {
 protected:
  // Sends `request` and returns what reached the modem. The pinger is told to stop right
  // after, so no keep-awake byte mixes into the next frame.
  std::vector<uint8_t> send_and_capture(sim::Pty& modem, const std::vector<uint8_t>& request,
                                        bool leading_flag, size_t expected) {
    EXPECT_EQ(
        ZqUmtsKavCommandDMCom(request.data(), static_cast<uint32_t>(request.size()), leading_flag),
        0);
    control_tx_keep_awake_pinger(kPingerStop);
    return read_master(modem, expected);
  }

  // One receive call; the payload as a vector.
  ZqUmtsKavStatusEnum receive(std::vector<uint8_t>* payload, int32_t budget_ms = 1000) {
    const uint8_t* data = nullptr;
    int32_t length = -1;
    int32_t time_left = budget_ms;
    const ZqUmtsKavStatusEnum result = ZqUmtsKavResponseDMCom(&data, &length, &time_left);
    payload->clear();
    if (result == 0) {
      EXPECT_NE(data, nullptr);
      payload->assign(data, data + length);
    } else {
      EXPECT_EQ(data, nullptr);
      EXPECT_EQ(length, 0);
    }
    return result;
  }
};

TEST_F(DmFramesTest, LibraryRequestsGoOutByteForByte) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  struct Case {
    std::vector<uint8_t> request;
    bool leading_flag;
    std::vector<uint8_t> wire;
  };
  const std::vector<Case> cases = {
      {bytes_of({0x06}), true, bytes_of({0x7E, 0x06, 0x4E, 0x95, 0x7E})},
      {bytes_of({0x3A}), false, bytes_of({0x3A, 0xA1, 0x6E, 0x7E})},
      {bytes_of({0x29, 0x01, 0x00}), false, bytes_of({0x29, 0x01, 0x00, 0x31, 0x40, 0x7E})},
      {bytes_of({0x29, 0x02, 0x00}), false, bytes_of({0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E})},
      {bytes_of({0x0A}), true, bytes_of({0x7E, 0x0A, 0x22, 0x5F, 0x7E})},
      {bytes_of({0x0B}), true, bytes_of({0x7E, 0x0B, 0xAB, 0x4E, 0x7E})},
      {bytes_of({0x4B, 0xFA, 0x00, 0x00}), false,
       bytes_of({0x4B, 0xFA, 0x00, 0x00, 0x32, 0xD5, 0x7E})},
      {bytes_of({0x30}), false, bytes_of({0x7D, 0x10, 0xFB, 0xC1, 0x7E})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex(send_and_capture(modem, c.request, c.leading_flag, c.wire.size())), hex(c.wire));
  }
  // Each frame is one write, logged with its bytes.
  const std::vector<CommRecord> tx = records_tagged("TX");
  ASSERT_EQ(tx.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(tx[i].count, static_cast<int>(cases[i].wire.size()));
    EXPECT_EQ(hex(tx[i].bytes), hex(cases[i].wire));
  }
}

TEST_F(DmFramesTest, ControlBytesAndZeroCharAreEscapedBothWays) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  const std::vector<uint8_t> request = bytes_of({0x30, 0x7E, 0x7D, 0x31});
  const std::vector<uint8_t> wire = send_and_capture(modem, request, false, 11);
  ASSERT_GE(wire.size(), 8u);
  EXPECT_EQ(hex({wire.begin(), wire.begin() + 7}),
            hex(bytes_of({0x7D, 0x10, 0x7D, 0x5E, 0x7D, 0x5D, 0x31})));
  EXPECT_EQ(wire.back(), 0x7E);
  // The FCS that follows checks out once unescaped.
  hdlc::FrameSplitter splitter;
  hdlc::FrameSplitter::Event event;
  splitter.feed(wire.data(), wire.size(), &event);
  EXPECT_EQ(event, hdlc::FrameSplitter::Event::kFrame);

  // A modem that escapes 0x30 too (7D 10) is read back as 0x30.
  std::vector<uint8_t> in(32);
  in.resize(hdlc::encode_frame(request.data(), request.size(), true, in.data(), in.size(), true));
  ASSERT_TRUE(modem.write(in));
  std::vector<uint8_t> payload;
  ASSERT_EQ(receive(&payload), 0);
  EXPECT_EQ(hex(payload), hex(request));
  EXPECT_EQ(records_tagged("RETURN 4 byte MESSAGE").size(), 1u);
}

TEST_F(DmFramesTest, EmptyPayloadFrameAndOneByteFrame) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  // 00 00 is the FCS of nothing: a good frame with no payload.
  ASSERT_TRUE(modem.write(bytes_of({0x7E, 0x00, 0x00, 0x7E})));
  std::vector<uint8_t> payload = {1};
  ASSERT_EQ(receive(&payload), 0);
  EXPECT_TRUE(payload.empty());
  EXPECT_EQ(records_tagged("RETURN 0 byte MESSAGE").size(), 1u);

  // One byte can never pass the check; the frame after it is returned.
  std::vector<uint8_t> stream = bytes_of({0x7E, 0x41, 0x7E});
  const std::vector<uint8_t> good = modem_frame(bytes_of({0x12, 0x34}));
  stream.insert(stream.end(), good.begin(), good.end());
  ASSERT_TRUE(modem.write(stream));
  ASSERT_EQ(receive(&payload), 0);
  EXPECT_EQ(hex(payload), hex(bytes_of({0x12, 0x34})));
  const std::vector<CommRecord> early = records_tagged("EARLY_END");
  ASSERT_EQ(early.size(), 1u);
  EXPECT_EQ(early[0].count, -1);
}

TEST_F(DmFramesTest, SixtyFourByteWriteIsSplitAsSixtyThreeAndOne) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  // 61 plain bytes, whose FCS needs no escape: 61 + 2 + flag = 64 bytes on the wire.
  std::vector<uint8_t> request(61, 0x41);
  for (int last = 0; last < 256; ++last) {
    request.back() = static_cast<uint8_t>(last);
    if (hdlc::needs_escape(request.back(), true)) continue;
    const uint16_t fcs = hdlc::fcs_of(request.data(), request.size());
    if (!hdlc::needs_escape(fcs & 0xFF, true) && !hdlc::needs_escape(fcs >> 8, true)) break;
  }
  const std::vector<uint8_t> wire = send_and_capture(modem, request, false, 64);
  ASSERT_EQ(wire.size(), 64u);
  EXPECT_EQ(wire.back(), 0x7E);
  const std::vector<CommRecord> tx = records_tagged("TX");
  ASSERT_EQ(tx.size(), 2u);
  EXPECT_EQ(tx[0].count, 63);
  EXPECT_EQ(tx[1].count, 1);
  EXPECT_EQ(hex(tx[1].bytes), "7E ");
}

// A port without line settings (a PCIe modem's wwan port, here a FIFO) takes each write as one
// MHI transfer: a 64-byte frame goes out whole.
TEST_F(DmFramesTest, SixtyFourByteFrameIsOneWriteOnAPortWithoutTermios) {
  const std::string fifo = root_->path() + "/qcdm_fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  sim::UsbDeviceSpec usb{0x1AB7, 0x0C01, 0x0100, "1-9", 0, {}};
  sim::UsbInterfaceSpec itf;
  itf.kind = sim::PortKind::Serial;
  itf.node_target = fifo;
  usb.interfaces.push_back(itf);
  root_->tree().add_device(usb);
  DmPortHandle port = connect();
  ASSERT_TRUE(port);
  ASSERT_FALSE(port->is_tty());
  std::vector<uint8_t> request(61, 0x41);
  for (int last = 0; last < 256; ++last) {
    request.back() = static_cast<uint8_t>(last);
    if (hdlc::needs_escape(request.back(), true)) continue;
    const uint16_t fcs = hdlc::fcs_of(request.data(), request.size());
    if (!hdlc::needs_escape(fcs & 0xFF, true) && !hdlc::needs_escape(fcs >> 8, true)) break;
  }
  ASSERT_EQ(ZqUmtsKavCommandDMCom(request.data(), static_cast<uint32_t>(request.size()), false), 0);
  control_tx_keep_awake_pinger(kPingerStop);
  const std::vector<CommRecord> tx = records_tagged("TX");
  ASSERT_EQ(tx.size(), 1u);
  EXPECT_EQ(tx[0].count, 64);
}

TEST_F(DmFramesTest, TwoFramesInOneReadComeBackFromTwoCalls) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  std::vector<uint8_t> stream = modem_frame(bytes_of({0x01, 0x02}));
  const std::vector<uint8_t> second = modem_frame(bytes_of({0x03, 0x04, 0x05}));
  stream.insert(stream.end(), second.begin(), second.end());
  ASSERT_TRUE(modem.write(stream));
  std::vector<uint8_t> payload;
  ASSERT_EQ(receive(&payload), 0);
  EXPECT_EQ(hex(payload), hex(bytes_of({0x01, 0x02})));
  ASSERT_EQ(receive(&payload), 0);
  EXPECT_EQ(hex(payload), hex(bytes_of({0x03, 0x04, 0x05})));
  // One port read delivered both.
  int reads_with_bytes = 0;
  for (const CommRecord& r : records()) {
    if ((r.tag == "RX" || r.tag.rfind("RX2:", 0) == 0) && r.count > 0) ++reads_with_bytes;
  }
  EXPECT_EQ(reads_with_bytes, 1);
}

TEST_F(DmFramesTest, ZeroBudgetTimesOutAtOnceWithoutReading) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  ASSERT_TRUE(modem.write(modem_frame(bytes_of({0x55}))));
  std::vector<uint8_t> payload;
  const uint32_t start = platform::tick_count();
  EXPECT_EQ(receive(&payload, 0), 18);
  EXPECT_LT(platform::tick_count() - start, 20u);
  EXPECT_EQ(records_tagged("RXTIMEOUT").size(), 1u);
  EXPECT_TRUE(records_tagged("RX").empty());
  // The frame is still there for a call with time.
  ASSERT_EQ(receive(&payload), 0);
  EXPECT_EQ(hex(payload), hex(bytes_of({0x55})));
}

TEST_F(DmFramesTest, BudgetRunsOutWithNothingArriving) {
  plug_modem();
  ASSERT_TRUE(connect());
  const uint8_t* data = nullptr;
  int32_t length = 0;
  int32_t time_left = 700;
  const uint32_t start = platform::tick_count();
  EXPECT_EQ(ZqUmtsKavResponseDMCom(&data, &length, &time_left), 18);
  const uint32_t took = platform::tick_count() - start;
  EXPECT_GE(took, 700u);
  EXPECT_LT(took, 900u);
  EXPECT_EQ(time_left, 0);
  // A speculative read at least every 500 ms of silence.
  bool speculative = false;
  for (const CommRecord& r : records()) {
    if (r.tag.rfind("RX2:er=0x0:iq=0:sl=2:lp=", 0) == 0) speculative = true;
  }
  EXPECT_TRUE(speculative);
}

TEST_F(DmFramesTest, GarbageBeforeTheFrameIsDroppedAsFcsError) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  const std::string echo = "AT$ZQDMAT=0\r\r\nOK\r\n";
  std::vector<uint8_t> stream(echo.begin(), echo.end());
  const std::vector<uint8_t> good = modem_frame(bytes_of({0x06, 0x00}));
  stream.insert(stream.end(), good.begin(), good.end());
  ASSERT_TRUE(modem.write(stream));
  std::vector<uint8_t> payload;
  ASSERT_EQ(receive(&payload), 0);
  EXPECT_EQ(hex(payload), hex(bytes_of({0x06, 0x00})));
  const std::vector<CommRecord> bad = records_tagged("FCS_ERR");
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].count, -static_cast<int>(echo.size()));
}

TEST_F(DmFramesTest, ThreeEmptyWritesEndTheFrameAndTheBudgetComesBack) {
  sim::Pty& modem = plug_modem();
  DmPortHandle port = connect();
  ASSERT_TRUE(port);
  // Writes give up after 30 ms; then fill the line until nothing more goes in.
  ASSERT_TRUE(port->set_timeouts({10, 0, 30}));
  std::vector<uint8_t> filler(4096, 0x55);
  size_t written = 1;
  for (int i = 0; i < 10000 && written > 0; ++i) {
    ASSERT_TRUE(port->write(filler.data(), filler.size(), &written));
  }
  ASSERT_EQ(written, 0u);
  MessageCapture messages;
  const std::vector<uint8_t> request = bytes_of({0x0C});
  EXPECT_EQ(ZqUmtsKavCommandDMCom(request.data(), 1, true), 20);
  control_tx_keep_awake_pinger(kPingerStop);
  std::vector<CommRecord> tx = records_tagged("TX");
  ASSERT_EQ(tx.size(), 3u);
  for (const CommRecord& r : tx) EXPECT_EQ(r.count, 0);
  std::vector<CommRecord> failed = records_tagged("TXFAILTOSEND");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].count, 5);  // 7E 0C FCS FCS 7E
  EXPECT_EQ(messages.text(),
            "ERROR: Too many write attempts in a row cut off at zero bytes.\n"
            "ERROR: ZqUmtsKavCommandDM: sendHDLC failure.\n");
  EXPECT_EQ(write_retry_budget(), 2);

  // The next frame again gets three attempts.
  EXPECT_EQ(ZqUmtsKavCommandDMCom(request.data(), 1, true), 20);
  control_tx_keep_awake_pinger(kPingerStop);
  EXPECT_EQ(records_tagged("TX").size(), 6u);

  // Once the modem reads again, frames go through.
  while (!modem.read(50).empty()) {
  }
  EXPECT_EQ(ZqUmtsKavCommandDMCom(request.data(), 1, true), 0);
}

TEST_F(DmFramesTest, SendWithoutPortAndOversizedRequestAreRefused) {
  MessageCapture messages;
  const uint8_t request[1] = {0x06};
  EXPECT_EQ(ZqUmtsKavCommandDMCom(request, 1, true), 20);
  EXPECT_EQ(messages.text(), "ERROR: ZqUmtsKavCommandDM: TX Attempted on NULL handle.\n");
  const std::vector<CommRecord> null_tx = records_tagged("TX Attempted on NULL handle");
  ASSERT_EQ(null_tx.size(), 1u);
  EXPECT_EQ(null_tx[0].count, -1);

  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  messages.clear();
  std::vector<uint8_t> big(kMaxDmRequestLength + 1, 0x7E);
  EXPECT_EQ(ZqUmtsKavCommandDMCom(big.data(), static_cast<uint32_t>(big.size()), false), 20);
  EXPECT_THAT(messages.text(), HasSubstr("refused (at most 4096 bytes)"));
  EXPECT_TRUE(records_tagged("TX").empty());

  // The largest request, every byte escaped, still goes out whole.
  big.pop_back();
  std::thread reader([&] {
    const std::vector<uint8_t> wire = read_master(modem, 2 * big.size() + 5, 3000);
    hdlc::FrameSplitter splitter;
    hdlc::FrameSplitter::Event event;
    splitter.feed(wire.data(), wire.size(), &event);
    EXPECT_EQ(event, hdlc::FrameSplitter::Event::kFrame);
    EXPECT_EQ(splitter.payload_length(), big.size());
  });
  EXPECT_EQ(ZqUmtsKavCommandDMCom(big.data(), static_cast<uint32_t>(big.size()), false), 0);
  reader.join();
}

TEST_F(DmFramesTest, ReceiveWithoutPortSpendsTheBudgetAtOnce) {
  MessageCapture messages;
  const uint8_t* data = nullptr;
  int32_t length = -1;
  int32_t time_left = 2000;
  const uint32_t start = platform::tick_count();
  // A caller looping until the budget is spent must end: the budget comes back as 0.
  EXPECT_EQ(ZqUmtsKavResponseDMCom(&data, &length, &time_left), 2);
  EXPECT_LT(platform::tick_count() - start, 100u);
  EXPECT_EQ(time_left, 0);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(messages.text(), "ERROR: ZqUmtsKavResponseDM: RX Attempted on NULL handle.\n");
}

// ---- the far end going away ----

class DmReconnectTest : public DmFramesTest {
 protected:
  void SetUp() override {
    DmFramesTest::SetUp();
    set_fixed_port_mode(true);
  }
};

TEST_F(DmReconnectTest, ReceiveReopensTheDeviceThatComesBack) {
  sim::Pty& first = plug_modem();
  ASSERT_TRUE(connect());
  const std::vector<uint8_t> request = bytes_of({0x0C});
  ASSERT_EQ(ZqUmtsKavCommandDMCom(request.data(), 1, false), 0);
  ASSERT_FALSE(read_master(first, 4).empty());
  // The modem drops off the bus and re-enumerates on the same node; its answer is waiting.
  unplug_modem(first);
  sim::Pty& second = plug_modem();
  ASSERT_TRUE(second.write(modem_frame(bytes_of({0x0C, 0x01}))));
  MessageCapture messages;
  std::vector<uint8_t> payload;
  ASSERT_EQ(receive(&payload, 3000), 0);
  EXPECT_EQ(hex(payload), hex(bytes_of({0x0C, 0x01})));
  EXPECT_THAT(messages.text(),
              HasSubstr("ZqUmtsKavResponseDMCom: ERROR -- Device disconnection indication "
                        "received from driver, attempting reconnection.\n"));
  EXPECT_THAT(messages.text(), HasSubstr("Opening the Modem Connection on COM1\n\t"));
  EXPECT_THAT(messages.text(), HasSubstr("COM1 opened\n"));
  EXPECT_EQ(records_tagged("ClearCommError:Errors = 0000001F, indication of device connection "
                           "failure")
                .size(),
            1u);
  EXPECT_EQ(records_tagged("CLOSE_mpcar").size(), 1u);
  EXPECT_EQ(records_tagged("OPEN: \\\\.\\COM1").size(), 2u);
  ASSERT_TRUE(dm_port_handle());
  EXPECT_TRUE(dm_port_handle()->is_open());
}

TEST_F(DmReconnectTest, ReceiveTimesOutWhenNothingComesBack) {
  sim::Pty& first = plug_modem();
  ASSERT_TRUE(connect());
  unplug_modem(first);
  MessageCapture messages;
  std::vector<uint8_t> payload;
  EXPECT_EQ(receive(&payload, 3000), 18);
  EXPECT_THAT(messages.text(),
              HasSubstr("ERROR: open_com_port: Failed to open comm port.\n"
                        "ZqUmtsKavResponseDMCom: ERROR -- Reconnect failure treated as "
                        "timeout.\n"));
  EXPECT_FALSE(dm_port_handle());
}

TEST_F(DmReconnectTest, SendContinuesTheFrameOnTheDeviceThatComesBack) {
  sim::Pty& first = plug_modem();
  ASSERT_TRUE(connect());
  unplug_modem(first);
  sim::Pty& second = plug_modem();
  MessageCapture messages;
  const std::vector<uint8_t> request = bytes_of({0x4B, 0xFA, 0x00, 0x00});
  EXPECT_EQ(ZqUmtsKavCommandDMCom(request.data(), 4, false), 0);
  EXPECT_EQ(hex(read_master(second, 7)), hex(bytes_of({0x4B, 0xFA, 0x00, 0x00, 0x32, 0xD5, 0x7E})));
  EXPECT_THAT(messages.text(),
              HasSubstr("ZqUmtsKavCommandDMCom: ERROR -- Device not connected error on write, "
                        "attempting reconnection.\n"));
  const std::vector<CommRecord> tx = records_tagged("TX");
  ASSERT_EQ(tx.size(), 2u);
  EXPECT_EQ(tx[0].count, -7);
  EXPECT_EQ(tx[1].count, 7);
  EXPECT_EQ(records_tagged("CLOSE_mpcar").size(), 1u);
}

TEST_F(DmReconnectTest, SendFailsWhenNothingComesBack) {
  sim::Pty& first = plug_modem();
  ASSERT_TRUE(connect());
  unplug_modem(first);
  MessageCapture messages;
  const std::vector<uint8_t> request = bytes_of({0x06});
  EXPECT_EQ(ZqUmtsKavCommandDMCom(request.data(), 1, true), 20);
  EXPECT_THAT(messages.text(),
              HasSubstr("ZqUmtsKavCommandDMCom: ERROR -- Reconnect attempt failure.\n"
                        "ERROR: ZqUmtsKavCommandDM: sendHDLC failure.\n"));
  const std::vector<CommRecord> failed = records_tagged("TXFAILTOSEND");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].count, 5);
  EXPECT_FALSE(dm_port_handle());
}

}  // namespace
}  // namespace kav::test
