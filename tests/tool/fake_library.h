// A link-time double of UMTS_KAV_LIB's public operations for the update command's tests: the
// operations of include/umts_kav/umts_kav_lib.h answered by a scriptable model instead of a modem.
//
// The model keeps what the real library keeps for a host: attached or not, the installed
// message sink, connected or not. NV requests sent with ZqUmtsKavSendGenericDMCommand are
// answered by a small NV store that behaves like a modem (reads of unwritten items answer
// status 5, writes are echoed with the data they carried), and each request may be scripted
// to fail or to be answered differently. Messages go through the installed sink as the real
// library's do; the detach routine and disconnect print "Closing the Modem Connection.\n" when
// connected. Every call is appended to a call log, kept in memory and, when a file descriptor
// is set, written to it at once, so a parent process can read the log of a forked child.
//
// Threading: single-threaded, like a host of the library. State is process-wide; a test
// scripts it, then forks the child that runs the command.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "umts_kav/umts_kav_lib.h"

namespace kav::tool_test {

// Messages the double issues through the sink. The connect message carries printf directives
// so a test sees whether the host prints a message unchanged.
inline constexpr const char* kAttachMessage = "FAKE attach: UMTS_KAV_LIB 3.22, logs opened\n";
inline constexpr const char* kConnectMessage = "FAKE connect: DM port COM7 at 100% \"%s\" %d\n";
inline constexpr const char* kClosingMessage = "Closing the Modem Connection.\n";

// The line a failing operation reports before returning its code.
std::string failure_message(const char* operation, ZqUmtsKavStatusEnum result);

// How one NV request (counted from 0 in the order sent) is answered. Unset fields keep what
// the NV store answered.
struct ResponseScript {
  ZqUmtsKavStatusEnum result = 0;  // nonzero: reported and returned, nothing copied
  std::optional<uint8_t> cmd_code;
  std::optional<uint16_t> item;
  std::optional<uint16_t> nv_stat;
  std::optional<std::array<uint8_t, 128>> data;
  size_t copy_length = sizeof(NvItemPacket);  // bytes copied into the response buffer
};

// The modem's NV items: an item absent from `items` was never written (status 5).
struct NvStore {
  std::map<uint16_t, std::array<uint8_t, 128>> items;
  std::set<uint16_t> read_only;    // writes refused with status 7, data echoed
  bool echo_without_data = false;  // write echoes carry zero data
};

struct FakeScript {
  ZqUmtsKavStatusEnum port_map_result = 0;
  ZqUmtsKavStatusEnum connect_result = 0;
  ZqUmtsKavStatusEnum disconnect_result = 0;  // a failing disconnect leaves the port open
  NvStore store;
  std::map<size_t, ResponseScript> responses;  // by request index
};

// Clears the script, the state, the call log and both descriptors.
void reset_fake_library();
FakeScript& fake_script();

// Call-log lines: "<event>\t<bytes>", where bytes is the size of the file behind the output
// probe descriptor at the time of the call (-1 without one), i.e. how much output had been
// flushed. Events: "DllMain <reason>", "detach", "SetMessageSink set|null",
// "PortMapUpdate <document>", "SetConnectSettings <baud> <0|1> <port>", "Connect",
// "SendGenericDMCommand <request as upper-case hex>", "Disconnect".
void set_call_log_fd(int fd);
void set_output_probe_fd(int fd);
const std::vector<std::string>& call_log();

// Text helpers for NV data fields.
std::array<uint8_t, 128> nv_data(const std::string& text);
std::string to_hex(const uint8_t* bytes, size_t count);

}  // namespace kav::tool_test
