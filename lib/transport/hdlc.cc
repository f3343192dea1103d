#include "lib/transport/hdlc.h"

#include <cstring>
#include <limits>
#include <new>

namespace kav::hdlc {

namespace {

// Appends `byte`, escaped when needed, at out[*pos]. False when it does not fit.
bool put_escaped(uint8_t byte, bool escape_0x30, uint8_t* out, size_t capacity, size_t* pos) {
  if (needs_escape(byte, escape_0x30)) {
    if (capacity - *pos < 2) return false;
    out[(*pos)++] = kEscape;
    out[(*pos)++] = static_cast<uint8_t>(byte ^ kEscapeXor);
    return true;
  }
  if (capacity - *pos < 1) return false;
  out[(*pos)++] = byte;
  return true;
}

}  // namespace

uint16_t crc_of(const uint8_t* data, size_t n, uint16_t crc) {
  for (size_t i = 0; i < n; ++i) crc = crc_update(crc, data[i]);
  return crc;
}

size_t max_encoded_size(size_t n) {
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  if (n > (kMax - 6) / 2) return kMax;
  return 2 * n + 6;
}

size_t encode_frame(const uint8_t* req, size_t n, bool leading_flag, uint8_t* out,
                    size_t out_capacity, bool escape_0x30) {
  if (out == nullptr || (req == nullptr && n > 0)) return 0;
  size_t pos = 0;
  if (leading_flag) {
    if (out_capacity < 1) return 0;
    out[pos++] = kFlag;
  }
  uint16_t crc = kInitialCrc;
  for (size_t i = 0; i < n; ++i) {
    crc = crc_update(crc, req[i]);
    if (!put_escaped(req[i], escape_0x30, out, out_capacity, &pos)) return 0;
  }
  const uint16_t fcs = static_cast<uint16_t>(~crc);
  if (!put_escaped(static_cast<uint8_t>(fcs & 0xFF), escape_0x30, out, out_capacity, &pos) ||
      !put_escaped(static_cast<uint8_t>(fcs >> 8), escape_0x30, out, out_capacity, &pos)) {
    return 0;
  }
  if (out_capacity - pos < 1) return 0;
  out[pos++] = kFlag;
  return pos;
}

FrameSplitter::FrameSplitter(size_t max_frame_bytes) : max_frame_bytes_(max_frame_bytes) {}

void FrameSplitter::reset_frame() {
  if (capacity_ > 0) std::memset(buffer_.get(), 0, capacity_);
  length_ = 0;
  crc_ = kInitialCrc;
  escaped_ = false;
  discarding_ = false;
  ended_ = false;
}

bool FrameSplitter::grow() {
  if (capacity_ >= max_frame_bytes_ || max_frame_bytes_ - capacity_ < kGrowStep) return false;
  const size_t new_capacity = capacity_ + kGrowStep;
  // Value-initialised: the new bytes (and the copied ones, overwritten below) start at zero.
  std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[new_capacity]());
  if (!bigger) return false;
  if (capacity_ > 0) std::memcpy(bigger.get(), buffer_.get(), capacity_);
  buffer_ = std::move(bigger);
  capacity_ = new_capacity;
  return true;
}

FrameSplitter::Event FrameSplitter::end_frame() {
  ended_ = true;
  if (crc_ == kGoodResidue) return Event::kFrame;
  // The bytes of a rejected frame are of no further use; the length stays for the log.
  std::memset(buffer_.get(), 0, capacity_);
  return Event::kBadFrame;
}

FrameSplitter::Event FrameSplitter::push(uint8_t byte) {
  if (ended_) {
    length_ = 0;
    crc_ = kInitialCrc;
    ended_ = false;
  }
  if (byte == kFlag) {
    escaped_ = false;
    if (discarding_) {
      discarding_ = false;
      length_ = 0;
      crc_ = kInitialCrc;
      return Event::kNone;
    }
    return length_ > 0 ? end_frame() : Event::kNone;
  }
  if (discarding_) return Event::kNone;
  if (byte == kEscape) {
    escaped_ = true;
    return Event::kNone;
  }
  if (escaped_) {
    escaped_ = false;
    byte ^= kEscapeXor;
  }
  if (length_ == capacity_ && !grow()) {
    if (capacity_ > 0) std::memset(buffer_.get(), 0, capacity_);
    discarding_ = true;
    return Event::kOverflow;
  }
  buffer_[length_++] = byte;
  crc_ = crc_update(crc_, byte);
  return Event::kNone;
}

size_t FrameSplitter::feed(const uint8_t* bytes, size_t n, Event* event) {
  Event last = Event::kNone;
  size_t taken = 0;
  while (taken < n) {
    last = push(bytes[taken++]);
    if (last != Event::kNone) break;
  }
  if (event != nullptr) *event = last;
  return taken;
}

}  // namespace kav::hdlc
