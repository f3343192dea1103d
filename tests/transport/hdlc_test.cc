#include "lib/transport/hdlc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kav::hdlc {
namespace {

using Bytes = std::vector<uint8_t>;
using Event = FrameSplitter::Event;

Bytes encode(const Bytes& req, bool leading_flag, bool escape_0x30 = true) {
  Bytes out(max_encoded_size(req.size()));
  const size_t n =
      encode_frame(req.data(), req.size(), leading_flag, out.data(), out.size(), escape_0x30);
  out.resize(n);
  return out;
}

// What the splitter reports for a stream: one entry per event other than kNone.
struct Outcome {
  Event event;
  Bytes payload;    // kFrame
  std::string tag;  // kBadFrame
  size_t length;    // frame length (kBadFrame) or payload length (kFrame)
};

Outcome outcome_of(Event e, const FrameSplitter& splitter) {
  if (e == Event::kFrame) {
    return {e, Bytes(splitter.payload(), splitter.payload() + splitter.payload_length()), "",
            splitter.payload_length()};
  }
  return {e, {}, e == Event::kBadFrame ? splitter.bad_frame_tag() : "", splitter.frame_length()};
}

bool operator==(const Outcome& a, const Outcome& b) {
  return a.event == b.event && a.payload == b.payload && a.tag == b.tag && a.length == b.length;
}

// The events of a stream taken in as few feed() calls as the events allow.
std::vector<Outcome> feed_all(const Bytes& stream, FrameSplitter* splitter) {
  std::vector<Outcome> out;
  for (size_t pos = 0; pos < stream.size();) {
    Event e = Event::kNone;
    pos += splitter->feed(stream.data() + pos, stream.size() - pos, &e);
    if (e != Event::kNone) out.push_back(outcome_of(e, *splitter));
  }
  return out;
}

// The events of a stream pushed byte by byte.
std::vector<Outcome> split(const Bytes& stream, FrameSplitter* splitter) {
  std::vector<Outcome> out;
  for (uint8_t b : stream) {
    const Event e = splitter->push(b);
    if (e != Event::kNone) out.push_back(outcome_of(e, *splitter));
  }
  return out;
}

// The same from a fresh splitter; a second one takes the stream in whole runs and must report
// the same events.
std::vector<Outcome> split(const Bytes& stream) {
  FrameSplitter bytewise;
  FrameSplitter runs;
  std::vector<Outcome> out = split(stream, &bytewise);
  EXPECT_TRUE(feed_all(stream, &runs) == out) << testing::PrintToString(stream);
  return out;
}

struct TableFrame {
  Bytes request;
  bool leading_flag;
  Bytes wire;
};

// The frames the library sends for its own requests, as they appear on the wire.
const std::vector<TableFrame>& library_frames() {
  static const std::vector<TableFrame> frames = {
      {{0x06}, true, {0x7E, 0x06, 0x4E, 0x95, 0x7E}},
      {{0x3A}, false, {0x3A, 0xA1, 0x6E, 0x7E}},
      {{0x29, 0x01, 0x00}, false, {0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}},
      {{0x29, 0x02, 0x00}, false, {0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E}},
      {{0x0A}, true, {0x7E, 0x0A, 0x22, 0x5F, 0x7E}},
      {{0x0B}, true, {0x7E, 0x0B, 0xAB, 0x4E, 0x7E}},
      {{0x4B, 0xFA, 0x00, 0x00}, false, {0x4B, 0xFA, 0x00, 0x00, 0x32, 0xD5, 0x7E}},
      {{0x30}, false, {0x7D, 0x10, 0xFB, 0xC1, 0x7E}},
  };
  return frames;
}

TEST(HdlcCrc, CheckValueAndResidue) {
  const std::string check = "123456789";
  const auto* data = reinterpret_cast<const uint8_t*>(check.data());
  EXPECT_EQ(fcs_of(data, check.size()), 0x906E);
  // Appending the FCS, low byte first, yields the good-frame residue.
  Bytes body(data, data + check.size());
  body.push_back(0x6E);
  body.push_back(0x90);
  EXPECT_EQ(crc_of(body.data(), body.size()), kGoodResidue);
  EXPECT_EQ(kCrcTable[0], 0x0000);
  EXPECT_EQ(kCrcTable[1], 0x1189);
  EXPECT_EQ(kCrcTable[255], 0x0F78);
}

TEST(HdlcEncode, LibraryFramesAreByteExact) {
  for (const auto& f : library_frames()) {
    SCOPED_TRACE(testing::PrintToString(f.request));
    EXPECT_EQ(encode(f.request, f.leading_flag), f.wire);
  }
}

TEST(HdlcEncode, EscapesControlBytesAndZeroChar) {
  // Each escaped byte becomes 7D, byte ^ 20; the FCS follows, itself escaped when needed.
  Bytes frame = encode({0x7E, 0x7D, 0x30, 0x31}, false);
  ASSERT_GE(frame.size(), 7u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 7),
            (Bytes{0x7D, 0x5E, 0x7D, 0x5D, 0x7D, 0x10, 0x31}));
  EXPECT_EQ(frame.back(), kFlag);
  // Without the 0x30 quirk, as a real modem sends, '0' goes out unescaped.
  Bytes plain = encode({0x30}, false, /*escape_0x30=*/false);
  EXPECT_EQ(plain, (Bytes{0x30, 0xFB, 0xC1, 0x7E}));
}

TEST(HdlcEncode, EscapesFcsBytes) {
  // Search a one-byte payload whose FCS holds a control byte; its escape must show on the wire.
  for (int b = 0; b < 256; ++b) {
    const uint8_t byte = static_cast<uint8_t>(b);
    const uint16_t fcs = fcs_of(&byte, 1);
    const uint8_t lo = fcs & 0xFF, hi = fcs >> 8;
    if (!needs_escape(lo, true) && !needs_escape(hi, true)) continue;
    Bytes frame = encode({byte}, false);
    size_t expected = 1 + (needs_escape(byte, true) ? 1 : 0) + 2 +
                      (needs_escape(lo, true) ? 1 : 0) + (needs_escape(hi, true) ? 1 : 0) + 1;
    EXPECT_EQ(frame.size(), expected) << "byte " << b;
    auto out = split(frame);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].event, Event::kFrame);
    EXPECT_EQ(out[0].payload, Bytes{byte});
  }
}

TEST(HdlcEncode, WorstCaseFitsMaxSizeAndSmallBufferGivesZero) {
  const Bytes all_escaped(133, 0x7E);
  Bytes out(max_encoded_size(all_escaped.size()));
  const size_t n =
      encode_frame(all_escaped.data(), all_escaped.size(), true, out.data(), out.size());
  ASSERT_GT(n, 0u);
  EXPECT_LE(n, max_encoded_size(133));
  EXPECT_EQ(max_encoded_size(133), 272u);
  // Every capacity short of the frame length is refused, never overrun.
  const Bytes req = {0x4B, 0xFA, 0x00, 0x00};
  const size_t full = encode(req, true).size();
  for (size_t cap = 0; cap < full; ++cap) {
    Bytes small(cap + 8, 0xEE);
    EXPECT_EQ(encode_frame(req.data(), req.size(), true, small.data(), cap), 0u) << cap;
    for (size_t i = cap; i < small.size(); ++i) ASSERT_EQ(small[i], 0xEE) << "overrun at " << i;
  }
  Bytes exact(full);
  EXPECT_EQ(encode_frame(req.data(), req.size(), true, exact.data(), exact.size()), full);
  EXPECT_EQ(max_encoded_size(SIZE_MAX), SIZE_MAX);
}

TEST(HdlcSplit, DecodesEveryLibraryFrame) {
  for (const auto& f : library_frames()) {
    SCOPED_TRACE(testing::PrintToString(f.request));
    auto out = split(f.wire);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].event, Event::kFrame);
    EXPECT_EQ(out[0].payload, f.request);
  }
}

TEST(HdlcSplit, EscapedZeroCharReadsBack) {
  auto out = split({0x7D, 0x10, 0xFB, 0xC1, 0x7E});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].payload, Bytes{0x30});
}

TEST(HdlcSplit, ShortFrames) {
  // 00 00 is the FCS of an empty payload: a good frame of length 0.
  auto empty = split({0x7E, 0x00, 0x00, 0x7E});
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].event, Event::kFrame);
  EXPECT_EQ(empty[0].length, 0u);
  // One byte never passes; two non-zero bytes fail; both are early ends.
  auto one = split({0x00, 0x7E});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].event, Event::kBadFrame);
  EXPECT_EQ(one[0].tag, "EARLY_END");
  EXPECT_EQ(one[0].length, 1u);
  auto two = split({0x12, 0x34, 0x7E});
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(two[0].tag, "EARLY_END");
  EXPECT_EQ(two[0].length, 2u);
  // Flags alone only separate.
  EXPECT_TRUE(split({0x7E, 0x7E, 0x7E}).empty());
}

TEST(HdlcSplit, GarbageBeforeFrameIsDroppedThenFrameReturned) {
  Bytes stream = {'A', 'T', '\r', 'O', 'K', '\r', '\n'};  // an AT echo
  Bytes frame = encode({0x0B}, true);
  stream.insert(stream.end(), frame.begin(), frame.end());
  auto out = split(stream);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].event, Event::kBadFrame);
  EXPECT_EQ(out[0].tag, "FCS_ERR");
  EXPECT_EQ(out[0].length, 7u);
  EXPECT_EQ(out[1].event, Event::kFrame);
  EXPECT_EQ(out[1].payload, Bytes{0x0B});
}

TEST(HdlcSplit, BackToBackFramesStopAtFirstWithFeed) {
  Bytes stream = encode({0x29, 0x01, 0x00}, true);
  Bytes second = encode({0x7E, 0x30, 0x7D, 0x01}, false);
  stream.insert(stream.end(), second.begin(), second.end());
  FrameSplitter splitter;
  Event e;
  size_t taken = splitter.feed(stream.data(), stream.size(), &e);
  EXPECT_EQ(e, Event::kFrame);
  EXPECT_EQ(taken, encode({0x29, 0x01, 0x00}, true).size());
  EXPECT_EQ(Bytes(splitter.payload(), splitter.payload() + splitter.payload_length()),
            (Bytes{0x29, 0x01, 0x00}));
  // The rest of the stream yields the second frame; the first one's bytes do not leak in.
  size_t rest = splitter.feed(stream.data() + taken, stream.size() - taken, &e);
  EXPECT_EQ(taken + rest, stream.size());
  EXPECT_EQ(e, Event::kFrame);
  EXPECT_EQ(Bytes(splitter.payload(), splitter.payload() + splitter.payload_length()),
            (Bytes{0x7E, 0x30, 0x7D, 0x01}));
}

TEST(HdlcSplit, FlagRightAfterEscapeEndsFrameAndClearsEscape) {
  // 06 4E 7D 7E: the flag ends the frame despite the escape (bad FCS), and the next frame's
  // first byte is not XORed.
  Bytes stream = {0x06, 0x4E, 0x7D, 0x7E};
  Bytes good = encode({0x06}, false);
  stream.insert(stream.end(), good.begin(), good.end());
  auto out = split(stream);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].event, Event::kBadFrame);
  EXPECT_EQ(out[0].tag, "EARLY_END");
  EXPECT_EQ(out[0].length, 2u);
  EXPECT_EQ(out[1].event, Event::kFrame);
  EXPECT_EQ(out[1].payload, Bytes{0x06});
}

TEST(HdlcSplit, ResetFrameDropsPartialFrameAndZeroFills) {
  FrameSplitter splitter;
  Bytes frame = encode({0x0A, 0x0B, 0x0C}, false);
  for (size_t i = 0; i + 2 < frame.size(); ++i) splitter.push(frame[i]);
  splitter.push(kEscape);
  ASSERT_GT(splitter.frame_length(), 0u);
  splitter.reset_frame();
  EXPECT_EQ(splitter.frame_length(), 0u);
  ASSERT_EQ(splitter.capacity(), FrameSplitter::kInitialCapacity);
  for (size_t i = 0; i < splitter.capacity(); ++i) ASSERT_EQ(splitter.frame_data()[i], 0);
  // Escape state was dropped too: a plain frame now decodes intact.
  auto out = split(encode({0x0A}, false), &splitter);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].payload, Bytes{0x0A});
}

TEST(HdlcSplit, BufferDoublesAndHoldsLongFrames) {
  Bytes req(700);
  for (size_t i = 0; i < req.size(); ++i) req[i] = static_cast<uint8_t>(i * 7);
  FrameSplitter splitter;
  auto out = split(encode(req, true), &splitter);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].payload, req);
  EXPECT_EQ(splitter.capacity(), 1024u);  // 702 bytes held: 256, 512, 1024
  // The bound is reached exactly, not overshot, when it is not a power of two.
  FrameSplitter bounded(600);
  Bytes stream(700, 0x55);
  stream.push_back(kFlag);
  out = split(stream, &bounded);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].event, Event::kOverflow);
  EXPECT_EQ(out[0].length, 600u);
  EXPECT_EQ(bounded.capacity(), 600u);
}

TEST(HdlcSplit, OverlongFrameIsDroppedUntilNextFlag) {
  FrameSplitter splitter(512);
  Bytes stream(600, 0x55);
  stream.push_back(kFlag);
  Bytes good = encode({0x26, 0x01}, false);
  stream.insert(stream.end(), good.begin(), good.end());
  auto out = split(stream, &splitter);
  FrameSplitter runs(512);
  EXPECT_TRUE(feed_all(stream, &runs) == out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].event, Event::kOverflow);
  EXPECT_EQ(out[0].length, 512u);
  EXPECT_EQ(out[1].event, Event::kFrame);
  EXPECT_EQ(out[1].payload, (Bytes{0x26, 0x01}));
  EXPECT_LE(splitter.capacity(), 512u);
}

// The CRC against a bit-at-a-time reference, over every length around the eight-byte blocks
// and every alignment of the data.
TEST(HdlcCrc, BlocksAndTailsMatchBitwiseReference) {
  auto bitwise = [](const uint8_t* p, size_t n) {
    uint16_t crc = kInitialCrc;
    for (size_t i = 0; i < n; ++i) {
      crc ^= p[i];
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc;
  };
  Bytes data(64);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 167 + 13);
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t n = 0; offset + n <= data.size(); ++n) {
      ASSERT_EQ(crc_of(data.data() + offset, n), bitwise(data.data() + offset, n))
          << "offset " << offset << " length " << n;
    }
  }
}

// Special bytes at every position of payloads up to three words long, so that runs end at
// every offset within a word and straddle word boundaries: each frame reads back, and a
// flipped bit anywhere in it is rejected.
TEST(HdlcSplit, EscapesAtEveryWordOffsetReadBackAndResistCorruption) {
  for (uint8_t special : {kFlag, kEscape, kZeroChar, uint8_t{0x5E}}) {
    for (size_t n = 1; n <= 24; ++n) {
      for (size_t at = 0; at < n; ++at) {
        Bytes req(n);
        for (size_t i = 0; i < n; ++i) req[i] = static_cast<uint8_t>(0x41 + i);
        req[at] = special;
        const Bytes wire = encode(req, true);
        auto out = split(wire);
        ASSERT_EQ(out.size(), 1u) << n << " " << at;
        ASSERT_EQ(out[0].payload, req) << n << " " << at;
        for (size_t pos = 1; pos + 1 < wire.size(); ++pos) {
          Bytes bad = wire;
          bad[pos] ^= static_cast<uint8_t>(1u << (pos % 8));
          for (const auto& o : split(bad)) EXPECT_NE(o.event, Event::kFrame) << n << " " << pos;
        }
      }
    }
  }
}

// Corruption of a wire frame, in the manner of a log-format test: every single-bit flip,
// every dropped byte and a duplicated flag.
class HdlcCorruption : public testing::TestWithParam<size_t> {};

TEST_P(HdlcCorruption, EveryBitFlipIsRejected) {
  const auto& f = library_frames()[GetParam()];
  const Bytes wire = encode(f.request, true);
  for (size_t pos = 0; pos < wire.size(); ++pos) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes bad = wire;
      bad[pos] ^= static_cast<uint8_t>(1u << bit);
      for (const auto& o : split(bad)) {
        // A flipped byte may split the frame or end it early; no piece may pass as the
        // original request, nor as anything else with a good FCS but different bytes.
        if (o.event == Event::kFrame) {
          ADD_FAILURE() << "pos " << pos << " bit " << bit << " accepted "
                        << testing::PrintToString(o.payload);
        }
      }
    }
  }
}

TEST_P(HdlcCorruption, DroppedByteIsRejected) {
  const auto& f = library_frames()[GetParam()];
  const Bytes wire = encode(f.request, false);
  // Dropping the closing flag leaves no frame at all; every other drop must fail the check.
  for (size_t pos = 0; pos + 1 < wire.size(); ++pos) {
    Bytes bad = wire;
    bad.erase(bad.begin() + static_cast<std::ptrdiff_t>(pos));
    auto out = split(bad);
    ASSERT_EQ(out.size(), 1u) << pos;
    EXPECT_EQ(out[0].event, Event::kBadFrame) << pos;
  }
}

TEST_P(HdlcCorruption, DuplicatedFlagsOnlySeparate) {
  const auto& f = library_frames()[GetParam()];
  Bytes wire = encode(f.request, true);
  wire.insert(wire.begin(), kFlag);
  wire.push_back(kFlag);
  auto out = split(wire);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].payload, f.request);
}

INSTANTIATE_TEST_SUITE_P(LibraryFrames, HdlcCorruption, testing::Range<size_t>(0, 8));

}  // namespace
}  // namespace kav::hdlc
