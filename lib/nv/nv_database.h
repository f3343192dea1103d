// The NV item database of the process (NvItemDatabase): where its file "umts_kav_lib.nvi_db"
// lives, the choice among the existing file, a copy of the compiled-in default and an empty
// database, loading it once, and the two firmware queries.
//
// Placement: the file is kept in the module directory. When that directory exists but may not
// be written (an installed program run by a user), the file there is still read first, and the
// database is otherwise kept in ${XDG_DATA_HOME:-$HOME/.local/share}/umts_kav_lib/. A file that
// fails its checks is never deleted: it is renamed to "umts_kav_lib.nvi_db.rejected". Files
// are written whole through a temporary file and a rename.
//
// Threading: the host thread only. Loads of several processes take turns on a lock of the
// database's directory; the database is loaded by the first look-up and not changed afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lib/nv/nv_db_format.h"

namespace kav {

constexpr const char* kNviDbFileName = "umts_kav_lib.nvi_db";
constexpr const char* kRejectedNviDbSuffix = ".rejected";
constexpr const char* kDefaultDbResourceType = "UMTS_KAV_LIB_DEFAULT_DB";
constexpr int kDefaultDbResourceId = 28544;
// Tries of open_db_file and the pause between two of them.
constexpr int kDbOpenAttempts = 5;
constexpr uint32_t kDefaultDbOpenRetryPauseMs = 500;

// Loads the database unless it is loaded; true when it is loaded. A load that fails is not
// tried again in the process (its failure was reported); errors that stay until someone acts
// are not retried within the load either. When no file can be written for lack of space, the
// built-in default is used from memory.
bool load_db();

// The id-map / array-size-map index of the first firmware entry whose text equals `firmware`,
// or -1 (also for no text).
int32_t firmware_id_map(const char* firmware);
int32_t firmware_array_size_map(const char* firmware);

// The database as loaded (empty before the first successful load_db).
const NvItemDatabase& nv_item_database();

// Set after the first successful load and never cleared.
bool db_loaded();
// Set when the load failed: the database is unavailable to this process.
bool db_load_failed();
// Set while the file being verified and loaded is a fresh copy of the default resource.
bool default_db_in_use();

// The full name of the file the database is kept in; none (reported) without a module
// directory.
std::optional<std::string> db_file_name();

// Rewrites the database file from NvItemDatabase with a correct digest.
bool save_db();

// The pause between tries of opening the file (tests shorten it).
void set_db_open_retry_pause_ms(uint32_t ms);

// Back to the state of a fresh process (tests): nothing loaded, flags clear, pause at default.
void reset_nv_database();

}  // namespace kav
