// The NV item database at the size of a large installation: 10,000 items for 50 firmware
// builds, each build with an id map and an array-size map of its own. Loading covers reading
// the file, the digest, parsing and the duplicate-id check; the look-ups are by name for one
// firmware build, plain and through the "ZQ_NV_" to "NV_ZQ_" translation.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "lib/core/messages.h"
#include "lib/nv/nv_database.h"
#include "lib/nv/nv_db_format.h"
#include "lib/nv/nv_names.h"
#include "lib/platform/files.h"

namespace {

constexpr int kItems = 10000;
constexpr int kFirmwareBuilds = 50;

std::string item_name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "NV_ITEM_%05d_I", i);
  return name;
}

kav::NvItemDatabase large_database() {
  kav::NvItemDatabase db;
  for (int f = 0; f < kFirmwareBuilds; ++f) {
    db.firmware_entries.push_back({"9X15:1.0." + std::to_string(f) + ".0", f, f});
    db.id_maps.emplace_back();
    db.array_size_maps.emplace_back();
  }
  for (int i = 0; i < kItems; ++i) db.item_names.push_back(item_name(i));
  db.item_names.push_back("NV_ZQ_USB_ID_I");  // sorts after the NV_ITEM_ names
  for (int f = 0; f < kFirmwareBuilds; ++f) {
    for (int i = 0; i <= kItems; ++i) {
      db.id_maps[f].push_back(i + f * 11);  // distinct within each map
      db.array_size_maps[f].push_back(i % 10 == 0 ? 8 : 1);
    }
  }
  return db;
}

// A module directory holding the large database file, made once.
void prepare() {
  static bool done = false;
  if (done) return;
  done = true;
  const std::filesystem::path module =
      std::filesystem::temp_directory_path() / "kav_nvi_db_bench_module";
  std::error_code ignored;
  std::filesystem::create_directories(module, ignored);
  setenv("UMTS_KAV_MODULE_DIR", module.c_str(), 1);
  kav::set_message_sink(nullptr);
  kav::set_logging(false, false);
  kav::platform::replace_file((module / kav::kNviDbFileName).string(),
                              kav::format_nvi_db(large_database()));
}

void BM_LoadDatabase(benchmark::State& state) {
  prepare();
  for (auto _ : state) {
    kav::reset_nv_database();
    if (!kav::load_db()) state.SkipWithError("load_db failed");
  }
  state.counters["items"] = kItems;
  state.counters["firmware"] = kFirmwareBuilds;
}
BENCHMARK(BM_LoadDatabase)->Unit(benchmark::kMillisecond);

void BM_Lookup(benchmark::State& state) {
  prepare();
  kav::reset_nv_database();
  kav::load_db();
  std::string names[64];
  for (int i = 0; i < 64; ++i) names[i] = item_name(i * 151 % kItems);
  int n = 0;
  for (auto _ : state) {
    kav::NvItemInfo info;
    benchmark::DoNotOptimize(kav::lookup_nv_item(names[n++ & 63].c_str(), "9X15:1.0.49.0", &info));
  }
}
BENCHMARK(BM_Lookup);

void BM_LookupTranslated(benchmark::State& state) {
  prepare();
  kav::reset_nv_database();
  kav::load_db();
  for (auto _ : state) {
    kav::NvItemInfo info;
    benchmark::DoNotOptimize(kav::lookup_nv_item("ZQ_NV_USB_ID_I", "9X15:1.0.49.0", &info));
  }
}
BENCHMARK(BM_LookupTranslated);

}  // namespace

BENCHMARK_MAIN();
