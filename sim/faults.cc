#include "sim/faults.h"

#include <algorithm>
#include <string>

#include "lib/transport/diag_packets.h"
#include "lib/transport/hdlc.h"
#include "sim/diag_task.h"

namespace kav::sim {

namespace {

// An NV read answer for another item, as if left over from an earlier exchange.
std::vector<uint8_t> stale_nv_answer(const std::vector<uint8_t>& request) {
  NvItemPacket packet{};
  packet.cmd_code = diag::kCmdNvRead;
  packet.item = 0x7FFF;
  if (request.size() >= 3 && request[0] == diag::kCmdNvRead) {
    packet.item = static_cast<uint16_t>((request[1] | (request[2] << 8)) ^ 0x0101);
  }
  packet.data[0] = 0x5A;
  const auto* raw = reinterpret_cast<const uint8_t*>(&packet);
  return {raw, raw + sizeof packet};
}

// A late answer to an earlier request: for a subsystem request, another command of the same
// subsystem (so only the full four-byte header tells it apart); otherwise an NV read of
// another item.
std::vector<uint8_t> stale_answer(const std::vector<uint8_t>& request) {
  if (request.size() < 4 || request[0] != diag::kCmdSubsystem) return stale_nv_answer(request);
  std::vector<uint8_t> answer(request.begin(), request.begin() + 4);
  answer[2] = static_cast<uint8_t>(answer[2] + 1);
  answer.resize(8, 0);
  return answer;
}

// The NV answer for the next element of the same array item, its value bytes spoilt.
std::vector<uint8_t> other_element_answer(const std::vector<uint8_t>& answer) {
  std::vector<uint8_t> other = answer;
  if (other.size() < sizeof(NvItemPacket)) return other;
  const size_t data = offsetof(NvItemPacket, data);
  other[data] = static_cast<uint8_t>(other[data] + 1);
  for (size_t i = data + 1; i < data + 128; ++i) other[i] ^= 0xA5;
  return other;
}

// A DIAG log packet (command 0x10) the host did not ask for.
std::vector<uint8_t> unrelated_log_packet() {
  return {0x10, 0x00, 0x12, 0x00, 0x12, 0x00, 0x7E, 0x7D, 0x30, 0x10,
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02};
}

std::vector<uint8_t> escape_everything(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> body = payload;
  const uint16_t fcs = hdlc::fcs_of(payload.data(), payload.size());
  body.push_back(static_cast<uint8_t>(fcs));
  body.push_back(static_cast<uint8_t>(fcs >> 8));
  std::vector<uint8_t> out;
  for (uint8_t byte : body) {
    out.push_back(hdlc::kEscape);
    out.push_back(static_cast<uint8_t>(byte ^ hdlc::kEscapeXor));
  }
  out.push_back(hdlc::kFlag);
  return out;
}

// The frame with its FCS spoilt: the last byte before the closing flag changed, escaped again
// if the change made it a special byte.
std::vector<uint8_t> spoil_fcs(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> body = payload;
  const uint16_t fcs = hdlc::fcs_of(payload.data(), payload.size()) ^ 0x5555;
  body.push_back(static_cast<uint8_t>(fcs));
  body.push_back(static_cast<uint8_t>(fcs >> 8));
  std::vector<uint8_t> out;
  for (uint8_t byte : body) {
    if (hdlc::needs_escape(byte, false)) {
      out.push_back(hdlc::kEscape);
      byte ^= hdlc::kEscapeXor;
    }
    out.push_back(byte);
  }
  out.push_back(hdlc::kFlag);
  return out;
}

std::vector<WriteStep> plain(const std::vector<std::vector<uint8_t>>& answers, int pause_ms) {
  std::vector<WriteStep> steps;
  for (const auto& answer : answers) steps.push_back({pause_ms, frame_answer(answer)});
  return steps;
}

std::vector<WriteStep> replaced(uint8_t code, const std::vector<uint8_t>& request) {
  return {{0, frame_answer(error_reply(code, request))}};
}

}  // namespace

void FaultQueue::add(const FaultSpec& fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
}

void FaultQueue::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

size_t FaultQueue::pending() const {
  std::lock_guard lock(mutex_);
  return faults_.size();
}

std::optional<FaultSpec> FaultQueue::take(uint8_t command) {
  std::lock_guard lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->command >= 0 && it->command != command) continue;
    const FaultSpec fault = *it;
    if (it->count > 0 && --it->count == 0) faults_.erase(it);
    return fault;
  }
  return std::nullopt;
}

std::vector<uint8_t> frame_answer(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out(hdlc::max_encoded_size(payload.size()));
  const size_t n =
      hdlc::encode_frame(payload.data(), payload.size(), false, out.data(), out.size(), false);
  out.resize(n);
  return out;
}

std::vector<WriteStep> plan_answer(const std::vector<uint8_t>& request,
                                   const std::vector<std::vector<uint8_t>>& answers,
                                   const std::optional<FaultSpec>& fault) {
  if (!fault) return plain(answers, 0);
  switch (fault->kind) {
    case FaultKind::NoAnswer:
    case FaultKind::Unplug:
      return {};
    case FaultKind::Delay:
      return plain(answers, fault->delay_ms);
    case FaultKind::StaleFirst: {
      std::vector<WriteStep> steps = {{0, frame_answer(stale_answer(request))},
                                      {0, frame_answer(unrelated_log_packet())}};
      for (auto& step : plain(answers, 0)) steps.push_back(std::move(step));
      return steps;
    }
    case FaultKind::StaleIndex: {
      std::vector<WriteStep> steps;
      for (const auto& answer : answers)
        steps.push_back({0, frame_answer(other_element_answer(answer))});
      for (auto& step : plain(answers, 0)) steps.push_back(std::move(step));
      return steps;
    }
    case FaultKind::Garbage: {
      // Junk ended by a flag, as when an AT echo precedes the frame: the host's splitter
      // takes it for a frame with a bad FCS and drops it.
      const std::string junk = "\r\nOK\r\n\x01\x02garbage\x7e";
      std::vector<WriteStep> steps = {{0, {junk.begin(), junk.end()}}};
      for (auto& step : plain(answers, 0)) steps.push_back(std::move(step));
      return steps;
    }
    case FaultKind::BadFcs: {
      std::vector<WriteStep> steps;
      for (const auto& answer : answers) steps.push_back({0, spoil_fcs(answer)});
      return steps;
    }
    case FaultKind::Split: {
      std::vector<WriteStep> steps;
      for (const auto& answer : answers) {
        const std::vector<uint8_t> frame = frame_answer(answer);
        const auto half = frame.begin() + static_cast<long>(frame.size() / 2);
        steps.push_back({0, {frame.begin(), half}});
        steps.push_back({fault->delay_ms, {half, frame.end()}});
      }
      return steps;
    }
    case FaultKind::EscapeAll: {
      std::vector<WriteStep> steps;
      for (const auto& answer : answers) steps.push_back({0, escape_everything(answer)});
      return steps;
    }
    case FaultKind::BadLength:
      return replaced(diag::kCmdBadLength, request);
    case FaultKind::SecurityLocked:
      return replaced(diag::kCmdSecurityLocked, request);
    case FaultKind::BadCommand:
      return replaced(diag::kCmdBadCommand, request);
    case FaultKind::Truncate: {
      std::vector<std::vector<uint8_t>> cut = answers;
      for (auto& answer : cut)
        answer.resize(std::min(answer.size(), static_cast<size_t>(fault->length)));
      return plain(cut, 0);
    }
  }
  return {};
}

}  // namespace kav::sim
