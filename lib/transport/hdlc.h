// Asynchronous-HDLC framing of DIAG traffic: the CRC-16/X.25 frame check sequence, the frame
// encoder and the receive splitter. Pure code over byte buffers; no I/O, no global state.
//
// Wire format: [0x7E] body 0x7E, where the body is the payload followed by its FCS (ones'
// complement of the CRC, low byte first), every byte equal to 0x7E or 0x7D (and, as this
// library sends them, 0x30) sent as 0x7D followed by the byte XOR 0x20.
//
// Threading: the free functions are reentrant; one FrameSplitter must be used by one thread at
// a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kav::hdlc {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeXor = 0x20;
// The modem's own DIAG layer treats '0' specially; the library escapes it on transmit too.
constexpr uint8_t kZeroChar = 0x30;

constexpr uint16_t kInitialCrc = 0xFFFF;
// The CRC of a whole received body (payload and FCS) when the frame is intact.
constexpr uint16_t kGoodResidue = 0xF0B8;
// Bytes the frame check sequence adds to a payload.
constexpr size_t kFcsSize = 2;

// The 256-entry table of the reflected polynomial 0x8408 (0x1021 bit-reversed).
constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t value = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1) ? static_cast<uint16_t>((value >> 1) ^ 0x8408) : (value >> 1);
    }
    table[i] = value;
  }
  return table;
}
inline constexpr std::array<uint16_t, 256> kCrcTable = make_crc_table();

constexpr uint16_t crc_update(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFF]);
}

// The CRC of `n` bytes, continuing from `crc`.
uint16_t crc_of(const uint8_t* data, size_t n, uint16_t crc = kInitialCrc);

// The FCS sent after `n` payload bytes (low byte goes first on the wire).
inline uint16_t fcs_of(const uint8_t* data, size_t n) {
  return static_cast<uint16_t>(~crc_of(data, n));
}

// True when `byte` is sent as 0x7D, byte XOR 0x20.
constexpr bool needs_escape(uint8_t byte, bool escape_0x30) {
  return byte == kFlag || byte == kEscape || (escape_0x30 && byte == kZeroChar);
}

// The most bytes encode_frame can produce for an n-byte request: every byte and both FCS
// bytes escaped, plus two flags. Saturates instead of wrapping for absurd n.
size_t max_encoded_size(size_t n);

// Encodes one frame of the `n` bytes at `req` into `out`: a leading 0x7E when `leading_flag`,
// the escaped bytes and FCS, and the closing 0x7E. Returns the frame length, or 0 when it
// does not fit in `out_capacity` (nothing useful is left in `out` then). A real modem does not
// escape 0x30; a simulator of one passes `escape_0x30` false.
size_t encode_frame(const uint8_t* req, size_t n, bool leading_flag, uint8_t* out,
                    size_t out_capacity, bool escape_0x30 = true);

// Splits a received byte stream into frames, one byte at a time, undoing escapes and checking
// each frame's FCS. It holds the unescaped bytes of the frame being collected (payload and
// FCS) in a zero-filled buffer that starts at 256 bytes, doubles as it fills (so a long frame
// costs copies linear in its length) and is never shrunk.
//
// A 0x7E ends a frame (even right after 0x7D, whose escape it cancels); a 0x7E with nothing
// collected only separates frames. After kFrame the payload stays readable until the next
// push() or reset_frame(); the next byte pushed starts a new frame.
class FrameSplitter {
 public:
  enum class Event {
    kNone,      // byte taken, frame not finished
    kFrame,     // a frame with a good FCS ended: payload() / payload_length()
    kBadFrame,  // a frame with a bad FCS ended: bad_frame_tag() / frame_length()
    kOverflow,  // the frame could not be held (too long, or memory exhausted); it is dropped
                // and bytes up to the next 0x7E are discarded
  };

  // The frame buffer's first size; each growth doubles it, up to the bound.
  static constexpr size_t kInitialCapacity = 256;
  // Default bound on one frame's unescaped length; a stream without flags cannot exhaust
  // memory.
  static constexpr size_t kDefaultMaxFrame = 1 << 20;

  explicit FrameSplitter(size_t max_frame_bytes = kDefaultMaxFrame);
  FrameSplitter(const FrameSplitter&) = delete;
  FrameSplitter& operator=(const FrameSplitter&) = delete;

  // Takes one received byte.
  Event push(uint8_t byte);

  // Takes bytes until one of them completes an event other than kNone, or all are taken.
  // Returns the number taken; `*event` gets the event of the last byte taken.
  size_t feed(const uint8_t* bytes, size_t n, Event* event);

  // Drops the frame being collected (and any escape or discard state) and zero-fills the
  // buffer over its whole capacity.
  void reset_frame();

  // The unescaped bytes of the current or just-ended frame (payload then FCS), and their
  // count. After kBadFrame the bytes are already cleared; the length is kept for the log.
  const uint8_t* frame_data() const { return buffer_.get(); }
  size_t frame_length() const { return length_; }

  // After kFrame: the payload (the frame less its FCS). A frame of only 00 00 is a good empty
  // payload.
  const uint8_t* payload() const { return buffer_.get(); }
  size_t payload_length() const { return length_ >= kFcsSize ? length_ - kFcsSize : 0; }

  // After kBadFrame: "EARLY_END" for a frame shorter than 3 bytes, else "FCS_ERR".
  const char* bad_frame_tag() const { return length_ < 3 ? "EARLY_END" : "FCS_ERR"; }

  size_t capacity() const { return capacity_; }

 private:
  Event end_frame();
  bool grow();
  // Appends `n` bytes that are neither flags nor escapes (undoing a pending escape on the
  // first); `*taken` gets the bytes consumed. kOverflow when the frame outgrew its bound.
  Event append_run(const uint8_t* run, size_t n, size_t* taken);
  bool skip_discarded(const uint8_t* bytes, size_t n, size_t* taken);

  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_ = 0;
  size_t max_frame_bytes_;
  size_t length_ = 0;
  uint16_t crc_ = kInitialCrc;
  bool escaped_ = false;
  bool discarding_ = false;  // after kOverflow, until the next flag
  bool ended_ = false;       // the last byte ended a frame; the next one starts afresh
};

}  // namespace kav::hdlc
