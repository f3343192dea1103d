// An NV item as kav's nv subcommands name it: a database name resolved for the modem's firmware,
// or an id, with the element index of array items; its reads and writes through the library's
// NV item operations, and the value bytes of its 128 data bytes.
//
// Threading: the program's main thread only (the library's NV operations are the host
// thread's).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kav::tool {

using NvData = uint8_t[128];

struct NvTarget {
  std::string name;  // the database's name; empty for an id the database does not know
  uint16_t id = 0;
  int32_t array_size = 0;  // from the database; 0 when unknown
  bool array = false;      // the index travels in the first data byte
  uint8_t index = 0;

  // The name, or "item <id>".
  std::string label() const;
  // "NV_ACCOLC_I[1] (37)", "NV_PRODUCT_TAG_I (5078)" or "item 5000".
  std::string heading() const;
  // How many value bytes fit: 128, or 127 for an array element.
  size_t capacity() const { return array ? 127 : 128; }
};

// What kav says when the NV item database could not be loaded (the library said why).
inline constexpr char kDbUnavailable[] = "NV item database unavailable";

// Resolves ITEM (a name or a number 0..65535) for `firmware`; `index` is the --index value or
// -1. None with `error` set (an unknown name, an index an item does not have, or
// kDbUnavailable when a name cannot be looked up for want of the database).
std::optional<NvTarget> resolve_nv_item(const std::string& item, const char* firmware, long index,
                                        std::string* error);

// Reads the item: the library's read result (kNvReadOk ... ), `data` filled on kNvReadOk.
int read_nv_target(const NvTarget& target, NvData& data);

// Writes `value` (at most capacity() bytes, the index first for array elements) and reads it
// back. The library's write result, or kNvWriteOk; `*verified` tells whether the read-back
// equals the data written.
int write_nv_target(const NvTarget& target, const std::vector<uint8_t>& value, const char* firmware,
                    bool* verified);

// The value part of `data` (after the index byte of an array element) without trailing zero
// bytes.
std::vector<uint8_t> nv_value(const NvTarget& target, const NvData& data);

// The data bytes a write of `value` sends (zero-filled, index first for array elements).
void nv_request_data(const NvTarget& target, const std::vector<uint8_t>& value, NvData& data);

// What a read result other than kNvReadOk means, for a message.
const char* nv_read_failure_text(int result);

}  // namespace kav::tool
