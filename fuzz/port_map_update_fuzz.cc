// Feeds arbitrary documents, as text, to the port-map update. Beyond memory safety and stack
// depth it checks the result: a text source is never taken for a file name, so the result is
// always 0, 367 or 368. Messages and logs are switched off for speed; the mask rebuild at the
// end of each update scans an empty device view.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "lib/core/messages.h"
#include "umts_kav/umts_kav_lib.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // An empty device root: no scan ever finds a real device of the machine running the fuzzer.
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / "kav_port_map_update_fuzz_root";
  std::error_code ignored;
  std::filesystem::create_directories(root, ignored);
  setenv("UMTS_KAV_ROOT", root.c_str(), 1);
  kav::set_message_sink(nullptr);
  kav::set_logging(false, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The operation takes a zero-terminated text: cut at the first zero byte, and make sure the
  // text reads as a document rather than as a file name.
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  if (text.find_first_of("<>") == std::string::npos) text.insert(0, "<");
  const ZqUmtsKavStatusEnum result = ZqUmtsKavPortMapUpdate(text.c_str());
  check(result == 0 || result == 367 || result == 368);
  return 0;
}
