// Shared set-up of the NV tests: a module directory in a temporary directory that the library
// uses for its NV item database, the database and resources back at their start state around
// each case, and helpers that write database files with right or wrong digests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "lib/core/library.h"
#include "lib/modem/lifecycle.h"
#include "lib/nv/nv_database.h"
#include "lib/nv/nv_db_format.h"
#include "lib/nv/nv_names.h"
#include "lib/platform/digest.h"
#include "lib/platform/resources.h"
#include "tests/support/test_env.h"

namespace kav::test {

// "NVI_DB_VERSION: ..." onwards (LF line ends) with its digest line in front; `crlf` turns every
// line end into CR LF, as the library writes them.
inline std::string with_digest(const std::string& body, bool crlf = true) {
  std::string text =
      nvi_db_digest_line(platform::md5_digest(body.data(), body.size())) + "\n" + body;
  if (!crlf) return text;
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Two firmware builds, two id maps, one array-size map, three items.
inline const char* kTwoFirmwareBody =
    "NVI_DB_VERSION: 5\n"
    "2,2,1,3\n"
    "9X15:1.0.0.0,0,0,9X15:1.1.0.0,1,0,\n"
    "NV_ALPHA_I,10,10,1,\n"
    "NV_BETA_I,20,-1,1,\n"
    "NV_GAMMA_I,30,31,4,\n";

class NvDbTest : public ::testing::Test {
 protected:
  NvDbTest() : module_env_("UMTS_KAV_MODULE_DIR", dir_.file("module")) {}

  void SetUp() override { reset_all(); }
  void TearDown() override { reset_all(); }

  static void reset_all() {
    reset_library_for_testing();
    reset_nv_database();
    clear_translated_nv_items();
    platform::restore_resources();
    set_db_open_retry_pause_ms(1);
  }

  std::string db_path() const { return dir_.file("module/umts_kav_lib.nvi_db"); }
  std::string rejected_path() const { return db_path() + ".rejected"; }
  void write_db(const std::string& text) { write_file_with_dirs(db_path(), text); }
  std::string db_text() const { return read_file(db_path()); }

  static void hide_default() {
    platform::override_resource(kDefaultDbResourceType, kDefaultDbResourceId, std::nullopt);
  }

  TempDir dir_;
  ScopedEnv module_env_;
};

}  // namespace kav::test
