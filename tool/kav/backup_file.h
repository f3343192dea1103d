// The NV backup file of kav nv backup and kav nv restore: a readable text file with the modem's
// identity and firmware text at the top and one line per item (element) after it.
//
//   kav-nv-backup 2
//   # comment lines and empty lines are ignored
//   imei 356938035643809          (each header value "-" when the modem has none; a backslash
//                                  and control characters written \\ and \xHH)
//   meid -
//   model U370
//   firmware 6290:1.2.3.0
//   item NV_ACCOLC_I 37 0 01 02    item NAME ID INDEX VALUE: NAME "-" for an id the database
//   item - 5000 - inactive         does not name, INDEX "-" for a plain item, VALUE the data
//                                  bytes in hex without trailing zero bytes, "inactive" or
//                                  "unreadable"
//   end 2                          the number of item lines, last, so that a file cut short is
//                                  refused ("kav-nv-backup 1" files have no end line)
//
// Threading: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kav::tool {

struct BackupItem {
  enum class State { kValue, kInactive, kUnreadable };
  std::string name;  // empty: not named by the database
  uint16_t id = 0;
  int index = -1;  // -1: a plain item
  State state = State::kValue;
  std::vector<uint8_t> value;
  int line = 0;  // where a parsed item stood
};

struct NvBackup {
  std::string imei;
  std::string meid;
  std::string model;
  std::string firmware;
  std::vector<BackupItem> items;
};

std::string format_backup(const NvBackup& backup);

// None with `error` set ("line 7: ...") when the text is no backup file or a line is malformed.
std::optional<NvBackup> parse_backup(const std::string& text, std::string* error);

}  // namespace kav::tool
