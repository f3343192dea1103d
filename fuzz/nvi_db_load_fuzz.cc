// Feeds arbitrary bytes to the NV item database loader, twice: straight to the text parser
// (whatever the digest says, so that every input reaches the counts and item lines), and as the
// database file itself through load_db, which checks, rejects, replaces and loads it. Beyond
// memory safety and bounded allocation it checks what a successful parse promises: every
// column holds one value per item, map indexes are in range, and writing the database out and
// parsing it again gives the same database.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "lib/core/messages.h"
#include "lib/nv/nv_database.h"
#include "lib/nv/nv_db_format.h"
#include "lib/platform/files.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool same(const kav::NvItemDatabase& a, const kav::NvItemDatabase& b) {
  if (a.item_names != b.item_names || a.id_maps != b.id_maps ||
      a.array_size_maps != b.array_size_maps || kav::id_map_total(a) != kav::id_map_total(b) ||
      kav::array_size_map_total(a) != kav::array_size_map_total(b) ||
      a.firmware_entries.size() != b.firmware_entries.size()) {
    return false;
  }
  for (size_t i = 0; i < a.firmware_entries.size(); ++i) {
    const auto& x = a.firmware_entries[i];
    const auto& y = b.firmware_entries[i];
    if (x.firmware != y.firmware || x.id_map != y.id_map || x.array_size_map != y.array_size_map)
      return false;
  }
  return true;
}

void check_shape(const kav::NvItemDatabase& db) {
  for (const auto& column : db.id_maps) check(column.size() == db.item_names.size());
  for (const auto& column : db.array_size_maps) check(column.size() == db.item_names.size());
  for (const auto& entry : db.firmware_entries) {
    check(entry.id_map >= -1 && entry.id_map < static_cast<int64_t>(kav::id_map_total(db)));
    check(entry.array_size_map >= -1 &&
          entry.array_size_map < static_cast<int64_t>(kav::array_size_map_total(db)));
  }
}

std::string g_db_file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // On a memory file system when there is one: the loader's writes flush to disk, which on a
  // real disk would cost most of the run time.
  std::error_code shm_error;
  const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", shm_error)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
  const std::filesystem::path module = base / "kav_nvi_db_load_fuzz_module";
  std::error_code ignored;
  std::filesystem::create_directories(module, ignored);
  setenv("UMTS_KAV_MODULE_DIR", module.c_str(), 1);
  g_db_file = (module / kav::kNviDbFileName).string();
  kav::set_message_sink(nullptr);
  kav::set_logging(false, false);
  kav::set_db_open_retry_pause_ms(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = kav::normalise_line_ends(bytes);
  const kav::NviDbHeader header = kav::read_nvi_db_header(text);
  kav::NvItemDatabase db;
  if (header.version_found && kav::parse_nvi_db_body(text, header.body, &db).empty()) {
    check_shape(db);
    const std::string written = kav::normalise_line_ends(kav::format_nvi_db(db));
    const kav::NviDbHeader again = kav::read_nvi_db_header(written);
    check(again.digest_matches && again.version == kav::kNviDbVersion);
    kav::NvItemDatabase reread;
    check(kav::parse_nvi_db_body(written, again.body, &reread).empty());
    check(same(db, reread));
  }
  // The complete check reads any input, keeps the columns in step, and finds no fault only in a
  // file that the loader's parse takes.
  kav::NvItemDatabase checked;
  const std::vector<kav::NviDbProblem> problems = kav::check_nvi_db(text, &checked);
  check_shape(checked);
  if (problems.empty()) {
    check(header.version_found && header.digest_matches &&
          kav::parse_nvi_db_body(text, header.body, &db).empty());
  }

  check(kav::platform::replace_file(g_db_file, bytes) == 0);
  kav::reset_nv_database();
  kav::set_db_open_retry_pause_ms(0);
  if (kav::load_db()) check_shape(kav::nv_item_database());
  return 0;
}
