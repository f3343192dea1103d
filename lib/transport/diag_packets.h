// The DIAG records that cross the wire, packed and little-endian, each with its layout and a
// size check. Hosts fill NvItemPacket for the generic DM command.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kav::diag {

// DIAG command codes used by the library and its hosts.
constexpr uint8_t kCmdVersionProbe = 0x06;
constexpr uint8_t kCmdBadCommand = 0x13;
constexpr uint8_t kCmdBadLength = 0x15;
constexpr uint8_t kCmdNvRead = 0x26;
constexpr uint8_t kCmdNvWrite = 0x27;
constexpr uint8_t kCmdControl = 0x29;
constexpr uint8_t kCmdDownload = 0x3A;
constexpr uint8_t kCmdSecurityLocked = 0x42;
constexpr uint8_t kCmdSubsystem = 0x4B;

// NV item status codes (nv_stat).
constexpr uint16_t kNvDone = 0;
constexpr uint16_t kNvInactive = 5;
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
