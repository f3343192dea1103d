#include "lib/transport/dm_receive.h"

#include <algorithm>
#include <cstdio>

#include "lib/core/messages.h"

namespace kav {

namespace {

using Event = hdlc::FrameSplitter::Event;

int32_t signed_count(size_t n) {
  return static_cast<int32_t>(std::min<size_t>(n, INT32_MAX));
}

}  // namespace

RxAssembler::RxAssembler(size_t max_frame_bytes) : splitter_(max_frame_bytes) {}

size_t RxAssembler::read_size() const {
  return std::min(kRingSize - count_, kRingSize - write_);
}

void RxAssembler::commit(size_t n) {
  n = std::min(n, read_size());  // never more than the read was allowed to deliver
  count_ += n;
  write_ += n;
  if (write_ == kRingSize) write_ = 0;
}

bool RxAssembler::split() {
  while (count_ > 0) {
    // The unprocessed bytes up to the end of the ring, or all of them when they do not wrap.
    const size_t segment = std::min(count_, kRingSize - read_);
    Event event = Event::kNone;
    const size_t taken = splitter_.feed(ring_.data() + read_, segment, &event);
    read_ += taken;
    if (read_ == kRingSize) read_ = 0;
    count_ -= taken;
    switch (event) {
      case Event::kNone:
        break;
      case Event::kFrame: {
        char tag[48];
        std::snprintf(tag, sizeof tag, "RETURN %d byte MESSAGE",
                      signed_count(splitter_.payload_length()));
        comm_log_record(tag, nullptr, 0);
        return true;
      }
      case Event::kBadFrame:
        ++bad_frames_;
        comm_log_record(splitter_.bad_frame_tag(), nullptr,
                        -signed_count(splitter_.frame_length()));
        break;
      case Event::kOverflow:
        // The frame cannot be held: drop it and skip to the next flag, as for a bad frame.
        ++bad_frames_;
        comm_log_record("RX_OVERSIZE", nullptr, -signed_count(splitter_.frame_length()));
        show_msg("ERROR: ZqUmtsKavResponseDMCom: frame longer than %d bytes dropped.\n",
                 signed_count(splitter_.frame_length()));
        break;
    }
  }
  return false;
}

void RxAssembler::clear() {
  read_ = write_ = count_ = 0;
  splitter_.reset_frame();
}

}  // namespace kav
