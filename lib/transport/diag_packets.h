// The DIAG records that cross the wire, packed and little-endian, each with its layout and a
// size check. Hosts fill NvItemPacket for the generic DM command.
#pragma once

#include <cstddef>
#include <cstdint>

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

// NV item read (0x26) and write (0x27) request and response, 133 bytes:
//   offset 0    cmd_code   0x26 read, 0x27 write
//   offset 1    item       NV item id, little-endian
//   offset 3    data       128 bytes of item data
//   offset 131  nv_stat    NV status, little-endian (0 done, 5 inactive, ...)
struct [[gnu::packed]] NvItemPacket {
  uint8_t cmd_code;
  uint16_t item;
  uint8_t data[128];
  uint16_t nv_stat;
};
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
