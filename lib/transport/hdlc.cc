#include "lib/transport/hdlc.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>

namespace kav::hdlc {

namespace {

// ---- CRC, eight bytes at a time ----

// kSliceTables[k][b]: the CRC register after byte b followed by k zero bytes, from a zero
// register. Eight bytes then cost eight independent look-ups instead of eight dependent ones.
using SliceTables = std::array<std::array<uint16_t, 256>, 8>;

constexpr SliceTables make_slice_tables() {
  SliceTables tables{};
  tables[0] = kCrcTable;
  for (size_t k = 1; k < tables.size(); ++k) {
    for (size_t b = 0; b < 256; ++b) {
      const uint16_t previous = tables[k - 1][b];
      tables[k][b] = static_cast<uint16_t>((previous >> 8) ^ kCrcTable[previous & 0xFF]);
    }
  }
  return tables;
}
constexpr SliceTables kSliceTables = make_slice_tables();

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

uint64_t load_word(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

uint16_t crc_of_word(uint16_t crc, uint64_t word) {
  word ^= crc;  // the register meets the first two bytes
  const auto& t = kSliceTables;
  return static_cast<uint16_t>(t[7][word & 0xFF] ^ t[6][(word >> 8) & 0xFF] ^
                               t[5][(word >> 16) & 0xFF] ^ t[4][(word >> 24) & 0xFF] ^
                               t[3][(word >> 32) & 0xFF] ^ t[2][(word >> 40) & 0xFF] ^
                               t[1][(word >> 48) & 0xFF] ^ t[0][word >> 56]);
}

// ---- finding the bytes that break a plain run ----

constexpr uint64_t kLowBits = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;

// Bit 7 is set in the lowest byte of `word` equal to `value` (and perhaps in later bytes, by
// borrow; never in earlier ones), and nowhere when no byte equals it.
constexpr uint64_t bytes_equal(uint64_t word, uint8_t value) {
  const uint64_t x = word ^ (kLowBits * value);
  return (x - kLowBits) & ~x & kHighBits;
}

// The offset of the first byte in `p[0..n)` that is a flag or an escape (or 0x30 with
// `escape_0x30`), or n when there is none: a word at a time, then byte by byte.
size_t plain_run(const uint8_t* p, size_t n, bool escape_0x30) {
  size_t i = 0;
  if constexpr (kLittleEndian) {
    for (; n - i >= 8; i += 8) {
      const uint64_t word = load_word(p + i);
      uint64_t hits = bytes_equal(word, kFlag) | bytes_equal(word, kEscape);
      if (escape_0x30) hits |= bytes_equal(word, kZeroChar);
      if (hits != 0) return i + static_cast<size_t>(std::countr_zero(hits)) / 8;
    }
  }
  while (i < n && !needs_escape(p[i], escape_0x30)) ++i;
  return i;
}

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
  size_t i = 0;
  if constexpr (kLittleEndian) {
    for (; n - i >= 8; i += 8) crc = crc_of_word(crc, load_word(data + i));
  }
  for (; i < n; ++i) crc = crc_update(crc, data[i]);
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
  // Runs of bytes that go out as they are are copied whole; the byte that ends a run is
  // escaped.
  for (size_t i = 0; i < n;) {
    const size_t run = plain_run(req + i, n - i, escape_0x30);
    if (out_capacity - pos < run) return 0;
    if (run > 0) std::memcpy(out + pos, req + i, run);
    pos += run;
    i += run;
    if (i < n && !put_escaped(req[i++], escape_0x30, out, out_capacity, &pos)) return 0;
  }
  const uint16_t fcs = fcs_of(req, n);
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
  if (capacity_ >= max_frame_bytes_) return false;
  const size_t new_capacity = std::min(max_frame_bytes_, std::max(kInitialCapacity, capacity_ * 2));
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

FrameSplitter::Event FrameSplitter::append_run(const uint8_t* run, size_t n, size_t* taken) {
  while (capacity_ - length_ < n && grow()) {
  }
  const size_t fits = std::min(n, capacity_ - length_);
  if (fits > 0) {
    uint8_t* to = buffer_.get() + length_;
    std::memcpy(to, run, fits);
    if (escaped_) to[0] ^= kEscapeXor;
    escaped_ = false;
    crc_ = crc_of(to, fits, crc_);
    length_ += fits;
  }
  if (fits == n) {
    *taken = n;
    return Event::kNone;
  }
  // The byte after the ones that fit cannot be held: the frame is dropped.
  if (capacity_ > 0) std::memset(buffer_.get(), 0, capacity_);
  discarding_ = true;
  *taken = fits + 1;
  return Event::kOverflow;
}

// Skips bytes up to and including the next flag; true when one was found.
bool FrameSplitter::skip_discarded(const uint8_t* bytes, size_t n, size_t* taken) {
  const void* flag = std::memchr(bytes, kFlag, n);
  if (flag == nullptr) {
    *taken = n;
    return false;
  }
  *taken = static_cast<size_t>(static_cast<const uint8_t*>(flag) - bytes) + 1;
  discarding_ = false;
  escaped_ = false;
  length_ = 0;
  crc_ = kInitialCrc;
  return true;
}

FrameSplitter::Event FrameSplitter::push(uint8_t byte) {
  Event event = Event::kNone;
  feed(&byte, 1, &event);
  return event;
}

size_t FrameSplitter::feed(const uint8_t* bytes, size_t n, Event* event) {
  if (ended_ && n > 0) {
    length_ = 0;
    crc_ = kInitialCrc;
    ended_ = false;
  }
  Event last = Event::kNone;
  size_t i = 0;
  while (i < n && last == Event::kNone) {
    size_t taken = 0;
    if (discarding_) {
      skip_discarded(bytes + i, n - i, &taken);
      i += taken;
      continue;
    }
    const size_t run = plain_run(bytes + i, n - i, false);
    if (run > 0) {
      last = append_run(bytes + i, run, &taken);
      i += taken;
      continue;
    }
    // A flag or an escape. 0x7E ends the frame even right after 0x7D.
    const uint8_t byte = bytes[i++];
    escaped_ = byte == kEscape;
    if (byte == kFlag && length_ > 0) last = end_frame();
  }
  if (event != nullptr) *event = last;
  return i;
}

}  // namespace kav::hdlc
