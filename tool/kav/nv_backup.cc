// kav nv backup and kav nv restore: every NV item the database knows for the modem's firmware
// (and a range of ids) saved to a backup file, and the items that differ written back.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/nv/nv_database.h"
#include "lib/nv/nv_items.h"
#include "lib/nv/nv_names.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "tool/kav/backup_file.h"
#include "tool/kav/commands.h"
#include "tool/kav/hex.h"
#include "tool/kav/nv_target.h"
#include "tool/kav/session.h"

namespace kav::tool {
namespace {

// Array elements travel with an 8-bit index.
constexpr int32_t kMaxElements = 256;

struct IdRange {
  long first = 1;
  long last = 0;  // empty when last < first
};

// --ids A-B; false (reported) when malformed.
bool ids_option(const Invocation& inv, IdRange* range) {
  const std::string* text = inv.value("--ids");
  if (text == nullptr) return true;
  const size_t dash = text->find('-');
  if (dash == std::string::npos || !parse_number(text->substr(0, dash), 0, 65535, &range->first) ||
      !parse_number(text->substr(dash + 1), range->first, 65535, &range->last)) {
    usage_error(inv, "--ids %s: not a range A-B of ids from 0 to 65535, A <= B", text->c_str());
    return false;
  }
  return true;
}

BackupItem read_backup_item(const NvTarget& target) {
  BackupItem item;
  item.name = target.name;
  item.id = target.id;
  item.index = target.array ? target.index : -1;
  NvData data;
  const int result = read_nv_target(target, data);
  if (result == kNvReadOk) {
    item.value = nv_value(target, data);
  } else {
    item.state =
        result == kNvReadInactive ? BackupItem::State::kInactive : BackupItem::State::kUnreadable;
  }
  return item;
}

// The elements to save: every element of the (loaded) database's items, then the range's other
// ids.
std::vector<NvTarget> backup_targets(const char* firmware, const IdRange& range) {
  std::vector<NvTarget> targets;
  std::vector<bool> named(65536, false);
  for (const NvItemInfo& info : nv_items_of_firmware(nv_item_database(), firmware)) {
    const bool array = info.array_size >= 2;
    // The request carries the low 16 bits of an id the file gives outside 0..65535.
    named[static_cast<uint16_t>(info.id)] = true;
    for (int32_t i = 0; i < (array ? std::min(info.array_size, kMaxElements) : 1); ++i) {
      targets.push_back({info.name, static_cast<uint16_t>(info.id), info.array_size, array,
                         static_cast<uint8_t>(i)});
    }
  }
  for (long id = range.first; id <= range.last; ++id) {
    if (!named[static_cast<size_t>(id)])
      targets.push_back({"", static_cast<uint16_t>(id), 0, false, 0});
  }
  return targets;
}

// Writes the file whole or not at all: a new one (never over an existing name or a link), or
// with --force one that replaces the old, keeping its owner and mode. 0 or the error.
int save_file(const std::string& path, const std::string& text, bool force) {
  if (force && platform::file_identity(path)) return platform::replace_file(path, text);
  return platform::create_file_whole(path, text);
}

// What stands in the way of writing the backup to `path`, found before the modem is read: an
// empty name, a name taken (a dangling link too) without --force, a directory that is missing,
// no directory or not writable. Empty when the way is clear.
std::string destination_problem(const std::string& path, bool force) {
  if (path.empty() || path.back() == '/') return "no file name in \"" + path + "\"";
  if (!force && platform::file_identity(path)) {
    return path + " exists: give --force to replace it";
  }
  const std::string dir = platform::parent_directory(path);
  if (!platform::path_writable(dir + "/.")) {
    return "cannot write in " + dir + ": " + platform::system_error_text(platform::last_error());
  }
  return {};
}

int count_state(const NvBackup& backup, BackupItem::State state) {
  int n = 0;
  for (const BackupItem& item : backup.items) n += item.state == state;
  return n;
}

int report_backup(Invocation& inv, const std::string& path, const NvBackup& backup) {
  const int inactive = count_state(backup, BackupItem::State::kInactive);
  const int unreadable = count_state(backup, BackupItem::State::kUnreadable);
  char text[512];
  std::snprintf(text, sizeof text,
                "Saved %zu NV items of firmware %s to %s (%d inactive, %d unreadable).\n",
                backup.items.size(), backup.firmware.c_str(), path.c_str(), inactive, unreadable);
  JsonWriter json = json_result(inv, true);
  json.member("file", path)
      .member("firmware", backup.firmware)
      .member("items", static_cast<int>(backup.items.size()))
      .member("inactive", inactive)
      .member("unreadable", unreadable)
      .end_object();
  print_result(inv, text, path + "\n", json);
  return kExitOk;
}

}  // namespace

int run_nv_backup(Invocation& inv) {
  IdRange range;
  if (!ids_option(inv, &range)) return kExitUsage;
  const std::string& path = inv.args[0];
  const bool force = inv.has("--force");
  if (const std::string problem = destination_problem(path, force); !problem.empty()) {
    return usage_error(inv, "%s", problem.c_str());
  }
  if (connect_modem(inv) != kExitOk) return kExitFailed;
  const ModemIdentity* identity = modem_identity(inv);
  if (identity == nullptr) return kExitFailed;
  NvBackup backup{identity->imei, identity->meid, identity->model, identity->firmware_rev, {}};
  // Without the database a backup would silently hold only the --ids range.
  if (!load_db()) return failure(inv, "%s", kDbUnavailable);
  const std::vector<NvTarget> targets = backup_targets(identity->firmware_rev, range);
  for (size_t i = 0; i < targets.size(); ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "Reading %zu of %zu\r", i + 1, targets.size());
    progress(inv, line);
    backup.items.push_back(read_backup_item(targets[i]));
  }
  progress(inv, "\n");
  if (const int error = save_file(path, format_backup(backup), force); error != 0) {
    return failure(inv, "cannot write %s: %s", path.c_str(),
                   platform::system_error_text(error).c_str());
  }
  return report_backup(inv, path, backup);
}

}  // namespace kav::tool
