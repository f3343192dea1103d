// The DIAG records that cross the wire, packed and little-endian, each with its layout and a
// size check. Hosts fill NvItemPacket for the generic DM command.
#pragma once

#include <cstddef>
#include <cstdint>

#include "umts_kav/umts_kav_lib.h"

namespace kav::diag {

// DIAG command codes used by the library and its hosts.
constexpr uint8_t kCmdVersionProbe = 0x06;
constexpr uint8_t kCmdBadCommand = 0x13;
constexpr uint8_t kCmdBadParameter = 0x14;
constexpr uint8_t kCmdBadLength = 0x15;
constexpr uint8_t kCmdNvRead = 0x26;
constexpr uint8_t kCmdNvWrite = 0x27;
constexpr uint8_t kCmdControl = 0x29;
constexpr uint8_t kCmdDownload = 0x3A;
constexpr uint8_t kCmdSecurityLocked = 0x42;
constexpr uint8_t kCmdSubsystem = 0x4B;

// The downloader's command codes (after 0x3A the DM port is answered by the modem's boot
// downloader or a streaming downloader).
constexpr uint8_t kDlAck = 0x02;
constexpr uint8_t kDlReset = 0x0A;
constexpr uint8_t kStreamingDlReset = 0x0B;
constexpr uint8_t kStreamingDlError = 0x0D;

// DIAG control (0x29) modes, 16-bit little-endian after the command code.
constexpr uint16_t kControlOffline = 1;
constexpr uint16_t kControlReset = 2;

// The maker's status subsystem ids: the main one and the one older firmware uses.
constexpr uint8_t kZqStatusSubsystemMain = 250;
constexpr uint8_t kZqStatusSubsystemAlternate = 50;

// NV item status codes (nv_stat).
constexpr uint16_t kNvDone = 0;
constexpr uint16_t kNvFail = 4;  // NV_FAIL_S: the command failed
constexpr uint16_t kNvInactive = 5;
constexpr uint16_t kNvBadParameter = 6;
constexpr uint16_t kNvReadOnly = 7;

}  // namespace kav::diag

// NvItemPacket, the NV item read and write record, is declared in the public interface for
// hosts that build their own requests.
static_assert(sizeof(NvItemPacket) == 133, "NvItemPacket is 133 bytes on the wire");
static_assert(offsetof(NvItemPacket, nv_stat) == 131);

// The maker's status record, the answer to 4B <subsystem 250 or 50> 00 00, 181 bytes:
//   offset 0    cmd_code        0x4B
//   offset 1    subsystem_id    the subsystem that answered (250 or 50)
//   offset 2    subsystem_cmd   0, little-endian
//   offset 4    layout_version  layout of the record (fields below are missing in old ones)
//   offset 5    operating_mode  0xFF not yet reported; 2, 3, 4 offline
//   offset 9    firmware        firmware version text, zero-terminated
//   offset 89   identity        IMEI as a 3GPP mobile identity: 0, 0, length 8, type 0xA with
//                               the first digit in the high half, 7 bytes of digit pairs
//   offset 100  model           model name
//   offset 132  hw_rev          hardware revision (layout 4 and later)
//   offset 149  second_model    second model name (layout 6 and later)
struct [[gnu::packed]] ZqStatusRecord {
  uint8_t cmd_code;
  uint8_t subsystem_id;
  uint16_t subsystem_cmd;
  uint8_t layout_version;
  uint8_t operating_mode;
  uint8_t reserved_6[3];
  char firmware[80];
  uint8_t identity[11];
  char model[32];
  char hw_rev[16];
  uint8_t reserved_148;
  char second_model[32];
};
static_assert(sizeof(ZqStatusRecord) == 181, "the status record is 181 bytes");
static_assert(offsetof(ZqStatusRecord, firmware) == 9);
static_assert(offsetof(ZqStatusRecord, identity) == 89);
static_assert(offsetof(ZqStatusRecord, model) == 100);
static_assert(offsetof(ZqStatusRecord, hw_rev) == 132);
static_assert(offsetof(ZqStatusRecord, second_model) == 149);

namespace kav::diag {

// The OpenZumi version request 4B FE AA 00: subsystem 254, subsystem command 170.
constexpr uint8_t kSubsystemOpenZumi = 0xFE;
constexpr uint16_t kOpenZumiVersionCommand = 0xAA;
constexpr size_t kOpenZumiTextSize = 64;

}  // namespace kav::diag

// The answer to the OpenZumi version request, in the layout with a 16-bit text length, 74 bytes:
//   offset 0    echo         the 4 request bytes
//   offset 4    status       0 valid, -1 none defined, 41 firmware revision invalid
//   offset 8    text_length  characters of text that count, little-endian
//   offset 10   text         64 bytes
struct [[gnu::packed]] OpenZumiLongResponse {
  uint8_t echo[4];
  int32_t status;
  uint16_t text_length;
  char text[kav::diag::kOpenZumiTextSize];
};
static_assert(sizeof(OpenZumiLongResponse) == 74, "the long OpenZumi answer is 74 bytes");
static_assert(offsetof(OpenZumiLongResponse, text) == 10);

// The same answer in the layout with an 8-bit text length, 73 bytes:
//   offset 0    echo         the 4 request bytes
//   offset 4    status       as above
//   offset 8    text_length  characters of text that count
//   offset 9    text         64 bytes
struct [[gnu::packed]] OpenZumiShortResponse {
  uint8_t echo[4];
  int32_t status;
  uint8_t text_length;
  char text[kav::diag::kOpenZumiTextSize];
};
static_assert(sizeof(OpenZumiShortResponse) == 73, "the short OpenZumi answer is 73 bytes");
static_assert(offsetof(OpenZumiShortResponse, text) == 9);
