// The maker's status record: asked for on subsystem 250, falling back to 50 on firmware that
// lacks it, and normalised to the newest layout on receipt.
#include <algorithm>
#include <cstring>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/identity/zq_status.h"
#include "lib/platform/clock.h"
#include "lib/transport/response_loop.h"

namespace kav {

namespace {

constexpr int kStatusAttempts = 40;
constexpr int kMaxRejections = 6;
constexpr int32_t kMinRecordLength = 101;  // shorter answers are not status records
constexpr int32_t kDrainBudgetMs = 10;
constexpr uint8_t kModeNotReported = 0xFF;

struct StatusState {
  uint8_t subsystem = diag::kZqStatusSubsystemMain;
  ZqStatusRecord record{};
};

StatusState& state() {
  static StatusState s;
  return s;
}

// One run of get_zq_status.
struct StatusQuery {
  bool taken = false;
  bool rejected_main = false;
  bool rejected_alternate = false;
  int rejections = 0;
  uint8_t request[4] = {};

  bool both_rejected() const { return rejected_main && rejected_alternate; }
  bool done() const { return taken || both_rejected() || rejections >= kMaxRejections; }
};

void switch_subsystem_after_rejection(StatusQuery* query) {
  uint8_t& subsystem = state().subsystem;
  if (subsystem == diag::kZqStatusSubsystemMain) {
    query->rejected_main = true;
    subsystem = diag::kZqStatusSubsystemAlternate;
  } else {
    query->rejected_alternate = true;
    subsystem = diag::kZqStatusSubsystemMain;
  }
  ++query->rejections;
}

// Older layouts lack fields or carry them differently; bring the record to the newest one.
void normalise_layout(ZqStatusRecord* record) {
  if (record->layout_version < 3) record->operating_mode = record->operating_mode != 0 ? 2 : 5;
  if (record->layout_version < 4) {
    std::memset(record->hw_rev, 0, sizeof record->hw_rev);
    std::strncpy(record->hw_rev, "Unsupported", sizeof record->hw_rev - 1);
  }
  if (record->layout_version < 6) {
    std::memcpy(record->second_model, record->model, sizeof record->second_model);
  }
}

// Takes a record of 101 to 181 bytes (or more, of which 181 count); missing bytes read zero.
void take_record(const uint8_t* data, int32_t length) {
  ZqStatusRecord& record = state().record;
  std::memset(&record, 0, sizeof record);
  std::memcpy(&record, data, std::min<size_t>(static_cast<size_t>(length), sizeof record));
  normalise_layout(&record);
}

bool is_status_answer(const uint8_t* data, int32_t length) {
  return length >= kMinRecordLength && data[0] == diag::kCmdSubsystem &&
         data[1] == state().subsystem && data[2] == 0 && data[3] == 0 && data[9] != 0;
}

// Short answers below compare as if padded with zeros.
bool is_rejection(const StatusQuery& query, const uint8_t* data, int32_t length) {
  const auto head = leading_bytes<5>(data, length);
  return head[0] == diag::kCmdBadCommand &&
         std::memcmp(head.data() + 1, query.request, sizeof query.request) == 0;
}

// Subsystem 50 answering with something short is another function under that id.
bool is_foreign_alternate_answer(const uint8_t* data, int32_t length) {
  const auto head = leading_bytes<4>(data, length);
  return length < 100 && head[0] == diag::kCmdSubsystem &&
         head[1] == diag::kZqStatusSubsystemAlternate && head[2] == 0 && head[3] == 0;
}

Next handle_response(StatusQuery* query, const uint8_t* data, int32_t length) {
  if (is_status_answer(data, length)) {
    if (data[5] == kModeNotReported) {
      // The modem has not settled its operating mode yet: ask again after a while.
      platform::sleep_ms(
          static_cast<uint32_t>(timeout(Timeout::ZQ_STATUS_OPRT_MODE_SCAN_INTERVAL)));
      return Next::kStop;
    }
    take_record(data, length);
    query->taken = true;
    return Next::kStop;
  }
  if (is_rejection(*query, data, length)) {
    switch_subsystem_after_rejection(query);
    return Next::kStop;
  }
  if (is_foreign_alternate_answer(data, length)) {
    query->rejected_alternate = true;
    state().subsystem = diag::kZqStatusSubsystemMain;
    return Next::kStop;
  }
  return Next::kReadOn;
}

void run_attempt(StatusQuery* query) {
  const uint8_t request[4] = {diag::kCmdSubsystem, state().subsystem, 0, 0};
  std::memcpy(query->request, request, sizeof request);
  if (ZqUmtsKavCommandDMCom(request, sizeof request, false) != status::kSuccess) return;
  for_each_response(
      timeout(Timeout::EXTENDED_PROBE_RESPONSE_WAIT),
      [&](const uint8_t* data, int32_t length) { return handle_response(query, data, length); });
}

}  // namespace

const ZqStatusRecord* get_zq_status() {
  StatusQuery query;
  for (int attempt = 0; attempt < kStatusAttempts && !query.done(); ++attempt) {
    run_attempt(&query);
  }
  // Late answers to earlier attempts must not be taken for answers to the next request.
  for_each_response(kDrainBudgetMs, [](const uint8_t*, int32_t) { return Next::kReadOn; });
  if (query.both_rejected()) show_msg("ERROR: Firmware does not support ZQ Status DM command.\n");
  if (!query.taken) {
    show_msg("ERROR: Get ZQ Status.\n");
    return nullptr;
  }
  return &state().record;
}

void reset_zq_status_subsystem() {
  state().subsystem = diag::kZqStatusSubsystemMain;
}

void reset_zq_status() {
  state() = StatusState{};
}

}  // namespace kav
