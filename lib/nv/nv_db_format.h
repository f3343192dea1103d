// The text format of the NV item database file "umts_kav_lib.nvi_db" and its in-memory form:
// reading the digest and version lines, parsing the counts, firmware entries and item lines
// with every count, length and index checked, the complete check that names every problem of
// a file with its line, and writing a whole file with a fresh digest.
//
// File layout (line ends CR LF on disk; a CR LF counts as one LF when read and hashed):
//   1  the MD5 digest of line 2 to the end (LF line ends): sixteen "%3d," numbers
//   2  "NVI_DB_VERSION: 5"
//   3  counts: firmware entries, id maps, array-size maps, items ("%d,%d,%d,%d")
//   4  per firmware entry "<text>,<id map>,<array-size map>," (empty with none)
//   5+ per item "<name>," then "<id>," per id map, then "<array size>," per array-size map
//
// Threading: pure functions over caller-owned values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/platform/digest.h"

namespace kav {

constexpr int kNviDbVersion = 5;
// The longest item name or firmware text.
constexpr size_t kMaxNviDbText = 255;
// The largest file the loader reads; a database of 10,000 items for 100 firmware builds is
// about 6 MB.
constexpr size_t kMaxNviDbFileBytes = 64u << 20;
// Item ids travel in 16 bits: the file may hold others, which the check names.
constexpr int32_t kMaxNvItemId = 65535;

struct NvFirmwareEntry {
  std::string firmware;
  int32_t id_map = -1;
  int32_t array_size_map = -1;
};

// The database in memory: entries and items in file order; one column per map, holding one
// value per item (-1: the item does not exist under that map). A database without items keeps
// no columns, only the counts of its maps: a file of a few bytes may count two billion maps,
// and columns without values would hold nothing.
struct NvItemDatabase {
  std::vector<NvFirmwareEntry> firmware_entries;
  std::vector<std::string> item_names;
  std::vector<std::vector<int32_t>> id_maps;
  std::vector<std::vector<int32_t>> array_size_maps;
  size_t id_map_count = 0;
  size_t array_size_map_count = 0;
};

// How many maps of each kind the database has (its columns, or its counts without items).
inline size_t id_map_total(const NvItemDatabase& db) {
  return std::max(db.id_map_count, db.id_maps.size());
}
inline size_t array_size_map_total(const NvItemDatabase& db) {
  return std::max(db.array_size_map_count, db.array_size_maps.size());
}

// Calls `on_duplicate(map, item, first)` for every item whose id (other than -1) in id map
// `map` is also that of the earlier item `first`, map by map, until it returns false. One id
// table serves every map, so the cost follows the number of map values, not of maps; the rare
// ids outside 0..65535 go to a small map of their own.
template <typename OnDuplicate>
void for_each_duplicate_id(const NvItemDatabase& db, OnDuplicate on_duplicate) {
  constexpr size_t kUnseen = SIZE_MAX;
  std::vector<size_t> first_item(kMaxNvItemId + 1, kUnseen);
  std::unordered_map<int32_t, size_t> first_odd_item;
  for (size_t map = 0; map < db.id_maps.size(); ++map) {
    const std::vector<int32_t>& ids = db.id_maps[map];
    bool go_on = true;
    first_odd_item.clear();
    for (size_t i = 0; i < ids.size() && go_on; ++i) {
      if (ids[i] == -1) continue;
      const bool in_range = ids[i] >= 0 && ids[i] <= kMaxNvItemId;
      size_t& first = in_range ? first_item[static_cast<size_t>(ids[i])]
                               : first_odd_item.try_emplace(ids[i], kUnseen).first->second;
      if (first == kUnseen) {
        first = i;
      } else {
        go_on = on_duplicate(map, i, first);
      }
    }
    for (const int32_t id : ids) {
      if (id >= 0 && id <= kMaxNvItemId) first_item[static_cast<size_t>(id)] = kUnseen;
    }
    if (!go_on) return;
  }
}

// `bytes` with every CR LF turned into LF (lone CRs stay).
std::string normalise_line_ends(std::string_view bytes);

// What the first two lines of a (normalised) file say.
struct NviDbHeader {
  int digest_numbers = 0;  // how many of the sixteen digest numbers read
  bool version_found = false;
  int version = 0;
  bool digest_matches = false;   // the stored digest equals the MD5 of line 2 to the end
  platform::Md5Digest computed;  // the MD5 of line 2 to the end (set with the version)
  size_t version_line = 0;       // where line 2 starts (set with the version)
  size_t body = 0;               // where line 3 starts (after the version and white space)
};

// Reads the sixteen digest numbers (each up to three characters, leading white space allowed,
// then a comma; the low 8 bits count), the version line, and hashes the rest.
NviDbHeader read_nvi_db_header(const std::string& text);

// Parses the counts, firmware entries and item lines from `body` on into `db` (replaced).
// Returns an empty text, or what is wrong with the line number ("line 5: ..."). Refused is only
// what cannot be read whole (fewer lines or fields than counted, a field that is no number) or
// would index outside a map; lines after the counted items, ids outside 0..65535 and array
// sizes below -1 load as they are, and check_nvi_db names them.
std::string parse_nvi_db_body(const std::string& text, size_t body, NvItemDatabase* db);

// One problem of a database file: its line (1 is the digest line) and what is wrong there.
struct NviDbProblem {
  int line = 0;
  std::string text;
};

// The complete check of a (normalised) file: the digest and version lines, then the body as
// parse_nvi_db_body reads it, going on past a bad entry or item line, with what the load
// accepts but no modem can use (ids outside 0..65535, array sizes below -1, lines after the
// counted items), then the item names' order and the ids given twice within one id map. Returns
// every problem found, in the order found (none for a good file); `db` receives the entries and the
// item lines that read whole.
std::vector<NviDbProblem> check_nvi_db(const std::string& text, NvItemDatabase* db);

// The first entry whose text equals `firmware`, or none.
const NvFirmwareEntry* find_firmware_entry(const NvItemDatabase& db, std::string_view firmware);

// The digest line: sixteen "%3d," numbers (64 characters), without a line end.
std::string nvi_db_digest_line(const platform::Md5Digest& digest);

// The whole file for `db`: digest line, version 5, counts, entries and items, CR LF line ends.
std::string format_nvi_db(const NvItemDatabase& db);

}  // namespace kav
