// The keep-awake pinger over a pseudo-terminal: flag bytes on an idle line, pushed back by
// frames, silent after a stop or a close; its lock and unknown commands.
#include <gmock/gmock.h>

#include <thread>

#include "tests/transport/transport_fixture.h"

namespace kav::test {
namespace {

class PingerTest : public TransportTest {
 protected:
  // Times (ticks) at which single keep-awake bytes reached the modem within `window_ms`.
  static std::vector<uint32_t> ping_times(sim::Pty& modem, int window_ms) {
    std::vector<uint32_t> times;
    const uint32_t start = platform::tick_count();
    for (;;) {
      const int left = window_ms - static_cast<int>(platform::tick_count() - start);
      if (left <= 0) break;
      for (uint8_t b : modem.read(left)) {
        EXPECT_EQ(b, kKeepAwakeByte);
        times.push_back(platform::tick_count());
      }
    }
    return times;
  }
};

TEST_F(PingerTest, IdleLineGetsAFlagByteEveryInterval) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  const uint32_t start = platform::tick_count();
  control_tx_keep_awake_pinger(kPingerStart);
  const std::vector<uint32_t> times = ping_times(modem, 1130);
  ASSERT_EQ(times.size(), 4u);
  EXPECT_GE(times[0] - start, 240u);
  for (size_t i = 1; i < times.size(); ++i) {
    EXPECT_GE(times[i] - times[i - 1], 200u);
    EXPECT_LE(times[i] - times[i - 1], 320u);
  }
  const std::vector<CommRecord> ftx = records_tagged("FTX");
  ASSERT_GE(ftx.size(), 4u);
  EXPECT_EQ(ftx[0].count, 1);
  EXPECT_EQ(hex(ftx[0].bytes), "7E ");
  EXPECT_TRUE(records_tagged("FTXFAILTOSEND").empty());
}

TEST_F(PingerTest, FramePushesTheNextPingBack) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  control_tx_keep_awake_pinger(kPingerStart);
  ASSERT_EQ(ping_times(modem, 300).size(), 1u);  // the first ping, about 250 ms in
  platform::sleep_ms(100);
  const uint8_t request[1] = {0x3A};
  ASSERT_EQ(ZqUmtsKavCommandDMCom(request, 1, false), 0);
  const uint32_t sent = platform::tick_count();
  EXPECT_EQ(hex(read_master(modem, 4)), hex(bytes_of({0x3A, 0xA1, 0x6E, 0x7E})));
  const std::vector<uint32_t> times = ping_times(modem, 400);
  ASSERT_FALSE(times.empty());
  EXPECT_GE(times[0] - sent, 240u);
  EXPECT_LE(times[0] - sent, 330u);
}

TEST_F(PingerTest, StopSilencesAndActivityResumes) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  control_tx_keep_awake_pinger(kPingerStart);
  ASSERT_FALSE(ping_times(modem, 300).empty());
  control_tx_keep_awake_pinger(kPingerStop);
  const size_t ftx_at_stop = records_tagged("FTX").size();
  EXPECT_TRUE(ping_times(modem, 700).empty());
  EXPECT_EQ(records_tagged("FTX").size(), ftx_at_stop);
  control_tx_keep_awake_pinger(kPingerActivity);
  EXPECT_EQ(ping_times(modem, 300).size(), 1u);
}

TEST_F(PingerTest, ClosingThePortEndsThePingsQuietly) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  control_tx_keep_awake_pinger(kPingerStart);
  ASSERT_FALSE(ping_times(modem, 300).empty());
  MessageCapture messages;
  ASSERT_EQ(close_com_port(), 0);
  const size_t ftx_at_close = records_tagged("FTX").size();
  // Even a start with no port only sends the thread to sleep after one interval.
  control_tx_keep_awake_pinger(kPingerStart);
  platform::sleep_ms(600);
  EXPECT_EQ(records_tagged("FTX").size(), ftx_at_close);
  EXPECT_EQ(messages.text(), "Closing the Modem Connection.\n");
  EXPECT_TRUE(pinger_running());
}

TEST_F(PingerTest, PokeWithoutPortIsReported) {
  MessageCapture messages;
  poke_comms();
  EXPECT_EQ(messages.text(), "ERROR: poke_comms: TX Attempted on NULL handle.\n");
  const std::vector<CommRecord> null_tx = records_tagged("TX Attempted on NULL handle");
  ASSERT_EQ(null_tx.size(), 1u);
  EXPECT_EQ(null_tx[0].count, -1);
}

TEST_F(PingerTest, UnknownCommandIsReportedAndChangesNothing) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  control_tx_keep_awake_pinger(kPingerStart);
  MessageCapture messages;
  control_tx_keep_awake_pinger(7);
  EXPECT_EQ(messages.text(),
            "ERROR: Unrecognized command sent to control_tx_keep_awake_pinger function.\n");
  EXPECT_EQ(ping_times(modem, 560).size(), 2u);
  EXPECT_TRUE(pinger_running());
}

TEST_F(PingerTest, LockCommandsHoldThePortLockAcrossThreads) {
  control_tx_keep_awake_pinger(kPingerLock);
  bool taken_elsewhere = true;
  std::thread([&] {
    taken_elsewhere = port_lock().try_lock();
    if (taken_elsewhere) port_lock().unlock();
  }).join();
  EXPECT_FALSE(taken_elsewhere);
  control_tx_keep_awake_pinger(kPingerUnlock);
  std::thread([&] {
    taken_elsewhere = port_lock().try_lock();
    if (taken_elsewhere) port_lock().unlock();
  }).join();
  EXPECT_TRUE(taken_elsewhere);
}

TEST_F(PingerTest, StopPingerEndsTheThreadAndStartRestartsIt) {
  ensure_pinger_started();
  EXPECT_TRUE(pinger_running());
  stop_pinger();
  EXPECT_FALSE(pinger_running());
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  control_tx_keep_awake_pinger(kPingerStart);
  EXPECT_TRUE(pinger_running());
  EXPECT_EQ(ping_times(modem, 300).size(), 1u);
}

}  // namespace
}  // namespace kav::test
