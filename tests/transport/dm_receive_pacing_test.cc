// The receive loop over a pseudo-terminal when the line is quiet or reports errors: the
// speculative reads every 500 ms with their growing idle pause, the CPU the wait costs, and the
// comm-error rules driven through a fake of the driver's line-error counters.
#include <gmock/gmock.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>

#include "tests/support/fake_line_errors.h"
#include "tests/transport/transport_fixture.h"

namespace kav::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// A speculative-read record with its fields and the time it was written.
struct Rx2Record {
  double at_ms = 0;  // time of day from the record's stamp
  unsigned er = 0;
  int iq = -1;
  int sl = -1;
  int lp = -1;
};

// "h:mm:ss.mmmuuu" as milliseconds since midnight, or -1.
double stamp_ms(const std::string& line) {
  int h = 0, m = 0, s = 0;
  char fraction[7] = {};
  if (std::sscanf(line.c_str(), "%d:%d:%d.%6[0-9]", &h, &m, &s, fraction) != 4) return -1;
  if (std::string(fraction).size() != 6) return -1;
  return ((h * 60.0 + m) * 60.0 + s) * 1000.0 + std::atoi(fraction) / 1000.0;
}

class DmReceivePacingTest : public TransportTest {
 protected:
  ZqUmtsKavStatusEnum receive(int32_t budget_ms, std::vector<uint8_t>* payload = nullptr,
                              int32_t* left = nullptr) {
    const uint8_t* data = nullptr;
    int32_t length = 0;
    int32_t time_left = budget_ms;
    const ZqUmtsKavStatusEnum result = ZqUmtsKavResponseDMCom(&data, &length, &time_left);
    if (payload != nullptr && result == 0) payload->assign(data, data + length);
    if (left != nullptr) *left = time_left;
    return result;
  }

  // Every RX2 record of the comm log, parsed.
  std::vector<Rx2Record> rx2_records() const {
    std::vector<Rx2Record> out;
    for (const std::string& line : split_lines(read_file(comm_log_name()))) {
      const size_t at = line.find("RX2:er=");
      if (at == std::string::npos) continue;
      Rx2Record r;
      r.at_ms = stamp_ms(line);
      EXPECT_EQ(std::sscanf(line.c_str() + at, "RX2:er=0x%X:iq=%d:sl=%d:lp=%d", &r.er, &r.iq, &r.sl,
                            &r.lp),
                4)
          << line;
      out.push_back(r);
    }
    return out;
  }

  // Every record whose tag starts with `prefix`.
  std::vector<CommRecord> records_starting(const std::string& prefix) const {
    std::vector<CommRecord> out;
    for (const CommRecord& r : records()) {
      if (r.tag.rfind(prefix, 0) == 0) out.push_back(r);
    }
    return out;
  }
};

TEST_F(DmReceivePacingTest, QuietLineIsReadSpeculativelyEvery500msWithGrowingPauses) {
  plug_modem();
  ASSERT_TRUE(connect());
  const uint32_t start = platform::tick_count();
  const double start_of_day = stamp_ms(log_timestamp());
  const std::clock_t cpu_start = std::clock();
  int32_t left = -1;
  EXPECT_EQ(receive(2700, nullptr, &left), 18);
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  const uint32_t wall_ms = platform::tick_count() - start;
  EXPECT_EQ(left, 0);
  EXPECT_GE(wall_ms, 2700u);
  EXPECT_LT(wall_ms, 2700u + 500u);
  // The wait sleeps: polling a quiet line costs little CPU.
  EXPECT_LT(cpu_ms, 0.1 * wall_ms) << "cpu " << cpu_ms << " ms over " << wall_ms << " ms";
  EXPECT_EQ(records_tagged("RXTIMEOUT").size(), 1u);
  EXPECT_TRUE(records_tagged("RX").empty());

  const std::vector<Rx2Record> rx2 = rx2_records();
  ASSERT_GE(rx2.size(), 4u);
  ASSERT_LE(rx2.size(), 5u);
  ASSERT_GE(start_of_day, 0);
  double previous = start_of_day;
  int previous_lp = 0;
  for (const Rx2Record& r : rx2) {
    const double since_start = r.at_ms - start_of_day;
    SCOPED_TRACE(testing::Message() << "RX2 at " << since_start << " ms, sl=" << r.sl);
    // Nothing arrived, so the error word and queue are empty and the passes only grow.
    EXPECT_EQ(r.er, 0u);
    EXPECT_EQ(r.iq, 0);
    EXPECT_GT(r.lp, previous_lp);
    previous_lp = r.lp;
    // Each speculative read comes 500 ms (plus at most one pause and some slack) after the last.
    EXPECT_GE(r.at_ms - previous, 498);
    EXPECT_LT(r.at_ms - previous, 500 + 100 + 150);
    previous = r.at_ms;
    // The pause follows the silence at the moment it was chosen, a little before the record
    // was written (one pause and the read, more on a loaded machine).
    ASSERT_TRUE(r.sl == 2 || r.sl == 10 || r.sl == 100);
    const double chosen_after = r.sl == 2 ? 0 : r.sl == 10 ? 999 : 1999;
    const double chosen_before = r.sl == 2 ? 1000 : r.sl == 10 ? 2000 : 1e9;
    EXPECT_GE(since_start, chosen_after);
    EXPECT_LT(since_start, chosen_before + 150);
  }
  EXPECT_EQ(rx2.front().sl, 2);
  EXPECT_EQ(rx2.back().sl, 100);
  // Some record sits between the two thresholds with the middle pause.
  EXPECT_TRUE(std::any_of(rx2.begin(), rx2.end(), [](const Rx2Record& r) { return r.sl == 10; }));
  // About 500 passes of 2 ms came before the first speculative read.
  EXPECT_GT(rx2.front().lp, 100);
}

// A quiet stretch of pauses is waited out in one poll, but a frame that arrives during it is
// taken at once, whichever pause is in force: well before the next speculative read would have
// found it.
TEST_F(DmReceivePacingTest, FrameArrivingDuringAQuietWaitIsTakenAtOnce) {
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  const std::vector<uint8_t> payload = bytes_of({0x0C, 0x01, 0x30});
  for (const uint32_t delay_ms : {300u, 1200u, 2250u}) {
    SCOPED_TRACE(testing::Message() << "frame after " << delay_ms << " ms");
    std::atomic<uint32_t> written_at{0};
    std::thread writer([&] {
      platform::sleep_ms(delay_ms);
      written_at.store(platform::tick_count());
      modem.write(modem_frame(payload));
    });
    std::vector<uint8_t> got;
    EXPECT_EQ(receive(5000, &got), 0);
    const uint32_t returned_at = platform::tick_count();
    writer.join();
    EXPECT_EQ(hex(got), hex(payload));
    EXPECT_LT(returned_at - written_at.load(), 60u);
  }
}

// Keeps bytes trickling in (single flags, which only separate frames) so every pass reads and
// the loop never slows down to the longer pauses; optionally sends a frame once the fake has
// answered `frame_after` queries.
class Trickle {
 public:
  Trickle(sim::Pty& pty, const FakeLineErrors& fake, int frame_after = -1,
          std::vector<uint8_t> frame = {})
      : thread_([this, &pty, &fake, frame_after, frame] {
          const std::vector<uint8_t> flag = {0x7E};
          while (!stop_.load()) {
            if (frame_after >= 0 && fake.queries() >= frame_after) {
              pty.write(frame);
              return;
            }
            pty.write(flag);
            platform::sleep_ms(1);
          }
        }) {}
  ~Trickle() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(DmReceivePacingTest, SameCommErrorOnMoreThan1000PassesEndsTheCall) {
  sim::Pty& modem = plug_modem();
  // A framing error on every query: the error word is 0x08 on every pass.
  FakeLineErrors fake(modem.slave_path(), [](int query) {
    platform::LineErrorCounts counts{};
    counts.frame = static_cast<uint32_t>(query);
    return counts;
  });
  ASSERT_TRUE(connect());
  MessageCapture messages;
  int32_t left = 0;
  {
    Trickle trickle(modem, fake);
    EXPECT_EQ(receive(60000, nullptr, &left), 18);
  }
  // Ended by the error rule, long before the budget.
  EXPECT_GT(left, 30000);
  EXPECT_TRUE(records_tagged("RXTIMEOUT").empty());
  EXPECT_EQ(records_tagged("ClearCommError:Errors = 00000008").size(), 1u);
  EXPECT_EQ(records_tagged("ClearCommError:Errors = 00000008 for the 1000th time").size(), 1u);
  EXPECT_EQ(records_starting("ClearCommError").size(), 2u);
  EXPECT_THAT(messages.text(),
              HasSubstr("ZqUmtsKavResponseDMCom: ERROR -- long stream of uncleared comm errors "
                        "treated as timeout.\n"));
  // One query when the port opened, one per pass (the first logs the word, the 1001 that
  // follow repeat it) and one per speculative read.
  EXPECT_EQ(static_cast<size_t>(fake.queries()), 1 + 1002 + rx2_records().size());
}

TEST_F(DmReceivePacingTest, ChangingCommErrorsAreLoggedAndReadingGoesOn) {
  sim::Pty& modem = plug_modem();
  // Framing and parity errors in turn: the word changes on every pass.
  FakeLineErrors fake(modem.slave_path(), [](int query) {
    platform::LineErrorCounts counts{};
    counts.frame = static_cast<uint32_t>((query + 1) / 2);
    counts.parity = static_cast<uint32_t>(query / 2);
    return counts;
  });
  ASSERT_TRUE(connect());
  MessageCapture messages;
  std::vector<uint8_t> payload;
  {
    Trickle trickle(modem, fake, 1500, modem_frame(bytes_of({0x0C, 0x01, 0x7E})));
    EXPECT_EQ(receive(60000, &payload), 0);
  }
  EXPECT_EQ(hex(payload), hex(bytes_of({0x0C, 0x01, 0x7E})));
  EXPECT_GE(fake.queries(), 1500);
  const size_t framing = records_tagged("ClearCommError:Errors = 00000008").size();
  const size_t parity = records_tagged("ClearCommError:Errors = 00000004").size();
  EXPECT_GT(framing + parity, 1400u);
  EXPECT_LE(framing > parity ? framing - parity : parity - framing, 1u);
  EXPECT_EQ(records_starting("ClearCommError").size(), framing + parity);
  EXPECT_THAT(messages.text(), Not(HasSubstr("long stream of uncleared comm errors")));
  EXPECT_TRUE(records_tagged("RXTIMEOUT").empty());
}

// A word of 0x1F is the driver's sign that the device has gone: the port is reopened and the
// word, new to this call, is logged once more as an ordinary error word.
TEST_F(DmReceivePacingTest, AllFiveErrorBitsReopenThePort) {
  sim::Pty& modem = plug_modem();
  set_fixed_port_mode(true);
  // Every counter grows up to the third query (the open, the first pass, the reopen), then
  // the line is clean.
  FakeLineErrors fake(modem.slave_path(), [](int query) {
    const uint32_t n = static_cast<uint32_t>(std::min(query, 3));
    return platform::LineErrorCounts{n, n, n, n, n};
  });
  const DmPortHandle before = connect();
  ASSERT_TRUE(before);
  MessageCapture messages;
  EXPECT_EQ(receive(400), 18);
  EXPECT_THAT(messages.text(),
              HasSubstr("ZqUmtsKavResponseDMCom: ERROR -- Device disconnection indication "
                        "received from driver, attempting reconnection.\n"));
  EXPECT_THAT(messages.text(), Not(HasSubstr("Reconnect failure")));
  EXPECT_EQ(records_tagged("ClearCommError:Errors = 0000001F, indication of device "
                           "connection failure")
                .size(),
            1u);
  EXPECT_EQ(records_tagged("ClearCommError:Errors = 0000001F").size(), 1u);
  EXPECT_EQ(records_tagged("RXTIMEOUT").size(), 1u);
  ASSERT_TRUE(dm_port_handle());
  EXPECT_NE(dm_port_handle().get(), before.get());
  EXPECT_TRUE(dm_port_handle()->is_open());
}

}  // namespace
}  // namespace kav::test
