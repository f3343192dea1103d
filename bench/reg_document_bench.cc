// Loading a settings file whose values are long hex lists continued over lines, as the registry
// editor writes them (25 bytes a line): one value of N bytes (the worst case for a parser that
// re-reads the list on every line), and a 10 MB file of many such values, parsed from text and
// read from disk through the user hive.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "lib/platform/reg_file.h"
#include "lib/platform/registry.h"

namespace {

using kav::platform::RegDocument;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Bench]\n";

// A value line of `bytes` bytes in continued hex.
std::string hex_value(const std::string& name, size_t bytes) {
  std::string text = "\"" + name + "\"=hex:";
  for (size_t i = 0; i < bytes; ++i) {
    char item[4];
    std::snprintf(item, sizeof item, "%02x", static_cast<unsigned>(i & 0xff));
    text += item;
    if (i + 1 < bytes) text += (i + 1) % 25 == 0 ? ",\\\n  " : ",";
  }
  return text + "\n";
}

// About `size` bytes of text: values of `value_bytes` bytes each.
std::string settings_text(size_t size, size_t value_bytes) {
  std::string text = kHeader;
  for (int n = 0; text.size() < size; ++n) text += hex_value("v" + std::to_string(n), value_bytes);
  return text;
}

void parse(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    RegDocument doc;
    std::string problem;
    if (!doc.parse(text, &problem)) state.SkipWithError(problem.c_str());
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// One value of range(0) bytes.
void BM_ParseOneLongHexList(benchmark::State& state) {
  parse(state, kHeader + hex_value("blob", static_cast<size_t>(state.range(0))));
}
BENCHMARK(BM_ParseOneLongHexList)
    ->Arg(16 << 10)
    ->Arg(160 << 10)
    ->Arg(3 << 20)
    ->Unit(benchmark::kMillisecond);

// A 10 MB file of 64 KiB values.
void BM_Parse10MBFile(benchmark::State& state) {
  parse(state, settings_text(10u << 20, 64u << 10));
}
BENCHMARK(BM_Parse10MBFile)->Unit(benchmark::kMillisecond);

// The same file read from disk and queried through the hive, as an attach reads it.
void BM_Query10MBFile(benchmark::State& state) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "kav_reg_document_bench.reg";
  {
    std::FILE* out = std::fopen(file.c_str(), "w");
    const std::string text = settings_text(10u << 20, 64u << 10);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
  }
  kav::platform::RegFileHive hive(file.string());
  for (auto _ : state) {
    kav::platform::RegValue value;
    if (hive.query_value("Bench", "v0", &value) != 0) state.SkipWithError("query failed");
    benchmark::DoNotOptimize(value);
  }
  std::filesystem::remove(file);
}
BENCHMARK(BM_Query10MBFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
