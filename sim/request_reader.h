// Splits the bytes the host writes to a DM port into what the modem reacts to: raw AT command
// lines (an optional 0xFF, "AT...", ended by CR or LF) and HDLC frames. An AT line is
// recognised only where a frame could begin (at the start or after a 0x7E); the 0x7E that
// usually follows it, and the keep-awake flag bytes, only separate frames. Bytes may arrive in
// any pieces.
//
// Threading: one thread feeds a reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/transport/hdlc.h"

namespace kav::sim {

struct HostMessage {
  enum class Kind { Frame, AtLine, BadFrame } kind;
  std::vector<uint8_t> bytes;  // the frame's payload, or the AT line without CR/LF
};

class RequestReader {
 public:
  // Takes received bytes; returns the messages they complete, in order.
  std::vector<HostMessage> feed(const uint8_t* bytes, size_t count);

 private:
  void take(uint8_t byte, std::vector<HostMessage>* out);
  void push_frame_byte(uint8_t byte, std::vector<HostMessage>* out);

  // AfterAt: the rest of an AT line's line end (CR LF) is swallowed.
  enum class State { FrameStart, AfterAt, InFrame, SawFF, SawA, InAt };
  static constexpr size_t kMaxAtLine = 512;

  hdlc::FrameSplitter splitter_;
  State state_ = State::FrameStart;
  std::string at_line_;
  std::vector<uint8_t> held_;  // bytes held back while deciding whether an AT line begins
};

}  // namespace kav::sim
