// The receive ring and splitter without a port: reads never wrap past the ring's end, frames
// that straddle the wrap come out whole, a frame under construction is dropped at the start
// of a call while later bytes stay, and an overlong frame is dropped without losing the next.
#include <gtest/gtest.h>

#include <cstring>

#include "lib/transport/dm_receive.h"
#include "tests/transport/transport_fixture.h"

namespace kav::test {
namespace {

// Puts `bytes` into the ring as reads would, in pieces of at most read_size().
void deliver(RxAssembler* rx, const std::vector<uint8_t>& bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t n = std::min(rx->read_size(), bytes.size() - pos);
    ASSERT_GT(n, 0u);
    std::memcpy(rx->write_position(), bytes.data() + pos, n);
    rx->commit(n);
    pos += n;
  }
}

std::vector<uint8_t> payload_of(const RxAssembler& rx) {
  return {rx.payload(), rx.payload() + rx.payload_length()};
}

TEST(RxAssembler, ReadSizeStopsAtTheEndOfTheRing) {
  RxAssembler rx;
  EXPECT_EQ(rx.read_size(), 2048u);
  std::vector<uint8_t> filler(2000, 0x7E);
  deliver(&rx, filler);
  EXPECT_EQ(rx.read_size(), 48u);  // free space 48, room before the end 48
  EXPECT_FALSE(rx.split());        // flags only
  EXPECT_EQ(rx.unprocessed(), 0u);
  EXPECT_EQ(rx.read_size(), 48u);  // empty, but the write index is at 2000
  rx.commit(48);
  EXPECT_EQ(rx.read_size(), 2048u - 48u);  // wrapped to 0; 48 bytes pending
}

TEST(RxAssembler, FrameAcrossTheWrapComesOutWhole) {
  RxAssembler rx;
  deliver(&rx, std::vector<uint8_t>(2040, 0x7E));
  ASSERT_FALSE(rx.split());
  std::vector<uint8_t> payload(30);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 9);
  deliver(&rx, modem_frame(payload));
  ASSERT_TRUE(rx.split());
  EXPECT_EQ(hex(payload_of(rx)), hex(payload));
}

TEST(RxAssembler, PartialFrameIsDroppedByTheNextCallButLaterBytesStay) {
  RxAssembler rx;
  std::vector<uint8_t> stream = modem_frame(bytes_of({0x01}));
  const std::vector<uint8_t> second = modem_frame(bytes_of({0x02}));
  stream.insert(stream.end(), second.begin(), second.end());
  stream.push_back(0x33);  // the start of a third frame
  deliver(&rx, stream);
  ASSERT_TRUE(rx.split());
  EXPECT_EQ(hex(payload_of(rx)), "01 ");
  EXPECT_GT(rx.unprocessed(), 0u);
  rx.begin_call();
  ASSERT_TRUE(rx.split());
  EXPECT_EQ(hex(payload_of(rx)), "02 ");
  EXPECT_FALSE(rx.split());  // 0x33 is collected, not a frame
  rx.begin_call();           // and dropped here
  std::vector<uint8_t> body(8);
  const uint8_t five = 0x05;
  body.resize(hdlc::encode_frame(&five, 1, false, body.data(), body.size(), false));
  deliver(&rx, body);  // no leading flag: the frame checks out only without the 0x33
  ASSERT_TRUE(rx.split());
  EXPECT_EQ(hex(payload_of(rx)), "05 ");
}

TEST(RxAssembler, OverlongFrameIsDroppedAndTheNextOneReturned) {
  RxAssembler rx(256);
  std::vector<uint8_t> stream(300, 0x41);
  const std::vector<uint8_t> good = modem_frame(bytes_of({0x0C, 0x0D}));
  stream.insert(stream.end(), good.begin(), good.end());
  deliver(&rx, stream);
  ASSERT_TRUE(rx.split());
  EXPECT_EQ(hex(payload_of(rx)), "0C 0D ");
}

}  // namespace
}  // namespace kav::test
