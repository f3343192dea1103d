// The receive buffers of the DM transport: a 2048-byte ring that port reads fill, and the HDLC
// splitter that takes bytes out of it and collects the frame being received. No port access:
// ZqUmtsKavResponseDMCom (lib/transport/dm_frames.h) reads the port into write_position() and
// calls split(); tests and the fuzz target feed it directly.
//
// Ring invariants: 0 <= read, write < kRingSize; count <= kRingSize; bytes go in at the write
// index and come out at the read index, both wrapping to 0 at kRingSize. read_size() never lets
// one read wrap past the end of the ring.
//
// Threading: none; one receiving thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "lib/transport/hdlc.h"

namespace kav {

class RxAssembler {
 public:
  static constexpr size_t kRingSize = 2048;

  // `max_frame_bytes` bounds one frame's unescaped length; a longer frame is dropped.
  explicit RxAssembler(size_t max_frame_bytes = hdlc::FrameSplitter::kDefaultMaxFrame);
  RxAssembler(const RxAssembler&) = delete;
  RxAssembler& operator=(const RxAssembler&) = delete;

  // Start of a receive call: the frame under construction is dropped (its buffer zero-filled);
  // unprocessed bytes stay in the ring.
  void begin_call() { splitter_.reset_frame(); }

  // How many bytes the next read may put at write_position(): the smaller of the free space
  // and the room before the end of the ring.
  size_t read_size() const;
  uint8_t* write_position() { return ring_.data() + write_; }

  // Accounts for `n` bytes just read into write_position() (n <= read_size()).
  void commit(size_t n);

  // Bytes in the ring not yet split.
  size_t unprocessed() const { return count_; }

  // Takes bytes out of the ring until a frame with a good FCS ends (true: payload() holds it,
  // later bytes stay in the ring) or the ring is empty (false). Bad frames and overlong frames
  // are logged and dropped on the way.
  bool split();

  // Bad and overlong frames dropped so far.
  uint64_t bad_frames() const { return bad_frames_; }

  // The last good frame's payload (FCS not counted); valid until the next begin_call or split.
  const uint8_t* payload() const { return splitter_.payload(); }
  size_t payload_length() const { return splitter_.payload_length(); }

  // Empties the ring and drops the frame (tests).
  void clear();

 private:
  std::array<uint8_t, kRingSize> ring_{};
  size_t read_ = 0;
  size_t write_ = 0;
  size_t count_ = 0;
  uint64_t bad_frames_ = 0;
  hdlc::FrameSplitter splitter_;
};

}  // namespace kav
