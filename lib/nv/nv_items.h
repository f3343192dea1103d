// Reading and writing single NV items of the attached modem over the DM port with the DIAG NV
// read (0x26) and write (0x27) requests: the array index of array items, up to five attempts,
// matching responses to the request, the nv_stat values and DIAG error replies, the built-in
// list of items never written, and the read-back when the modem refuses a write.
//
// The caller must have the modem in DM mode; nothing here checks or changes the mode.
// Threading: the caller's thread; no lock of its own (the DM exchange is the transport's).
#pragma once

#include <cstdint>

#include "lib/transport/diag_packets.h"

namespace kav {

constexpr int kNvAttempts = 5;

// Result of read_nv_item.
enum NvReadResult : int {
  kNvReadOk = 0,
  kNvReadFailed = 1,    // no array size for the name, or no acceptable answer in five tries
  kNvReadInactive = 2,  // nv_stat 5: never written
  kNvReadBadParam = 3,  // nv_stat 6, or DIAG reply 0x14
  kNvReadLocked = 4,    // DIAG reply 0x42
  kNvReadTooLong = 5,   // DIAG reply 0x15: the item is longer than 128 bytes
};

// Result of write_nv_item.
enum NvWriteResult : int {
  kNvWriteOk = 0,        // written, read-only by the built-in list, or refused but already equal
  kNvWriteFailed = 1,    // nv_stat 4, or no acceptable answer in five tries
  kNvWriteReadOnly = 2,  // nv_stat 7 and the item holds other data
  kNvWriteBadParam = 3,  // nv_stat 6
  kNvWriteLocked = 4,    // DIAG reply 0x42 and the item holds other data
};

// write_nv_data's result when the id is among the items never written (nothing sent).
constexpr int kNvWriteSkippedReadOnly = 5;

// 0..5 as above; on 0, *data points at the 128 data bytes of the response, zero past the end
// of a short one (valid until the next read). `index` is sent only for items whose array size is 2
// or more.
int read_nv_item(const char* name, uint16_t id, const char* firmware, uint8_t index,
                 const uint8_t** data);

// read_nv_item without the database look-up, for an item whose array size the caller knows:
// with `array` the index travels in the first data byte and the answer must carry it back.
// `name` only labels the messages.
int read_nv_element(const char* name, uint16_t id, bool array, uint8_t index, const uint8_t** data);

// 0..4 as above; `value` points at the one byte to write.
int write_nv_item(const char* name, const uint8_t* value, uint16_t id, const char* firmware);

// write_nv_item with all 128 data bytes of the request given (an array element's index in the
// first byte, its value after it): 0..4 as above, or kNvWriteSkippedReadOnly after the
// library's "Skipping write of read-only NV item" message. The 1-byte write is this one with
// the other 127 bytes zero.
int write_nv_data(const char* name, const uint8_t (&data)[128], uint16_t id, const char* firmware);

// Reads the item of a write request back (its first data byte as the index) and compares all
// 128 data bytes.
bool verify_nv_item(const NvItemPacket& request, const char* name, const char* firmware);

// The text of an nv_stat value in read_nv_item's message ("" for those without one).
const char* nv_stat_text(uint16_t nv_stat);

// True when `id` is one of the items never written.
bool is_read_only_nv_item(uint16_t id);

}  // namespace kav
