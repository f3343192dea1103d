// Feeds arbitrary byte streams to the HDLC receive splitter. Beyond memory safety it checks
// what the splitter promises: every frame reported good re-checks with the good-FCS residue,
// re-encodes to a frame that splits back to the same payload, and lengths stay in bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lib/transport/hdlc.h"

namespace {

using kav::hdlc::FrameSplitter;

void check(bool condition) {
  if (!condition) std::abort();
}

void check_good_frame(const FrameSplitter& splitter) {
  const size_t length = splitter.frame_length();
  check(length >= kav::hdlc::kFcsSize && length <= splitter.capacity());
  check(kav::hdlc::crc_of(splitter.frame_data(), length) == kav::hdlc::kGoodResidue);
  const size_t payload = splitter.payload_length();
  check(payload == length - kav::hdlc::kFcsSize);

  // Round trip: encoding the payload again must reproduce the same frame bytes.
  std::vector<uint8_t> wire(kav::hdlc::max_encoded_size(payload));
  const size_t n = kav::hdlc::encode_frame(splitter.payload(), payload, true, wire.data(),
                                           wire.size(), (payload & 1) != 0);
  check(n > 0 && n <= wire.size());
  FrameSplitter again;
  FrameSplitter::Event event;
  const size_t taken = again.feed(wire.data(), n, &event);
  check(taken == n && event == FrameSplitter::Event::kFrame);
  check(again.frame_length() == length);
  for (size_t i = 0; i < length; ++i) check(again.frame_data()[i] == splitter.frame_data()[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A small frame bound exercises the overflow path as well as growth.
  const size_t bound = size > 0 && (data[0] & 1) ? 512 : FrameSplitter::kDefaultMaxFrame;
  FrameSplitter splitter(bound);
  size_t pos = 0;
  while (pos < size) {
    FrameSplitter::Event event;
    const size_t taken = splitter.feed(data + pos, size - pos, &event);
    check(taken > 0 && taken <= size - pos);
    pos += taken;
    switch (event) {
      case FrameSplitter::Event::kFrame:
        check_good_frame(splitter);
        break;
      case FrameSplitter::Event::kBadFrame:
        check(splitter.frame_length() > 0);
        check(splitter.frame_length() <= splitter.capacity());
        break;
      case FrameSplitter::Event::kOverflow:
        // Only a full buffer at its bound (or a failed allocation below it) overflows.
        check(splitter.capacity() <= bound && splitter.frame_length() == splitter.capacity());
        break;
      case FrameSplitter::Event::kNone:
        check(pos == size);
        break;
    }
    // Occasionally start over as a new receive call would.
    if (pos < size && data[pos] == 0xA5) splitter.reset_frame();
  }
  return 0;
}
