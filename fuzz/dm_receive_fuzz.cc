// Feeds arbitrary byte streams through the DM receive ring and splitter in read-sized pieces,
// as the receive loop does. Checks: no read ever exceeds the space the ring offers, the ring's
// count stays within bounds, and every frame handed back carries a good FCS.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lib/transport/dm_receive.h"
#include "lib/transport/hdlc.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // First byte: frame bound (small bounds reach the overflow path) and read piece size.
  const size_t bound = (data[0] & 1) ? 300 : kav::hdlc::FrameSplitter::kDefaultMaxFrame;
  const size_t piece = 1 + (data[1] % 97) * 23;
  data += 2;
  size -= 2;
  kav::RxAssembler rx(bound);
  rx.begin_call();
  size_t pos = 0;
  int calls = 0;
  while (pos < size || rx.unprocessed() > 0) {
    const size_t room = rx.read_size();
    check(room <= kav::RxAssembler::kRingSize - rx.unprocessed());
    const size_t n = std::min({room, piece, size - pos});
    if (n > 0) std::memcpy(rx.write_position(), data + pos, n);
    rx.commit(n);
    pos += n;
    check(rx.unprocessed() <= kav::RxAssembler::kRingSize);
    while (rx.split()) {
      const uint8_t* payload = rx.payload();
      const size_t length = rx.payload_length();
      check(payload != nullptr);
      // Payload and FCS together leave the good-FCS residue.
      check(kav::hdlc::crc_of(payload, length + kav::hdlc::kFcsSize) == kav::hdlc::kGoodResidue);
      // A new receive call now and then, as callers make them.
      if ((++calls & 3) == 0) rx.begin_call();
    }
    check(rx.unprocessed() == 0);
  }
  return 0;
}
