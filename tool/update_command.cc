// The update command's fixed sequence over the library's public operations.
#include "tool/update_command.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "lib/core/status.h"
#include "lib/transport/diag_packets.h"
#include "tool/port_map_document.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::tool {
namespace {

constexpr uint16_t kNvItem = 5078;
constexpr uint32_t kCompatibleVersion = 0x20000;

// The value written, seven characters and the terminating zero. The write request is filled
// from this copy and the modem's echo is compared with it.
constexpr char kValue[] = "Tarvell";

constexpr char kBanner[] =
    "\nkelnorset\n\nUsage: kelnorset\n    Sets NV item 5078 to \"Tarvell\\0\".\n\n\n";

// Where the command and the message sink write; set at the start of every run and kept for
// the detach routine, which may still send a message at process exit.
std::FILE* output_stream = nullptr;

// Set once the library's attach has run; the library is attached at most once per process.
bool library_attached = false;

[[gnu::format(printf, 1, 2)]] void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(output_stream, format, args);
  va_end(args);
  std::fflush(output_stream);
}

// The library's message sink: the text is already formatted and is written unchanged.
void write_library_message(const char* text) {
  if (output_stream == nullptr || text == nullptr) return;
  std::fputs(text, output_stream);
  std::fflush(output_stream);
}

void attach_library_once() {
  if (library_attached) return;
  DllMain(1);
  std::atexit(umts_kav_lib_detach);
  library_attached = true;
}

// Length of a response's data as text: up to the first zero, never beyond the 128 bytes (a
// modem may fill the whole field without a terminator).
int text_length(const uint8_t (&data)[128]) {
  const void* zero = std::memchr(data, 0, sizeof data);
  return zero == nullptr ? static_cast<int>(sizeof data)
                         : static_cast<int>(static_cast<const uint8_t*>(zero) - data);
}

const char* as_text(const uint8_t (&data)[128]) {
  return reinterpret_cast<const char*>(data);
}

NvItemPacket nv_request(uint8_t cmd_code) {
  NvItemPacket request;
  std::memset(&request, 0, sizeof request);
  request.cmd_code = cmd_code;
  request.item = kNvItem;
  return request;
}

// Sends one NV request. True when the library delivered a response that echoes the request's
// command code and item. The response buffer is cleared first, so a response shorter than the
// packet cannot leave the data of an earlier one behind.
bool exchange(const NvItemPacket& request, NvItemPacket& response) {
  std::memset(&response, 0, sizeof response);
  const ZqUmtsKavStatusEnum result = ZqUmtsKavSendGenericDMCommand(
      reinterpret_cast<const uint8_t*>(&request), reinterpret_cast<uint8_t*>(&response));
  return result == status::kSuccess && response.cmd_code == request.cmd_code &&
         response.item == request.item;
}

// The two reads differ only in their wording and in what an inactive item means: before the
// write it is a value to report, after the write a failure.
struct ReadStep {
  const char* label;  // "Initial" or "Final"
  bool inactive_is_failure;
};
constexpr ReadStep kInitialRead{"Initial", false};
constexpr ReadStep kFinalRead{"Final", true};

bool read_value(const NvItemPacket& request, const ReadStep& step) {
  NvItemPacket response;
  if (!exchange(request, response)) {
    print("ERROR: Read NV command failure.\n");
    return false;
  }
  const uint16_t nv_stat = response.nv_stat;
  if (nv_stat == diag::kNvInactive) {
    print("%s%s value of NV item %d is INACTIVE\n", step.inactive_is_failure ? "ERROR: " : "",
          step.label, kNvItem);
    return !step.inactive_is_failure;
  }
  if (nv_stat != diag::kNvDone) {
    print("ERROR: Failure to read NV item value, nv_stat = 0x%4.4X.\n", nv_stat);
    return false;
  }
  print("%s value of NV item %d is \"%.*s\"\n", step.label, kNvItem, text_length(response.data),
        as_text(response.data));
  return true;
}

bool write_value() {
  NvItemPacket request = nv_request(diag::kCmdNvWrite);
  std::strncpy(reinterpret_cast<char*>(request.data), kValue, sizeof request.data);
  NvItemPacket response;
  if (!exchange(request, response)) {
    print("ERROR: Write NV command failure.\n");
    return false;
  }
  // The echo's data is checked before its status: a refused write whose echo does not carry
  // the value is reported as a command failure.
  if (std::strncmp(as_text(response.data), kValue, sizeof response.data) != 0) {
    print("ERROR: Write NV command failure.\n");
    return false;
  }
  const uint16_t nv_stat = response.nv_stat;
  if (nv_stat != diag::kNvDone) {
    print("ERROR: Failure to write NV item value, nv_stat = 0x%4.4X.\n", nv_stat);
    return false;
  }
  return true;
}

// Reads the item again with the initial read's request, its data and status cleared. The
// value read is reported, not compared with the one written.
bool read_final_value(NvItemPacket& request) {
  std::memset(request.data, 0, sizeof request.data);
  request.nv_stat = 0;
  return read_value(request, kFinalRead);
}

bool connect_to_modem() {
  if (ZqUmtsKavPortMapUpdate(kKelnorsetPortMapDocument) != status::kSuccess) {
    print("ERROR: Failure to add Vorla entries to port mapper.\n");
    return false;
  }
  ZqUmtsKavSetConnectSettings(115200, false, 0);
  if (ZqUmtsKavConnect() != status::kSuccess) {
    print("ERROR: Failure to connect to modem.\n");
    return false;
  }
  return true;
}

bool update_nv_item() {
  NvItemPacket read_request = nv_request(diag::kCmdNvRead);
  return read_value(read_request, kInitialRead) && write_value() && read_final_value(read_request);
}

}  // namespace

int run_update_command(std::FILE* out) {
  output_stream = out;
  print("%s", kBanner);
  attach_library_once();
  // Installed after attach: attach clears the sink, and its own messages go to the log only.
  ZqUmtsKavSetMessageSink(write_library_message);
  if (!connect_to_modem() || !update_nv_item()) return 1;
  if (ZqUmtsKavDisconnect() != status::kSuccess) {
    print("ERROR: Failure to disconnect from modem.\n");
    return 1;
  }
  print("Program completed.\n");
  return 0;
}

uint32_t compatible_version() {
  return kCompatibleVersion;
}

}  // namespace kav::tool
