#include "sim/request_reader.h"

namespace kav::sim {

namespace {

bool is_a(uint8_t byte) {
  return byte == 'A' || byte == 'a';
}
bool is_t(uint8_t byte) {
  return byte == 'T' || byte == 't';
}
bool ends_line(uint8_t byte) {
  return byte == '\r' || byte == '\n';
}

}  // namespace

std::vector<HostMessage> RequestReader::feed(const uint8_t* bytes, size_t count) {
  std::vector<HostMessage> out;
  for (size_t i = 0; i < count; ++i) take(bytes[i], &out);
  return out;
}

void RequestReader::take(uint8_t byte, std::vector<HostMessage>* out) {
  switch (state_) {
    case State::AfterAt:
      if (ends_line(byte)) return;
      state_ = State::FrameStart;
      [[fallthrough]];
    case State::FrameStart:
      if (byte == 0xFF || is_a(byte)) {
        held_.assign(1, byte);
        state_ = byte == 0xFF ? State::SawFF : State::SawA;
        return;
      }
      break;
    case State::SawFF:
      if (is_a(byte)) {
        held_.push_back(byte);
        state_ = State::SawA;
        return;
      }
      break;
    case State::SawA:
      if (is_t(byte)) {
        at_line_.clear();
        at_line_.push_back(static_cast<char>(held_.back()));
        at_line_.push_back(static_cast<char>(byte));
        held_.clear();
        state_ = State::InAt;
        return;
      }
      break;
    case State::InAt:
      if (ends_line(byte) || byte == hdlc::kFlag) {
        out->push_back({HostMessage::Kind::AtLine, {at_line_.begin(), at_line_.end()}});
        at_line_.clear();
        state_ = byte == hdlc::kFlag ? State::FrameStart : State::AfterAt;
      } else if (at_line_.size() < kMaxAtLine) {
        at_line_.push_back(static_cast<char>(byte));
      }
      return;
    case State::InFrame:
      break;
  }
  // Not (or no longer) an AT line: the held bytes belong to a frame.
  std::vector<uint8_t> pending;
  pending.swap(held_);
  state_ = State::InFrame;
  for (uint8_t held : pending) push_frame_byte(held, out);
  push_frame_byte(byte, out);
}

void RequestReader::push_frame_byte(uint8_t byte, std::vector<HostMessage>* out) {
  switch (splitter_.push(byte)) {
    case hdlc::FrameSplitter::Event::kFrame:
      out->push_back({HostMessage::Kind::Frame,
                      {splitter_.payload(), splitter_.payload() + splitter_.payload_length()}});
      break;
    case hdlc::FrameSplitter::Event::kBadFrame:
    case hdlc::FrameSplitter::Event::kOverflow:
      out->push_back({HostMessage::Kind::BadFrame, {}});
      break;
    case hdlc::FrameSplitter::Event::kNone:
      break;
  }
  if (byte == hdlc::kFlag) state_ = State::FrameStart;
}

}  // namespace kav::sim
