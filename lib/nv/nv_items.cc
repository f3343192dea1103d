#include "lib/nv/nv_items.h"

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <optional>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/nv/nv_names.h"
#include "lib/transport/dm_frames.h"
#include "lib/transport/just_reset.h"
#include "lib/transport/response_loop.h"

namespace kav {

namespace {

struct ReadOnlyNvItem {
  const char* name;
  uint16_t id;
};

// Items that are never written; only the id is compared.
constexpr ReadOnlyNvItem kReadOnlyNvItems[] = {
    {"NV_ESN_CHKSUM_I", 1},
    {"NV_VERNO_MAJ_I", 2},
    {"NV_VERNO_MIN_I", 3},
    {"NV_SEC_DEVICE_KEY_I", 1311},
    {"NV_DIAG_SPC_UNLOCK_TTL_I", 3252},
    {"NV_DIAG_SPC_TIMEOUT_I", 3462},
    {"NV_ESN_ME_I", 5597},
    {"NV_MEID_ME_I", 5598},
};

// A response as an NvItemPacket: the bytes received, zero beyond them. A short answer is
// judged as if padded with zeros, as a zero-filled receive buffer would show it.
NvItemPacket packet_of(const uint8_t* bytes, int32_t length) {
  NvItemPacket packet{};
  std::memcpy(&packet, bytes, std::min(static_cast<size_t>(length), sizeof packet));
  return packet;
}

// The answer of the last successful read, padded: its data stays readable whatever the length
// of the frame it came in.
NvItemPacket& last_read_answer() {
  static NvItemPacket packet{};
  return packet;
}

// The fields of the last response received, kept for the detail line of a failed operation
// (the transport reuses its receive buffer for every response).
struct LastResponse {
  bool seen = false;
  NvItemPacket fields{};

  void remember(const uint8_t* bytes, int32_t length) {
    seen = true;
    fields = packet_of(bytes, length);
  }
  void report(const char* format) const {
    if (!seen) return;
    show_msg(format, static_cast<int>(fields.cmd_code), static_cast<int>(fields.item),
             static_cast<int>(fields.nv_stat));
  }
};

// An NV response (padded to its full size) with this command code and item id.
bool is_nv_response(const NvItemPacket& packet, uint8_t cmd_code, uint16_t id) {
  return packet.cmd_code == cmd_code && packet.item == id;
}

// What to do with one response: a result, or read on.
template <typename Handler>
concept ResponseHandler = requires(Handler h, const uint8_t* bytes, int32_t length) {
  { h(bytes, length) } -> std::same_as<std::optional<int>>;
};

// One attempt: sends the request and hands every response with data to `handle` until it
// gives a result or the budget of `wait` runs out. None when sending failed or nothing decided.
template <ResponseHandler Handler>
std::optional<int> attempt(const NvItemPacket& request, Timeout wait, bool clears_reset,
                           LastResponse* last, Handler handle) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&request);
  const bool sent = clears_reset ? send_state_request(bytes, sizeof request, false)
                                 : ZqUmtsKavCommandDMCom(bytes, sizeof request, false) == 0;
  if (!sent) return std::nullopt;
  // Ends when the handler decides, the budget is spent, or the port fails (a failed read
  // would fail again at once).
  std::optional<int> result;
  for_each_response(timeout(wait), [&](const uint8_t* data, int32_t length) {
    last->remember(data, length);
    result = handle(data, length);
    return result ? Next::kStop : Next::kReadOn;
  });
  return result;
}

}  // namespace

const char* nv_stat_text(uint16_t nv_stat) {
  switch (nv_stat) {
    case 1:
      return "Internal DMSS use";
    case 2:
      return "Unrecognizable command";
    case 3:
      return "NV Memory is full";
    case 7:
      return "Item was read-only";
    case 8:
      return "Item not defined for this target";
    case 9:
      return "Free memory exhausted";
    case 10:
      return "Internal use";
    default:
      return nv_stat >= 11 ? "UNDEFINED" : "";
  }
}

bool is_read_only_nv_item(uint16_t id) {
  for (const ReadOnlyNvItem& item : kReadOnlyNvItems) {
    if (item.id == id) return true;
  }
  return false;
}

int read_nv_item(const char* name, uint16_t id, const char* firmware, uint8_t index,
                 const uint8_t** data) {
  NvItemInfo info;
  if (!lookup_nv_item(name, firmware, &info)) {
    show_msg("Unable to look up array size for %s in read_nv_item.\n", name ? name : "(null)");
    return kNvReadFailed;
  }
  return read_nv_element(name, id, info.array_size >= 2, index, data);
}

int read_nv_element(const char* name, uint16_t id, bool array, uint8_t index,
                    const uint8_t** data) {
  NvItemPacket request{};
  request.cmd_code = diag::kCmdNvRead;
  request.item = id;
  if (array) request.data[0] = index;
  auto handle = [&](const uint8_t* bytes, int32_t length) -> std::optional<int> {
    const NvItemPacket packet = packet_of(bytes, length);
    if (is_nv_response(packet, diag::kCmdNvRead, id) && (!array || packet.data[0] == index)) {
      const uint16_t nv_stat = packet.nv_stat;
      switch (nv_stat) {
        case diag::kNvDone:
          last_read_answer() = packet;
          if (data) *data = last_read_answer().data;
          return kNvReadOk;
        case diag::kNvInactive:
          return kNvReadInactive;
        case diag::kNvBadParameter:
          return kNvReadBadParam;
        case diag::kNvFail:
          return std::nullopt;
        default:
          show_msg("ERROR: read_nv_item of %s, nv_stat = %d (%s)\n", name, nv_stat,
                   nv_stat_text(nv_stat));
          return std::nullopt;
      }
    }
    switch (bytes[0]) {
      case diag::kCmdSecurityLocked:
        return kNvReadLocked;
      case diag::kCmdBadParameter:
        return kNvReadBadParam;
      case diag::kCmdBadLength:
        show_msg("Cannot read NV item %d (%s) which has length greater than 128 bytes.\n", id,
                 name);
        return kNvReadTooLong;
      default:
        return std::nullopt;
    }
  };
  LastResponse last;
  for (int i = 0; i < kNvAttempts; ++i) {
    if (auto result = attempt(request, Timeout::RESPONSE_WAIT, false, &last, handle)) {
      return *result;
    }
  }
  show_msg("ERROR: Failed attempt to read %s.\n", name);
  last.report("    read_resp->cmd_code = %d, ->item = %d, ->nv_stat = %d\n");
  return kNvReadFailed;
}

bool verify_nv_item(const NvItemPacket& request, const char* name, const char* firmware) {
  const uint8_t* data = nullptr;
  if (read_nv_item(name, request.item, firmware, request.data[0], &data) != kNvReadOk) {
    return false;
  }
  return std::memcmp(data, request.data, sizeof request.data) == 0;
}

int write_nv_item(const char* name, const uint8_t* value, uint16_t id, const char* firmware) {
  if (value == nullptr && !is_read_only_nv_item(id)) {
    show_msg("ERROR: write_nv_item of %s: no value to write.\n", name);
    return kNvWriteFailed;
  }
  uint8_t data[sizeof NvItemPacket::data] = {};
  if (value != nullptr) data[0] = *value;
  const int result = write_nv_data(name, data, id, firmware);
  return result == kNvWriteSkippedReadOnly ? kNvWriteOk : result;
}

int write_nv_data(const char* name, const uint8_t (&data)[128], uint16_t id, const char* firmware) {
  if (is_read_only_nv_item(id)) {
    show_msg("Skipping write of read-only NV item (%s)\n", name);
    return kNvWriteSkippedReadOnly;
  }
  NvItemPacket request{};
  request.cmd_code = diag::kCmdNvWrite;
  request.item = id;
  std::memcpy(request.data, data, sizeof request.data);
  auto handle = [&](const uint8_t* bytes, int32_t length) -> std::optional<int> {
    const NvItemPacket packet = packet_of(bytes, length);
    if (is_nv_response(packet, diag::kCmdNvWrite, id)) {
      switch (packet.nv_stat) {
        case diag::kNvDone:
          return kNvWriteOk;
        case diag::kNvReadOnly:
          return verify_nv_item(request, name, firmware) ? kNvWriteOk : kNvWriteReadOnly;
        case diag::kNvBadParameter:
          return kNvWriteBadParam;
        case diag::kNvFail:
          show_msg("ERROR: Attempt to write %s responded to with NV_FAIL_S\n", name);
          return kNvWriteFailed;
        default:
          return std::nullopt;
      }
    }
    if (bytes[0] == diag::kCmdSecurityLocked) {
      return verify_nv_item(request, name, firmware) ? kNvWriteOk : kNvWriteLocked;
    }
    return std::nullopt;
  };
  LastResponse last;
  for (int i = 0; i < kNvAttempts; ++i) {
    if (auto result = attempt(request, Timeout::WRITE_RESPONSE_WAIT, true, &last, handle)) {
      return *result;
    }
  }
  show_msg("ERROR: Failed attempt to write %s.\n", name);
  last.report("    write_resp->cmd_code = %d, ->item = %d, ->nv_stat = %d\n");
  return kNvWriteFailed;
}

}  // namespace kav
