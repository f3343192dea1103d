#include "lib/nv/nv_database.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "lib/core/library.h"
#include "lib/core/messages.h"
#include "lib/platform/clock.h"
#include "lib/platform/error.h"
#include "lib/platform/files.h"
#include "lib/platform/resources.h"

namespace kav {

namespace {

struct DbState {
  NvItemDatabase db;
  bool loaded = false;
  bool failed = false;  // the load failed: it is not tried again in this process
  bool default_in_use = false;
  int write_error = 0;  // of the last database file written
  uint32_t retry_pause_ms = kDefaultDbOpenRetryPauseMs;
};

DbState& state() {
  static DbState* s = new DbState;
  return *s;
}

// Where the database file is kept, and the module directory's file, read first when the two
// differ.
struct DbPlace {
  std::string file;
  std::string module_file;
};

using FileIdentity = std::optional<std::pair<uint64_t, uint64_t>>;

// A database file read whole, line ends as LF, with where its line 3 starts.
struct OpenedDb {
  std::string path;
  std::string text;
  size_t body = 0;
  bool in_memory = false;  // the built-in default, with no file behind it
};

std::optional<DbPlace> db_place() {
  const std::optional<std::string> directory = module_directory();
  if (!directory || directory->size() + std::strlen(kNviDbFileName) >= platform::kMaxPath) {
    show_msg("ERROR: db_file_name: unable to get db directory name!\n");
    return std::nullopt;
  }
  DbPlace place{*directory + kNviDbFileName, *directory + kNviDbFileName};
  if (platform::write_permission_denied(*directory)) {
    place.file = platform::user_data_directory() + "/umts_kav_lib/" + kNviDbFileName;
  }
  return place;
}

// The whole file with line ends as LF; none when it does not exist or cannot be read in
// kDbOpenAttempts tries. A file too large to be a database reads as empty text, which fails
// its check.
std::optional<std::string> open_db_file(const std::string& path) {
  for (int attempt = 1; attempt <= kDbOpenAttempts; ++attempt) {
    if (!platform::path_exists(path)) return std::nullopt;
    std::string raw;
    const int error = platform::read_whole_file(path, &raw, kMaxNviDbFileBytes);
    if (error == 0) return normalise_line_ends(raw);
    if (error == platform::kErrorFileTooLarge) {
      show_msg("ERROR: NV item database file \"%s\" is larger than %zu bytes.\n", path.c_str(),
               kMaxNviDbFileBytes);
      return std::string();
    }
    if (attempt == kDbOpenAttempts || !platform::is_transient_error(error)) {
      show_msg("ERROR: Unable to read NV item database file \"%s\": %s.\n", path.c_str(),
               platform::system_error_text(error).c_str());
      break;
    } else {
      platform::sleep_ms(state().retry_pause_ms);
    }
  }
  return std::nullopt;
}

// The digest and version check. The digest may differ only for a fresh copy of the default.
bool check_db_file(const std::string& text, int* version, size_t* body) {
  const NviDbHeader header = read_nvi_db_header(text);
  if (!header.version_found) {
    show_msg("Did not find NVI_DB_VERSION in NVI_DB file.\n");
    return false;
  }
  *version = header.version;
  *body = header.body;
  if (header.digest_matches || state().default_in_use) return true;
  show_msg("Found invalid checksum in NVI_DB file.\n");
  return false;
}

bool db_passes(const std::string& text, size_t* body) {
  int version = 0;
  return check_db_file(text, &version, body) && version == kNviDbVersion;
}

// Moves a rejected file of the user's aside instead of deleting it. False when it could not be
// moved, so that nothing is written over it, or when the name no longer holds `checked`, the
// file that failed (another writer replaced it meanwhile).
bool keep_rejected(const std::string& path, const FileIdentity& checked) {
  const std::string kept = path + kRejectedNviDbSuffix;
  if (!checked || platform::file_identity(path) != checked) {
    show_msg(
        "ERROR: The NV item database \"%s\" changed while it was checked; it is left in "
        "place.\n",
        path.c_str());
    return false;
  }
  if (platform::rename_path(path, kept)) {
    show_msg("The rejected NV item database \"%s\" was kept as \"%s\".\n", path.c_str(),
             kept.c_str());
    return true;
  }
  show_msg("ERROR: Unable to rename the rejected NV item database \"%s\" to \"%s\": %s.\n",
           path.c_str(), kept.c_str(), platform::system_error_text(platform::last_error()).c_str());
  return false;
}

// Writes `bytes` as the file at `path` (directories created, temporary file and rename).
// Returns 0, or the error code with `*created` telling whether the file could be made at all.
int write_db_file(const std::string& path, const std::string& bytes, bool* created) {
  *created = false;
  state().write_error =
      make_dirs_for(path) ? platform::replace_file(path, bytes, created) : platform::last_error();
  return state().write_error;
}

// True when `text` (line ends as LF) is a copy of the built-in default as copy_default_resource
// writes it: a file of the library's making, of a run that ended before it was rewritten.
bool is_default_copy(const std::string& text) {
  const std::optional<platform::ResourceBlock> resource =
      platform::find_resource(kDefaultDbResourceType, kDefaultDbResourceId);
  return resource && resource->size != 0 &&
         normalise_line_ends(std::string_view(reinterpret_cast<const char*>(resource->data),
                                              resource->size)) == text;
}

bool copy_default_resource(const std::string& path) {
  const std::optional<platform::ResourceBlock> resource =
      platform::find_resource(kDefaultDbResourceType, kDefaultDbResourceId);
  if (!resource) {
    show_msg("ERROR: create_db: FindResource => %s.\n",
             platform::system_error_text(platform::last_error()).c_str());
    return false;
  }
  if (resource->size == 0) {
    show_msg("ERROR: create_db: SizeOfResource.\n");
    return false;
  }
  const std::optional<std::string> full = platform::full_path(path);
  if (!full) {
    show_msg("ERROR: Unable to determine full path name for \"%s\"\n", path.c_str());
    show_msg("ERROR: create_db: fopen( %s ).\n", path.c_str());
    return false;
  }
  bool created = false;
  const std::string bytes(reinterpret_cast<const char*>(resource->data), resource->size);
  if (write_db_file(*full, bytes, &created) != 0) {
    if (created) {
      show_msg("ERROR: create_db: fwrite.\n");
    } else {
      show_msg("ERROR: create_db: fopen( %s ).\n", full->c_str());
    }
    return false;
  }
  show_msg("Default NV Item database copied from resource.\n");
  return true;
}

bool create_db(const std::string& path) {
  if (copy_default_resource(path)) return true;
  show_msg("ERROR: create_db: failure to load default database.\n");
  return false;
}

bool create_empty_db(const std::string& path) {
  bool created = false;
  if (write_db_file(path, format_nvi_db(NvItemDatabase{}), &created) != 0) return false;
  show_msg("Empty NV Item database created.\n");
  return true;
}

// The module directory's file, when the database is kept elsewhere: used when it passes; a
// failing one is reported and left alone (its directory cannot be written).
std::optional<OpenedDb> open_module_db(const DbPlace& place) {
  if (place.module_file == place.file) return std::nullopt;
  OpenedDb opened{place.module_file, {}, 0};
  std::optional<std::string> text = open_db_file(place.module_file);
  if (!text) return std::nullopt;
  opened.text = std::move(*text);
  if (db_passes(opened.text, &opened.body)) return opened;
  show_msg("Rejected existing nvi_db file.\n");
  show_msg(
      "The rejected NV item database \"%s\" is left in place: its directory cannot be "
      "written.\n",
      place.module_file.c_str());
  return std::nullopt;
}

// Step 1: the existing file. `*blocked` is set when a rejected file could not be moved aside.
std::optional<OpenedDb> open_existing_db(const DbPlace& place, bool* blocked) {
  state().default_in_use = false;
  if (std::optional<OpenedDb> module = open_module_db(place)) return module;
  OpenedDb opened{place.file, {}, 0};
  const FileIdentity checked = platform::file_identity(place.file);
  std::optional<std::string> text = open_db_file(place.file);
  if (text) {
    opened.text = std::move(*text);
    if (db_passes(opened.text, &opened.body)) return opened;
  }
  if (!platform::path_exists(place.file)) return std::nullopt;
  show_msg("Rejected existing nvi_db file.\n");
  // A copy of the default is the library's own file: it is replaced, and the user's file kept
  // aside earlier stays where it is.
  if (text && is_default_copy(opened.text)) return std::nullopt;
  *blocked = !keep_rejected(place.file, checked);
  return std::nullopt;
}

// Steps 2 and 3: a file the library has just written. A failing one is deleted.
std::optional<OpenedDb> open_fresh_db(const std::string& path, const char* rejected_message) {
  OpenedDb opened{path, {}, 0};
  std::optional<std::string> text = open_db_file(path);
  if (!text) return std::nullopt;
  opened.text = std::move(*text);
  if (db_passes(opened.text, &opened.body)) return opened;
  show_msg("%s", rejected_message);
  platform::remove_path(path);
  return std::nullopt;
}

// The built-in default, used from memory when no file can be written for it: a full disk
// should not take the item names away.
std::optional<OpenedDb> default_in_memory(const std::string& path) {
  const std::optional<platform::ResourceBlock> resource =
      platform::find_resource(kDefaultDbResourceType, kDefaultDbResourceId);
  if (!resource || resource->size == 0) return std::nullopt;
  OpenedDb opened{path,
                  normalise_line_ends(std::string_view(
                      reinterpret_cast<const char*>(resource->data), resource->size)),
                  0, true};
  state().default_in_use = true;
  if (!db_passes(opened.text, &opened.body)) return std::nullopt;
  show_msg(
      "ERROR: NV item database \"%s\" cannot be written (%s); the built-in default is used "
      "in memory.\n",
      path.c_str(), platform::system_error_text(state().write_error).c_str());
  return opened;
}

std::optional<OpenedDb> open_db(const std::optional<DbPlace>& place) {
  if (!place) return std::nullopt;
  bool blocked = false;
  if (std::optional<OpenedDb> existing = open_existing_db(*place, &blocked)) return existing;
  if (blocked) return std::nullopt;
  if (create_db(place->file)) {
    state().default_in_use = true;
    if (auto fresh = open_fresh_db(place->file, "Rejected default nvi_db file.\n")) return fresh;
  } else if (platform::is_disk_full(state().write_error)) {
    return default_in_memory(place->file);
  }
  if (!create_empty_db(place->file)) return std::nullopt;
  state().default_in_use = false;
  return open_fresh_db(place->file, "Rejected empty nvi_db file.\n");
}

// Within one id map no id other than -1 may occur twice.
bool check_duplicate_ids(const NvItemDatabase& db) {
  bool unique = true;
  for_each_duplicate_id(db, [&](size_t map, size_t item, size_t) {
    show_msg("ERROR: open_db failure: Item id %d duplicated in map %d.\n", db.id_maps[map][item],
             static_cast<int>(map));
    unique = false;
    return false;
  });
  return unique;
}

// Look-ups bisect the item names, so names out of order hide items; the load says so once,
// naming the first item line out of order.
void warn_unsorted_items(const OpenedDb& opened, const NvItemDatabase& db) {
  const auto names_end = db.item_names.end();
  const auto later = std::is_sorted_until(db.item_names.begin(), names_end);
  if (later == names_end) return;
  // Item lines follow the counts line (the first after the version line and the blank lines
  // after it) and the entries line.
  const auto body = opened.text.begin() + static_cast<std::ptrdiff_t>(opened.body);
  const int counts_line = 1 + static_cast<int>(std::count(opened.text.begin(), body, '\n'));
  const int line = counts_line + 2 + static_cast<int>(later - db.item_names.begin());
  show_msg(
      "WARNING: NV item database \"%s\" line %d: item %.255s is not after %.255s; look-ups "
      "may miss items out of order.\n",
      opened.path.c_str(), line, later->c_str(), (later - 1)->c_str());
}

const NvFirmwareEntry* find_firmware(const char* firmware) {
  return firmware ? find_firmware_entry(state().db, firmware) : nullptr;
}

}  // namespace

bool load_db() {
  DbState& s = state();
  if (s.loaded) return true;
  // A load that failed has said why; trying again on every look-up would only repeat it.
  if (s.failed) return false;
  s.failed = true;
  s.db = NvItemDatabase{};
  // Processes loading the database take turns from the check of the file to its rewrite, so
  // that none takes a file another is still writing for a rejected one.
  const std::optional<DbPlace> place = db_place();
  std::optional<platform::DirectoryLock> lock;
  if (place) {
    const std::string dir = platform::parent_directory(place->file);
    platform::make_directories(dir);
    lock.emplace(dir);
    // Temporary files of runs killed between writing and renaming the database.
    if (lock->locked()) platform::remove_stale_temporaries(place->file);
  }
  const std::optional<OpenedDb> opened = open_db(place);
  if (!opened) {
    show_msg("ERROR: open_db failure in load_db.\n");
    return false;
  }
  const std::string error = parse_nvi_db_body(opened->text, opened->body, &s.db);
  if (!error.empty()) {
    show_msg("ERROR: load_db: NV item database \"%s\" refused, %s.\n", opened->path.c_str(),
             error.c_str());
    s.db = NvItemDatabase{};
    return false;
  }
  // A fresh copy of the default is rewritten in the library's own layout with a right digest;
  // a failure to do so does not fail the load.
  if (s.default_in_use && !opened->in_memory) save_db();
  if (!check_duplicate_ids(s.db)) {
    s.db = NvItemDatabase{};
    return false;
  }
  warn_unsorted_items(*opened, s.db);
  s.loaded = true;
  s.failed = false;
  return true;
}

int32_t firmware_id_map(const char* firmware) {
  const NvFirmwareEntry* entry = find_firmware(firmware);
  return entry ? entry->id_map : -1;
}

int32_t firmware_array_size_map(const char* firmware) {
  const NvFirmwareEntry* entry = find_firmware(firmware);
  return entry ? entry->array_size_map : -1;
}

const NvItemDatabase& nv_item_database() {
  return state().db;
}

bool db_loaded() {
  return state().loaded;
}

bool db_load_failed() {
  return state().failed;
}

bool default_db_in_use() {
  return state().default_in_use;
}

std::optional<std::string> db_file_name() {
  const std::optional<DbPlace> place = db_place();
  if (!place) return std::nullopt;
  return place->file;
}

bool save_db() {
  const std::optional<std::string> path = db_file_name();
  if (!path) return false;
  bool created = false;
  if (platform::write_permission_denied(*path) ||
      write_db_file(*path, format_nvi_db(state().db), &created) != 0) {
    show_msg("ERROR: save_db failed to open \"%s\" NV item database file.\n", path->c_str());
    if (platform::write_permission_denied(*path)) {
      show_msg("ERROR: \"%s\" NV item database file is write-protected.\n", path->c_str());
    }
    return false;
  }
  return true;
}

void set_db_open_retry_pause_ms(uint32_t ms) {
  state().retry_pause_ms = ms;
}

void reset_nv_database() {
  DbState& s = state();
  s.db = NvItemDatabase{};
  s.loaded = false;
  s.failed = false;
  s.default_in_use = false;
  s.write_error = 0;
  s.retry_pause_ms = kDefaultDbOpenRetryPauseMs;
}

}  // namespace kav
