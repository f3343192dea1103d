#include "tool/kav/nv_target.h"

#include <algorithm>
#include <cstring>

#include "lib/nv/nv_database.h"
#include "lib/nv/nv_items.h"
#include "lib/nv/nv_names.h"
#include "tool/kav/cli.h"
#include "tool/kav/hex.h"

namespace kav::tool {
namespace {

// The item of a number: the database's entry for this firmware when there is one.
NvTarget target_of_id(uint16_t id, const char* firmware) {
  NvTarget target;
  target.id = id;
  NvItemInfo info;
  if (lookup_nv_item_by_id(id, firmware, &info)) {
    target.name = info.name;
    target.array_size = info.array_size;
    target.array = info.array_size >= 2;
  }
  return target;
}

// Applies --index: array items take 0..size-1, an id the database does not know any 0..255
// (it is then read as an array element), plain items none.
bool apply_index(NvTarget* target, long index, std::string* error) {
  if (index < 0) return true;
  if (target->array_size == 1) {
    *error = target->label() + " is no array item: --index does not apply";
    return false;
  }
  if (target->array_size >= 2 && index >= target->array_size) {
    *error = "--index " + std::to_string(index) + " is beyond the " +
             std::to_string(target->array_size) + " elements of " + target->label();
    return false;
  }
  target->array = true;
  target->index = static_cast<uint8_t>(index);
  return true;
}

}  // namespace

std::string NvTarget::label() const {
  return name.empty() ? "item " + std::to_string(id) : name;
}

std::string NvTarget::heading() const {
  std::string text = label();
  if (array) text += "[" + std::to_string(index) + "]";
  return name.empty() ? text : text + " (" + std::to_string(id) + ")";
}

std::optional<NvTarget> resolve_nv_item(const std::string& item, const char* firmware, long index,
                                        std::string* error) {
  NvTarget target;
  long id = 0;
  if (parse_number(item, 0, 65535, &id)) {
    target = target_of_id(static_cast<uint16_t>(id), firmware);
  } else {
    NvItemInfo info;
    if (!lookup_nv_item(item.c_str(), firmware, &info)) {
      *error = db_load_failed() ? std::string(kDbUnavailable)
                                : "unknown NV item \"" + item + "\" for firmware " + firmware;
      return std::nullopt;
    }
    target.name = info.name;
    target.id = static_cast<uint16_t>(info.id);
    target.array_size = info.array_size;
    target.array = info.array_size >= 2;
  }
  if (!apply_index(&target, index, error)) return std::nullopt;
  return target;
}

int read_nv_target(const NvTarget& target, NvData& data) {
  const uint8_t* read = nullptr;
  const std::string label = target.label();
  const int result = read_nv_element(label.c_str(), target.id, target.array, target.index, &read);
  if (result == kNvReadOk) std::memcpy(data, read, sizeof data);
  return result;
}

int write_nv_target(const NvTarget& target, const std::vector<uint8_t>& value, const char* firmware,
                    bool* verified) {
  *verified = false;
  NvData request;
  nv_request_data(target, value, request);
  const std::string label = target.label();
  const int result = write_nv_data(label.c_str(), request, target.id, firmware);
  if (result != kNvWriteOk) return result;
  NvData read_back;
  *verified = read_nv_target(target, read_back) == kNvReadOk &&
              std::memcmp(read_back, request, sizeof request) == 0;
  return result;
}

std::vector<uint8_t> nv_value(const NvTarget& target, const NvData& data) {
  const size_t start = target.array ? 1 : 0;
  const uint8_t* value = data + start;
  return std::vector<uint8_t>(value,
                              value + length_without_trailing_zeros(value, sizeof(NvData) - start));
}

void nv_request_data(const NvTarget& target, const std::vector<uint8_t>& value, NvData& data) {
  std::memset(data, 0, sizeof data);
  const size_t start = target.array ? 1 : 0;
  if (target.array) data[0] = target.index;
  std::memcpy(data + start, value.data(), std::min(value.size(), sizeof data - start));
}

const char* nv_read_failure_text(int result) {
  switch (result) {
    case kNvReadInactive:
      return "inactive (never written)";
    case kNvReadBadParam:
      return "refused as a bad parameter";
    case kNvReadLocked:
      return "refused: the modem's security is locked";
    case kNvReadTooLong:
      return "longer than 128 bytes";
    default:
      return "unreadable (no acceptable answer)";
  }
}

}  // namespace kav::tool
