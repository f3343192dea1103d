// The OpenZumi version request and the reading of its answers.
#include "lib/identity/openzumi.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/transport/comm_mode.h"
#include "lib/transport/diag_packets.h"
#include "lib/transport/dm_frames.h"
#include "lib/transport/just_reset.h"
#include "lib/transport/response_loop.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav {
namespace {

constexpr uint8_t kRequest[] = {diag::kCmdSubsystem, diag::kSubsystemOpenZumi,
                                diag::kOpenZumiVersionCommand & 0xFF,
                                diag::kOpenZumiVersionCommand >> 8};
constexpr int kAttempts = 5;
// An answer of this length that echoes the request: the modem knows the subsystem, not the
// command.
constexpr int32_t kEchoOnlyLength = 8;

constexpr int32_t kStatusValid = 0;
constexpr int32_t kStatusNotDefined = -1;
constexpr int32_t kStatusFirmwareInvalid = 41;

// The fields of an answer in either layout.
struct VersionAnswer {
  int32_t status;
  size_t text_length;
  char text[diag::kOpenZumiTextSize];  // not necessarily zero-terminated
};

bool echoes_request(const uint8_t* data, int32_t length) {
  return length >= static_cast<int32_t>(sizeof kRequest) &&
         std::memcmp(data, kRequest, sizeof kRequest) == 0;
}

template <typename Layout>
VersionAnswer fields_of(const uint8_t* data) {
  Layout answer;
  std::memcpy(&answer, data, sizeof answer);
  VersionAnswer fields{answer.status, answer.text_length, {}};
  std::memcpy(fields.text, answer.text, sizeof fields.text);
  return fields;
}

// The fields of a 74- or 73-byte answer that echoes the request; none for any other answer.
std::optional<VersionAnswer> version_answer(const uint8_t* data, int32_t length) {
  if (!echoes_request(data, length)) return std::nullopt;
  if (length == sizeof(OpenZumiLongResponse)) return fields_of<OpenZumiLongResponse>(data);
  if (length == sizeof(OpenZumiShortResponse)) return fields_of<OpenZumiShortResponse>(data);
  return std::nullopt;
}

void put_text(char* buffer, const char* text) {
  if (buffer != nullptr) std::snprintf(buffer, kOpenZumiBufferSize, "%s", text);
}

// The result a version answer settles, with the buffer filled.
ZqUmtsKavStatusEnum settle(const VersionAnswer& answer, char* buffer) {
  switch (answer.status) {
    case kStatusValid:
      if (buffer != nullptr) {
        const size_t limit = std::min(answer.text_length, diag::kOpenZumiTextSize);
        const size_t n = strnlen(answer.text, limit);
        std::memcpy(buffer, answer.text, n);
        buffer[n] = '\0';
      }
      return status::kSuccess;
    case kStatusNotDefined:
      put_text(buffer, "Not Defined");
      return status::kOpenZumiNoVersion;
    case kStatusFirmwareInvalid:
      put_text(buffer, "FW Revision Invalid");
      return status::kOpenZumiNoVersion;
    default:
      show_msg("ERROR: Get OpenZumi version string returned unrecognized error code %d.\n",
               answer.status);
      return status::kOpenZumiUnrecognized;
  }
}

// The result one response settles, or none when it is not an answer to the request.
std::optional<ZqUmtsKavStatusEnum> judge(const uint8_t* data, int32_t length, char* buffer) {
  if (const auto answer = version_answer(data, length)) return settle(*answer, buffer);
  // A refusal counts when it echoes this request; a late one of another request is skipped.
  if ((data[0] == diag::kCmdBadCommand && echoes_request(data + 1, length - 1)) ||
      (length == kEchoOnlyLength && echoes_request(data, length))) {
    return status::kOpenZumiNotSupported;
  }
  return std::nullopt;
}

// One send and the reading of its responses within RESPONSE_WAIT.
std::optional<ZqUmtsKavStatusEnum> attempt(char* buffer) {
  if (!send_state_request(kRequest, sizeof kRequest, false)) return std::nullopt;
  std::optional<ZqUmtsKavStatusEnum> result;
  for_each_response(timeout(Timeout::RESPONSE_WAIT), [&](const uint8_t* data, int32_t length) {
    result = judge(data, length, buffer);
    return result ? Next::kStop : Next::kReadOn;
  });
  return result;
}

}  // namespace

ZqUmtsKavStatusEnum get_openzumi_version(char* buffer) {
  if (buffer != nullptr) std::memset(buffer, 0, kOpenZumiBufferSize);
  const ZqUmtsKavStatusEnum mode = ZqUmtsKavSetModemCommMode(ZqUmtsKavCommMode_DM);
  if (mode != status::kSuccess) {
    show_msg("ERROR: Must be in DM mode.\n");
    return mode;
  }
  for (int i = 0; i < kAttempts; ++i) {
    if (const auto result = attempt(buffer)) return *result;
  }
  return status::kOpenZumiNoAnswer;
}

}  // namespace kav
