// kav nv read and kav nv write: one NV item of the modem, named or numbered, through the
// library's NV read and write.
#include <string>
#include <vector>

#include "lib/nv/nv_items.h"
#include "tool/kav/commands.h"
#include "tool/kav/hex.h"
#include "tool/kav/nv_target.h"
#include "tool/kav/session.h"

namespace kav::tool {
namespace {

constexpr size_t kMaxValue = sizeof(NvData);

// --index N, or -1 without it; false (reported) for a bad number.
bool index_option(const Invocation& inv, long* index) {
  *index = -1;
  const std::string* text = inv.value("--index");
  if (text == nullptr || parse_number(*text, 0, 255, index)) return true;
  usage_error(inv, "--index %s: not a number from 0 to 255", text->c_str());
  return false;
}

void add_item_json(const NvTarget& t, JsonWriter* json) {
  json->key("item");
  t.name.empty() ? json->null() : json->value(t.name);
  json->member("id", static_cast<int>(t.id)).key("index");
  t.array ? json->value(static_cast<int>(t.index)) : json->null();
}

// The value as text when it is printable, for showing beside the bytes.
std::optional<std::string> value_text(const std::vector<uint8_t>& value) {
  if (value.empty() || !is_printable(value.data(), value.size())) return std::nullopt;
  return std::string(value.begin(), value.end());
}

// "<item> = <hex> "<text>"" (`joiner` " = " after a read).
int print_value(Invocation& inv, const NvTarget& t, const std::vector<uint8_t>& value,
                const char* joiner) {
  const std::string hex = value.empty() ? "00" : hex_bytes(value);
  const std::optional<std::string> text = value_text(value);
  JsonWriter json = json_result(inv, true);
  add_item_json(t, &json);
  json.member("state", "active").member("hex", hex).key("text");
  text ? json.value(*text) : json.null();
  json.end_object();
  const std::string shown = t.heading() + joiner + hex + (text ? " \"" + *text + "\"" : "");
  print_result(inv, shown + "\n", hex + "\n", json);
  return kExitOk;
}

int print_inactive(Invocation& inv, const NvTarget& t) {
  JsonWriter json = json_result(inv, true);
  add_item_json(t, &json);
  json.member("state", "inactive").end_object();
  print_result(inv, t.heading() + " is inactive (never written)\n", "inactive\n", json);
  return kExitOk;
}

// Connects, gets the firmware text and resolves ITEM; none after a failure or usage error,
// whose status is in `*status`.
std::optional<NvTarget> connect_and_resolve(Invocation& inv, long index, std::string* firmware,
                                            int* status) {
  *status = connect_modem(inv);
  if (*status != kExitOk) return std::nullopt;
  const ModemIdentity* identity = modem_identity(inv);
  if (identity == nullptr) {
    *status = kExitFailed;
    return std::nullopt;
  }
  *firmware = identity->firmware_rev;
  std::string error;
  std::optional<NvTarget> target = resolve_nv_item(inv.args[0], firmware->c_str(), index, &error);
  if (!target) {
    *status = error == kDbUnavailable ? failure(inv, "%s", error.c_str())
                                      : usage_error(inv, "%s", error.c_str());
  }
  return target;
}

// The bytes of --text (with its terminating zero) or --hex; none after a usage error.
std::optional<std::vector<uint8_t>> value_option(const Invocation& inv) {
  const std::string* text = inv.value("--text");
  if ((text != nullptr) == inv.has("--hex")) {
    usage_error(inv, "give the value with either --text TEXT or --hex BYTES");
    return std::nullopt;
  }
  std::string error;
  std::optional<std::vector<uint8_t>> value =
      text ? std::vector<uint8_t>(text->c_str(), text->c_str() + text->size() + 1)
           : parse_hex_words(inv.hex, &error);
  if (!value) {
    usage_error(inv, "--hex: %s", error.c_str());
  } else if (value->size() > kMaxValue) {
    usage_error(inv, "the value is %zu bytes; an NV item holds at most %zu", value->size(),
                kMaxValue);
    value.reset();
  }
  return value;
}

const char* write_failure_text(int result) {
  switch (result) {
    case kNvWriteReadOnly:
      return "the modem refused it: the item is read-only";
    case kNvWriteBadParam:
      return "the modem refused it as a bad parameter";
    case kNvWriteLocked:
      return "the modem refused it: its security is locked";
    default:
      return "no acceptable answer";
  }
}

}  // namespace

int run_nv_read(Invocation& inv) {
  long index = -1;
  if (!index_option(inv, &index)) return kExitUsage;
  int status = kExitOk;
  std::string firmware;
  const std::optional<NvTarget> target = connect_and_resolve(inv, index, &firmware, &status);
  if (!target) return status;
  NvData data;
  const int result = read_nv_target(*target, data);
  if (result == kNvReadOk) return print_value(inv, *target, nv_value(*target, data), " = ");
  if (result == kNvReadInactive) return print_inactive(inv, *target);
  return failure(inv, "cannot read %s: %s", target->heading().c_str(),
                 nv_read_failure_text(result));
}

int run_nv_write(Invocation& inv) {
  long index = -1;
  if (!index_option(inv, &index)) return kExitUsage;
  const std::optional<std::vector<uint8_t>> value = value_option(inv);
  if (!value) return kExitUsage;
  int status = kExitOk;
  std::string firmware;
  const std::optional<NvTarget> target = connect_and_resolve(inv, index, &firmware, &status);
  if (!target) return status;
  if (value->size() > target->capacity()) {
    return usage_error(inv, "the value is %zu bytes; an element of %s holds at most %zu",
                       value->size(), target->label().c_str(), target->capacity());
  }
  bool verified = false;
  const int result = write_nv_target(*target, *value, firmware.c_str(), &verified);
  if (result == kNvWriteSkippedReadOnly) {
    return failure(inv, "%s is read-only: not written", target->heading().c_str());
  }
  if (result != kNvWriteOk) {
    return failure(inv, "writing %s failed: %s", target->heading().c_str(),
                   write_failure_text(result));
  }
  if (!verified) {
    return failure(inv, "%s: the value read back differs from the value written",
                   target->heading().c_str());
  }
  const size_t shown = length_without_trailing_zeros(value->data(), value->size());
  return print_value(inv, *target, std::vector<uint8_t>(value->begin(), value->begin() + shown),
                     " written and verified: ");
}

}  // namespace kav::tool
