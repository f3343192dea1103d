#include "sim/diag_task.h"

#include <algorithm>
#include <cstring>

#include "lib/transport/diag_packets.h"

namespace kav::sim {

namespace {

constexpr uint8_t kSubsystemMain = 250;
constexpr uint8_t kSubsystemAlternate = 50;
constexpr uint8_t kSubsystemOpenZumi = 0xFE;
constexpr uint16_t kOpenZumiCommand = 0xAA;
constexpr uint8_t kDlAck = 0x02;
constexpr uint8_t kDlNak = 0x03;
constexpr uint8_t kDlReset = 0x0A;
constexpr uint8_t kStreamingReset = 0x0B;
constexpr uint8_t kStreamingError = 0x0D;
constexpr size_t kStatusRecordSize = 181;
constexpr uint16_t kControlOffline = 1;
constexpr uint16_t kControlReset = 2;

uint16_t le16(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

void put_text(std::vector<uint8_t>* record, size_t offset, size_t size, const std::string& text) {
  const size_t n = std::min(text.size(), size - 1);  // always zero-terminated
  std::memcpy(record->data() + offset, text.data(), n);
}

// The IMEI as a mobile identity: length 8, type 0xA with the first digit, then digit pairs
// low half first, at offsets 89 to 99.
void put_imei(std::vector<uint8_t>* record, const std::string& imei) {
  if (imei.size() != 15) return;
  auto digit = [&](size_t i) { return static_cast<uint8_t>((imei[i] - '0') & 0x0F); };
  (*record)[91] = 8;
  (*record)[92] = static_cast<uint8_t>(0x0A | (digit(0) << 4));
  for (size_t i = 0; i < 7; ++i) {
    (*record)[93 + i] = static_cast<uint8_t>(digit(1 + 2 * i) | (digit(2 + 2 * i) << 4));
  }
}

}  // namespace

std::vector<uint8_t> error_reply(uint8_t code, const std::vector<uint8_t>& request) {
  std::vector<uint8_t> reply(request.size() + 1);
  reply[0] = code;
  std::copy(request.begin(), request.end(), reply.begin() + 1);
  return reply;
}

DiagTask::DiagTask(const ModemConfig& config, NvStore* nv)
    : config_(config), nv_(nv), unreported_left_(config.status.unreported_answers) {
  if (config.start_in_dl) mode_ = ModemMode::DL;
}

ModemMode DiagTask::mode() const {
  std::lock_guard lock(mutex_);
  return mode_;
}

void DiagTask::set_mode(ModemMode mode) {
  std::lock_guard lock(mutex_);
  mode_ = mode;
}

void DiagTask::power_cycle() {
  std::lock_guard lock(mutex_);
  offline_at_.reset();
}

DiagAnswer DiagTask::answer(const uint8_t* request, size_t length) {
  const std::vector<uint8_t> bytes(request, request + length);
  if (bytes.empty()) return {};
  return mode() == ModemMode::DM ? answer_dm(bytes) : answer_dl(bytes);
}

DiagAnswer DiagTask::answer_dm(const std::vector<uint8_t>& request) {
  DiagAnswer out;
  switch (request[0]) {
    case diag::kCmdNvRead:
    case diag::kCmdNvWrite:
      out.payloads.push_back(answer_nv(request));
      return out;
    case diag::kCmdSubsystem:
      out.payloads.push_back(answer_subsystem(request));
      return out;
    case diag::kCmdControl:
      if (request.size() < 3) break;
      out.payloads.push_back(request);
      if (le16(request, 1) == kControlOffline) {
        std::lock_guard lock(mutex_);
        offline_at_ =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(config_.offline_delay_ms);
      } else if (le16(request, 1) == kControlReset) {
        out.after = AfterAnswer::ResetToDm;
      }
      return out;
    case diag::kCmdDownload:
      out.payloads.push_back(request);
      if (config_.download_reenumerates) {
        out.after = AfterAnswer::DownloadReenumerate;
      } else {
        set_mode(ModemMode::DL);
      }
      return out;
    default:
      break;
  }
  // The probe 06 lands here too: the DIAG task does not know it and says so with 13 06.
  out.payloads.push_back(error_reply(diag::kCmdBadCommand, request));
  return out;
}

DiagAnswer DiagTask::answer_dl(const std::vector<uint8_t>& request) {
  DiagAnswer out;
  const bool streaming = config_.downloader == Downloader::Streaming;
  switch (request[0]) {
    case diag::kCmdVersionProbe:
      out.payloads.push_back({streaming ? kStreamingError : kDlAck});
      return out;
    case kDlReset:
    case kStreamingReset:
      out.payloads.push_back({kDlAck});
      out.after = AfterAnswer::ResetToDm;
      return out;
    default:
      // A downloader refuses what it does not know: NAK (invalid command), or the streaming
      // downloader's error reply.
      out.payloads.push_back({streaming ? kStreamingError : kDlNak, 0x00, 0x07});
      return out;
  }
}

std::vector<uint8_t> DiagTask::answer_nv(const std::vector<uint8_t>& request) {
  if (request.size() < 3) return error_reply(diag::kCmdBadLength, request);
  NvItemPacket packet{};
  std::memcpy(&packet, request.data(), std::min(request.size(), sizeof packet));
  const uint16_t id = packet.item;
  const bool array = config_.array_items.count(id) != 0;
  const uint8_t index = array ? packet.data[0] : 0;
  const auto fixed_status = config_.nv_status.find(id);
  if (fixed_status != config_.nv_status.end()) {
    std::memset(packet.data, 0, sizeof packet.data);
    if (array) packet.data[0] = index;
    packet.nv_stat = fixed_status->second;
  } else if (packet.cmd_code == diag::kCmdNvRead) {
    const auto value = nv_->read(id, index);
    std::memset(packet.data, 0, sizeof packet.data);
    if (value) std::memcpy(packet.data, value->data(), value->size());
    if (array) packet.data[0] = index;
    packet.nv_stat = value ? diag::kNvDone : diag::kNvInactive;
  } else if (config_.read_only_items.count(id)) {
    packet.nv_stat = diag::kNvReadOnly;
  } else {
    NvValue value{};
    const auto size = config_.item_sizes.find(id);
    std::memcpy(
        value.data(), packet.data,
        size == config_.item_sizes.end() ? value.size() : std::min(size->second, value.size()));
    // A write that did not reach the store's file failed, as a modem's NV_FAIL_S says.
    packet.nv_stat = nv_->write(id, index, value) ? diag::kNvDone : diag::kNvFail;
  }
  const auto* raw = reinterpret_cast<const uint8_t*>(&packet);
  return std::vector<uint8_t>(raw, raw + sizeof packet);
}

std::vector<uint8_t> DiagTask::answer_subsystem(const std::vector<uint8_t>& request) {
  if (request.size() < 4) return error_reply(diag::kCmdBadLength, request);
  const uint8_t subsystem = request[1];
  const uint16_t command = le16(request, 2);
  if (subsystem == kSubsystemOpenZumi && command == kOpenZumiCommand) {
    return answer_openzumi(request);
  }
  const bool status_main =
      subsystem == kSubsystemMain && config_.status_subsystem == StatusSubsystem::Main;
  const bool status_alternate =
      subsystem == kSubsystemAlternate && config_.status_subsystem == StatusSubsystem::Alternate;
  if (command == 0 && (status_main || status_alternate)) return status_record(subsystem);
  return error_reply(diag::kCmdBadCommand, request);
}

std::vector<uint8_t> DiagTask::answer_openzumi(const std::vector<uint8_t>& request) const {
  std::vector<uint8_t> out(request.begin(), request.begin() + 4);
  const uint32_t status = static_cast<uint32_t>(config_.openzumi_status);
  const size_t text_length = std::min<size_t>(config_.openzumi_text.size(), 64);
  const size_t stated_length =
      config_.openzumi_length < 0 ? text_length : static_cast<size_t>(config_.openzumi_length);
  switch (config_.openzumi_layout) {
    case OpenZumiLayout::BadCommand:
      return error_reply(diag::kCmdBadCommand, request);
    case OpenZumiLayout::Echo8:
      out.resize(8, 0);
      return out;
    case OpenZumiLayout::Long74:
    case OpenZumiLayout::Short73:
      break;
  }
  const bool long_form = config_.openzumi_layout == OpenZumiLayout::Long74;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(status >> shift));
  out.push_back(static_cast<uint8_t>(stated_length));
  if (long_form) out.push_back(static_cast<uint8_t>(stated_length >> 8));
  const size_t text_at = out.size();
  out.resize(text_at + 64, 0);
  std::memcpy(out.data() + text_at, config_.openzumi_text.data(), text_length);
  return out;
}

uint8_t DiagTask::operating_mode_locked() {
  if (unreported_left_ > 0) {
    --unreported_left_;
    return 0xFF;
  }
  if (offline_at_ && std::chrono::steady_clock::now() >= *offline_at_) {
    return config_.status.offline_mode;
  }
  return config_.status.online_mode;
}

std::vector<uint8_t> DiagTask::status_record(uint8_t subsystem) {
  std::vector<uint8_t> record(kStatusRecordSize, 0);
  record[0] = diag::kCmdSubsystem;
  record[1] = subsystem;
  record[4] = config_.status.layout_version;
  {
    std::lock_guard lock(mutex_);
    record[5] = operating_mode_locked();
  }
  put_text(&record, 9, 80, config_.status.firmware);
  put_imei(&record, config_.status.imei);
  put_text(&record, 100, 32, config_.status.model);
  put_text(&record, 132, 16, config_.status.hw_rev);
  put_text(&record, 149, 32, config_.status.second_model);
  const int length = config_.status.record_length;
  if (length > 0 && static_cast<size_t>(length) < record.size()) record.resize(length);
  return record;
}

std::optional<std::string> DiagTask::answer_at(const std::string& line) const {
  std::string upper;
  for (char c : line) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "AT$ZQDMAT=0") {
    switch (config_.zqdmat_answer) {
      case AtAnswer::Ok:
        return "\r\nOK\r\n";
      case AtAnswer::Error:
        return "\r\nERROR\r\n";
      case AtAnswer::Silent:
        return std::nullopt;
    }
  }
  return "\r\nOK\r\n";  // AT$QCDMG and anything else
}

}  // namespace kav::sim
