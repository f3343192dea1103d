// kav nv restore: writes back the items of a backup file whose value differs on the modem,
// after making sure the backup is of this modem and firmware.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/nv/nv_database.h"
#include "lib/nv/nv_items.h"
#include "lib/nv/nv_names.h"
#include "lib/platform/console.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "lib/transport/dm_port.h"
#include "tool/kav/backup_file.h"
#include "tool/kav/commands.h"
#include "tool/kav/hex.h"
#include "tool/kav/nv_target.h"
#include "tool/kav/session.h"

namespace kav::tool {
namespace {

constexpr size_t kMaxBackupBytes = 16u << 20;

struct Change {
  const BackupItem* item;
  std::string before;  // hex, or "inactive"
  std::string after;
};

struct Outcome {
  std::vector<Change> changed;
  int unchanged = 0;
  int skipped = 0;  // inactive or unreadable in the backup, or read-only items
  int failed = 0;
  size_t tried = 0;         // items gone through, of the backup's
  int stop_signal = 0;      // the signal that stopped the restore early
  bool modem_gone = false;  // the DM port closed under the restore
};

std::optional<NvBackup> load_backup(Invocation& inv, const std::string& path, int* status) {
  std::string text;
  if (const int error = platform::read_whole_file(path, &text, kMaxBackupBytes); error != 0) {
    *status = failure(inv, "cannot read %s: %s", path.c_str(),
                      platform::system_error_text(error).c_str());
    return std::nullopt;
  }
  std::string problem;
  std::optional<NvBackup> backup = parse_backup(text, &problem);
  if (!backup) *status = usage_error(inv, "%s %s", path.c_str(), problem.c_str());
  return backup;
}

// What makes the backup another modem's (or firmware's); empty when it is this one's.
std::string mismatch(const NvBackup& backup, const ModemIdentity& modem) {
  const std::string fields[][3] = {{"IMEI", backup.imei, modem.imei},
                                   {"MEID", backup.meid, modem.meid},
                                   {"firmware", backup.firmware, modem.firmware_rev}};
  for (const auto& [name, saved, present] : fields) {
    if (saved == present) continue;
    return "the backup is of " + name + " " + (saved.empty() ? "-" : saved) + ", the modem has " +
           (present.empty() ? "-" : present);
  }
  if (backup.imei.empty() && backup.meid.empty()) return "the backup names no IMEI or MEID";
  return {};
}

// Where an item line disagrees with the NV item database for `firmware`: another name for the
// id, a name the database lacks, an index a plain item does not take, or an array element
// without an index or beyond the array. Empty when it agrees (or the database does not know an
// unnamed id, as when the backup was made).
std::string db_disagreement(const BackupItem& item, const char* firmware) {
  const std::string line = "line " + std::to_string(item.line) + ": ";
  const std::string id = "item " + std::to_string(item.id);
  NvItemInfo info;
  if (!lookup_nv_item_by_id(item.id, firmware, &info)) {
    if (item.name.empty()) return {};
    return line + "the NV item database has no " + id + " (" + item.name + ") for firmware " +
           firmware;
  }
  const std::string name = info.name;
  if (!item.name.empty() && item.name != name) {
    return line + id + " is " + name + " for firmware " + firmware + ", the backup says " +
           item.name;
  }
  if (info.array_size == 1 && item.index >= 0) {
    return line + name + " is no array item, the line gives index " + std::to_string(item.index);
  }
  if (info.array_size >= 2 && item.index < 0) {
    return line + name + " is an array item, the line gives no index";
  }
  if (info.array_size >= 2 && item.index >= info.array_size) {
    return line + "index " + std::to_string(item.index) + " is beyond the " +
           std::to_string(info.array_size) + " elements of " + name;
  }
  return {};
}

// Checks every item line against the database before anything is written: a restore by ids
// that mean other items on this firmware would write values where they do not belong.
// kExitOk, or the failure after naming each line that disagrees.
int check_against_db(Invocation& inv, const std::string& path, const NvBackup& backup,
                     const char* firmware) {
  if (!load_db()) {
    complain(inv, "the backup is not checked against the NV item database (%s)", kDbUnavailable);
    return kExitOk;
  }
  int disagreeing = 0;
  for (const BackupItem& item : backup.items) {
    const std::string why = db_disagreement(item, firmware);
    if (why.empty()) continue;
    complain(inv, "%s %s", path.c_str(), why.c_str());
    ++disagreeing;
  }
  if (disagreeing == 0) return kExitOk;
  return failure(inv, "%d item line%s disagree%s with the NV item database: nothing restored",
                 disagreeing, disagreeing == 1 ? "" : "s", disagreeing == 1 ? "s" : "");
}

NvTarget target_of(const BackupItem& item) {
  const bool array = item.index >= 0;
  return {item.name, item.id, 0, array, static_cast<uint8_t>(array ? item.index : 0)};
}

std::string item_heading(const BackupItem& item) {
  return target_of(item).heading();
}

std::string change_line(const Change& c) {
  return "Restored " + item_heading(*c.item) + ": " + c.before + " -> " + c.after + "\n";
}

// Restores one item when it differs.
void restore_item(Invocation& inv, const BackupItem& item, const char* firmware, Outcome* out) {
  if (item.state != BackupItem::State::kValue) {
    ++out->skipped;
    return;
  }
  const NvTarget target = target_of(item);
  NvData now;
  const int read = read_nv_target(target, now);
  if (read == kNvReadOk && nv_value(target, now) == item.value) {
    ++out->unchanged;
    return;
  }
  const std::string before = read == kNvReadOk ? hex_bytes(nv_value(target, now)) : "inactive";
  bool verified = false;
  const int result = write_nv_target(target, item.value, firmware, &verified);
  if (result == kNvWriteSkippedReadOnly) {
    ++out->skipped;
  } else if (result != kNvWriteOk || !verified) {
    ++out->failed;
    complain(inv, "%s: not restored (%s)", item_heading(item).c_str(),
             result == kNvWriteOk ? "the value read back differs" : "the write failed");
  } else {
    out->changed.push_back(
        {&item, before.empty() ? "00" : before, item.value.empty() ? "00" : hex_bytes(item.value)});
    // Each change is said as it is made: a restore cut short still leaves its record.
    if (!inv.json) {
      std::printf("%s", change_line(out->changed.back()).c_str());
      std::fflush(stdout);
    }
  }
}

int report_restore(Invocation& inv, const Outcome& out, size_t items) {
  const bool complete = out.failed == 0 && out.stop_signal == 0 && !out.modem_gone;
  if (out.stop_signal != 0 || out.modem_gone) {
    complain(inv, "%s after %zu of %zu items; the modem is restored only in part",
             out.modem_gone ? "the modem went away"
                            : ("stopped by " + platform::signal_name(out.stop_signal)).c_str(),
             out.tried, items);
  }
  JsonWriter json = json_result(inv, complete);
  json.key("changed").begin_array();
  for (const Change& c : out.changed) {
    json.begin_object().key("item");
    c.item->name.empty() ? json.null() : json.value(c.item->name);
    json.member("id", static_cast<int>(c.item->id)).key("index");
    c.item->index < 0 ? json.null() : json.value(c.item->index);
    json.member("before", c.before).member("after", c.after).end_object();
  }
  json.end_array();
  json.member("unchanged", out.unchanged).member("skipped", out.skipped);
  json.member("failed", out.failed).member("complete", complete).end_object();
  char summary[160];
  std::snprintf(summary, sizeof summary, "%zu changed, %d unchanged, %d skipped, %d failed.\n",
                out.changed.size(), out.unchanged, out.skipped, out.failed);
  print_result(inv, summary, "", json);
  return complete ? kExitOk : kExitFailed;
}

}  // namespace

int run_nv_restore(Invocation& inv) {
  int status = kExitOk;
  const std::optional<NvBackup> backup = load_backup(inv, inv.args[0], &status);
  if (!backup) return status;
  if (connect_modem(inv) != kExitOk) return kExitFailed;
  const ModemIdentity* identity = modem_identity(inv);
  if (identity == nullptr) return kExitFailed;
  const std::string firmware = identity->firmware_rev;
  if (const std::string why = mismatch(*backup, *identity); !why.empty()) {
    if (!inv.has("--force")) return failure(inv, "%s: not restored without --force", why.c_str());
    complain(inv, "%s: restoring anyway (--force)", why.c_str());
  }
  if (const int status = check_against_db(inv, inv.args[0], *backup, firmware.c_str());
      status != kExitOk) {
    return status;
  }
  // A stop request lets the item being written finish; a modem that went away ends the restore
  // at once instead of failing every item left.
  platform::catch_stop_signals();
  Outcome outcome;
  for (const BackupItem& item : backup->items) {
    if ((outcome.stop_signal = platform::stop_signal()) != 0) break;
    restore_item(inv, item, firmware.c_str(), &outcome);
    ++outcome.tried;
    if ((outcome.modem_gone = dm_port_handle() == nullptr)) break;
  }
  return report_restore(inv, outcome, backup->items.size());
}

}  // namespace kav::tool
