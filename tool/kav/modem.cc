// kav info, kav mode, kav reset and kav send: the modem's identity and the library's mode
// change, reset and generic DM command.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/core/status.h"
#include "lib/identity/openzumi.h"
#include "lib/modem/generic_dm_command.h"
#include "lib/platform/devices.h"
#include "lib/transport/comm_mode.h"
#include "lib/transport/dm_port.h"
#include "tool/kav/commands.h"
#include "tool/kav/hex.h"
#include "tool/kav/session.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::tool {
namespace {

// The size of every generic DM request: shorter requests are padded with zeros.
constexpr size_t kRequestSize = sizeof(NvItemPacket);
// kav shows answers of any length a modem sends (the public operation stops at 133 bytes).
constexpr size_t kResponseCapacity = 64 * 1024;

struct Field {
  const char* label;  // as shown in the text
  const char* key;    // as named in JSON
  std::string value;  // empty: not available
};

std::string port_text() {
  const int com = current_com_port();
  const std::optional<std::string> node = platform::com_device_node(com);
  return "COM" + std::to_string(com) + (node ? " (" + *node + ")" : "");
}

std::string openzumi_version() {
  char buffer[kOpenZumiBufferSize] = {};
  const ZqUmtsKavStatusEnum result = get_openzumi_version(buffer);
  return result == status::kSuccess || result == status::kOpenZumiNoVersion ? buffer : "";
}

std::vector<Field> identity_fields(const ModemIdentity& id) {
  return {{"IMEI", "imei", id.imei},
          {"MEID", "meid", id.meid},
          {"Factory ID", "factory_id", id.factory_id},
          {"Model", "model", id.model},
          {"Hardware revision", "hw_rev", id.hw_rev},
          {"Firmware", "firmware", id.firmware_rev},
          {"Firmware version", "firmware_version", id.firmware_version},
          {"OpenZumi version", "openzumi_version", openzumi_version()}};
}

int print_fields(Invocation& inv, const std::vector<Field>& fields) {
  std::string text;
  JsonWriter json = json_result(inv, true);
  for (const Field& f : fields) {
    char line[256];
    std::snprintf(line, sizeof line, "%-18s %s\n", (std::string(f.label) + ":").c_str(),
                  f.value.empty() ? "Not Defined" : f.value.c_str());
    text += line;
    json.key(f.key);
    f.value.empty() ? json.null() : json.value(f.value);
  }
  json.member("com_port", current_com_port());
  json.end_object();
  print_result(inv, text, text, json);
  return kExitOk;
}

// Mode and port after a mode change or reset; `left` the COM port the modem left for another
// one (0: none).
int print_mode(Invocation& inv, const char* done, int left = 0) {
  const std::string text = std::string(done) + ": mode " + comm_mode_name(current_comm_mode()) +
                           ", " + port_text() +
                           (left ? "; it left COM" + std::to_string(left) : "") + "\n";
  JsonWriter json = json_result(inv, true);
  json.member("mode", comm_mode_name(current_comm_mode())).member("com_port", current_com_port());
  if (left) json.member("left_com_port", left);
  json.end_object();
  print_result(inv, text, std::string(comm_mode_name(current_comm_mode())) + "\n", json);
  return kExitOk;
}

// What a failed generic DM command means to the user.
const char* send_failure_text(ZqUmtsKavStatusEnum result) {
  switch (result) {
    case status::kResponseTooBig:
      return "the response is longer than 65536 bytes";
    case status::kNotSupported:
      return "the modem does not support the command";
    case status::kNoResponse:
      return "no answer";
    default:
      return "the modem could not be brought into DM mode";
  }
}

}  // namespace

int run_info(Invocation& inv) {
  if (connect_modem(inv) != kExitOk) return kExitFailed;
  std::vector<Field> fields;
  if (current_comm_mode() != ZqUmtsKavCommMode_DL) {
    const ModemIdentity* identity = modem_identity(inv);
    if (identity == nullptr) return kExitFailed;
    fields = identity_fields(*identity);
  }
  fields.push_back({"Mode", "mode", comm_mode_name(current_comm_mode())});
  fields.push_back({"Port", "port", port_text()});
  return print_fields(inv, fields);
}

int run_mode(Invocation& inv) {
  const std::string& wanted = inv.args[0];
  if (wanted != "dm" && wanted != "dl") {
    return usage_error(inv, "the mode is dm or dl, not \"%s\"", wanted.c_str());
  }
  if (connect_modem(inv) != kExitOk) return kExitFailed;
  const int32_t mode = wanted == "dm" ? ZqUmtsKavCommMode_DM : ZqUmtsKavCommMode_DL;
  const char* name = wanted == "dm" ? "DM" : "DL";
  const ZqUmtsKavStatusEnum result = ZqUmtsKavSetModemCommMode(mode);
  if (result == status::kSuccess) return print_mode(inv, "Mode changed");
  const int left = current_com_port();
  if (follow_moved_modem(inv) == 0) {
    return failure(inv, "the mode change to %s failed (status %d)", name, result);
  }
  if (current_comm_mode() == mode) return print_mode(inv, "Mode changed", left);
  return failure(
      inv,
      "the mode change to %s failed (status %d); the modem left COM%d and is now at %s in mode %s",
      name, result, left, port_text().c_str(), comm_mode_name(current_comm_mode()));
}

int run_reset(Invocation& inv) {
  if (connect_modem(inv) != kExitOk) return kExitFailed;
  progress(inv, "Resetting the modem; it may take a minute to come back...\n");
  const ZqUmtsKavStatusEnum result = ZqUmtsKavResetModem();
  if (result == status::kSuccess) return print_mode(inv, "Modem reset");
  const int left = current_com_port();
  if (follow_moved_modem(inv) == 0) return failure(inv, "the reset failed (status %d)", result);
  return print_mode(inv, "Modem reset", left);
}

int run_send(Invocation& inv) {
  std::string error;
  const std::optional<std::vector<uint8_t>> request = parse_hex_words(inv.args, &error);
  if (!request) return usage_error(inv, "%s", error.c_str());
  if (request->size() > kRequestSize) {
    return usage_error(inv, "the request is %zu bytes; at most %zu are sent", request->size(),
                       kRequestSize);
  }
  if (connect_modem(inv) != kExitOk) return kExitFailed;
  uint8_t command[kRequestSize] = {};
  std::memcpy(command, request->data(), request->size());
  std::vector<uint8_t> response(kResponseCapacity);
  int32_t length = 0;
  const ZqUmtsKavStatusEnum result =
      send_generic_dm_command(command, response.data(), &length, response.size());
  if (result != status::kSuccess) {
    return failure(inv, "the request failed: %s (status %d)", send_failure_text(result), result);
  }
  const std::string hex = hex_bytes(response.data(), static_cast<size_t>(length));
  JsonWriter json = json_result(inv, true);
  json.member("request", hex_bytes(*request)).member("response", hex).end_object();
  print_result(inv, hex + "\n", hex + "\n", json);
  return kExitOk;
}

}  // namespace kav::tool
