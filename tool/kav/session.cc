#include "tool/kav/session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/core/status.h"
#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/modem/connect.h"
#include "lib/platform/console.h"
#include "lib/platform/devices.h"
#include "lib/platform/files.h"
#include "lib/transport/comm_mode.h"
#include "lib/transport/dm_port.h"
#include "tool/port_map_document.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::tool {
namespace {

constexpr uint32_t kBaudRate = 115200;

struct SinkFilter {
  bool quiet = false;
  bool terminal = false;
};
SinkFilter sink_filter;
bool library_started = false;

// The reset countdown draws dots and a carriage return on one line.
bool is_countdown(const char* text) {
  return text[0] != '\0' && std::strspn(text, ".\r") == std::strlen(text);
}

void show_library_message(const char* text) {
  if (text == nullptr) return;
  if (is_countdown(text) && (sink_filter.quiet || !sink_filter.terminal)) return;
  if (sink_filter.quiet && std::strncmp(text, "ERROR", 5) != 0) return;
  std::fputs(text, stderr);
  std::fflush(stderr);
}

// What a failed connect means to the user.
const char* connect_failure_text(ZqUmtsKavStatusEnum result) {
  switch (result) {
    case 15:
      return "no usable DM port (is the modem attached, is its port in the port map?)";
    case 16:
      return "the DM port could not be opened";
    case 51:
      return "the modem did not answer the mode probe";
    case 318:
      return "more than one DM port: choose one with --port";
    default:
      return "the connect failed";
  }
}

// The session ends before the result is printed: the connection is closed then (the library's
// closing line comes before kav's last line) instead of at exit.
void end_session() {
  if (dm_port_handle()) ZqUmtsKavDisconnect();
}

std::string basename_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<int> com_port_of(const std::string& port, std::string* error) {
  *error = "--port " + port + ": not COM<n>, /dev/ttyUSB<k>, /dev/ttyACM<k> or /dev/wwan<n>qcdm<m>";
  if (port.size() > 3 && (port[0] == 'C' || port[0] == 'c') && (port[1] == 'O' || port[1] == 'o') &&
      (port[2] == 'M' || port[2] == 'm')) {
    long n = 0;
    if (!parse_number(port.substr(3), 1, 1000, &n)) return std::nullopt;
    if (!platform::node_of_com_number(static_cast<int>(n))) return std::nullopt;
    return static_cast<int>(n);
  }
  const int com = platform::com_number_of_node(basename_of(port));
  if (com == 0) return std::nullopt;
  const std::optional<std::string> node = platform::com_device_node(com);
  if (port != "/dev/" + basename_of(port) && (!node || port != *node)) return std::nullopt;
  return com;
}

int check_port_option(const Invocation& inv) {
  const std::string* port = inv.value("--port");
  std::string error;
  if (port != nullptr && !com_port_of(*port, &error)) return usage_error(inv, "%s", error.c_str());
  return kExitOk;
}

void start_library(const Invocation& inv) {
  sink_filter.quiet = inv.quiet;
  sink_filter.terminal = platform::is_terminal(stderr);
  if (library_started) return;
  DllMain(1);
  std::atexit(umts_kav_lib_detach);
  library_started = true;
  // The port map as kelnorset has it; its "Added New Entry" reports are not shown.
  ZqUmtsKavPortMapUpdate(kKelnorsetPortMapDocument);
  ZqUmtsKavSetMessageSink(show_library_message);
  set_before_result(end_session);
  // One kav command after another on an attached modem: a port that proved stable long ago
  // and already carries DIAG traffic is used at once.
  set_fast_connect(true);
}

int connect_modem(Invocation& inv) {
  start_library(inv);
  const std::string* port = inv.value("--port");
  std::string error;
  const int com = port ? com_port_of(*port, &error).value_or(0) : 0;
  ZqUmtsKavSetConnectSettings(kBaudRate, port != nullptr, com);
  if (port == nullptr) progress(inv, "Looking for the modem's DM port...\n");
  const ZqUmtsKavStatusEnum result = ZqUmtsKavConnect();
  if (result == status::kSuccess) return kExitOk;
  return failure(inv, "cannot connect to the modem: %s (status %d)", connect_failure_text(result),
                 result);
}

int follow_moved_modem(const Invocation& inv) {
  if (inv.value("--port") == nullptr) return 0;
  const int left = current_com_port();
  if (left <= 0 || get_dm_port(left) == left) return 0;  // still there: a failure of its own
  char line[80];
  std::snprintf(line, sizeof line, "The modem left COM%d; looking for it...\n", left);
  progress(inv, line);
  const int now = get_dm_port_wait(
      static_cast<uint32_t>(timeout(Timeout::ZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT)), true, 0);
  if (now <= 0 || now == left) return 0;
  ZqUmtsKavSetConnectSettings(kBaudRate, true, now);
  return ZqUmtsKavConnect() == status::kSuccess ? now : 0;
}

int ensure_dm_mode(Invocation& inv) {
  if (current_comm_mode() == ZqUmtsKavCommMode_DM) return kExitOk;
  const ZqUmtsKavStatusEnum result = ZqUmtsKavSetModemCommMode(ZqUmtsKavCommMode_DM);
  if (result == status::kSuccess) return kExitOk;
  return failure(inv, "cannot bring the modem into DM mode (status %d)", result);
}

const ModemIdentity* modem_identity(Invocation& inv) {
  if (ensure_dm_mode(inv) != kExitOk) return nullptr;
  const ModemIdentity* identity = getModemId();
  if (identity == nullptr) failure(inv, "cannot read the modem's identity (no status record)");
  return identity;
}

}  // namespace kav::tool
