// ZqUmtsKavSendGenericDMCommand: one DIAG request of the host's making, sent in DM mode, and
// the response that answers it.
#include <cstring>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/modem/comm_modes.h"
#include "lib/modem/connect.h"
#include "lib/modem/generic_dm_command.h"
#include "lib/transport/comm_mode.h"
#include "lib/transport/just_reset.h"
#include "lib/transport/response_loop.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav {

namespace {

// Every request goes out as a whole NV packet: hosts with shorter commands pad them.
constexpr uint32_t kRequestSize = sizeof(NvItemPacket);
static_assert(kGenericResponseCapacity == sizeof(NvItemPacket));
constexpr int kSends = 5;

struct Exchange {
  const uint8_t* request;
  uint8_t* response;  // may be null
  size_t match_length;
  int32_t* response_length;  // may be null
  size_t response_capacity;
  bool settled = false;
  ZqUmtsKavStatusEnum result = status::kNoResponse;
};

void report_not_supported(const Exchange& exchange) {
  const uint8_t* request = exchange.request;
  if (exchange.match_length == 1) {
    show_msg("ERROR: ZqUmtsKavSendGenericDMCommand command 0x%2.2X not supported on this modem.\n",
             request[0]);
    return;
  }
  show_msg(
      "ERROR: ZqUmtsKavSendGenericDMCommand command 0x%2.2X-%2.2X-%4.4X not supported on this "
      "modem.\n",
      request[0], request[1], request[2] | (request[3] << 8));
}

Next take_response(Exchange* exchange, const uint8_t* data, int32_t length) {
  // A short answer compares as if padded with zeros.
  const auto head = leading_bytes<5>(data, length);
  if (std::memcmp(head.data(), exchange->request, exchange->match_length) == 0) {
    exchange->settled = true;
    exchange->result = status::kSuccess;
    if (exchange->response == nullptr) return Next::kStop;
    if (static_cast<size_t>(length) > exchange->response_capacity) {
      show_msg("ERROR: ZqUmtsKavSendGenericDMCommand response too big for rsp_buff.\n");
      exchange->result = status::kResponseTooBig;
      return Next::kStop;
    }
    std::memcpy(exchange->response, data, static_cast<size_t>(length));
    if (exchange->response_length != nullptr) *exchange->response_length = length;
    return Next::kStop;
  }
  // A refusal echoes the request it refuses after its own code. One that echoes another
  // request (a late answer to connect's probe, 13 06) says nothing of this one.
  if (head[0] == diag::kCmdBadCommand &&
      std::memcmp(head.data() + 1, exchange->request, exchange->match_length) == 0) {
    exchange->settled = true;
    exchange->result = status::kNotSupported;
    report_not_supported(*exchange);
    return Next::kStop;
  }
  return Next::kReadOn;  // late answers and refusals of earlier requests, log packets
}

// The modem must be in DM mode; one in DL mode is reset into it.
ZqUmtsKavStatusEnum ensure_dm_mode() {
  if (check_connection_mode() != status::kSuccess) {
    show_msg("ERROR: Unable to determine current connection mode.\n");
    show_msg("ERROR: Must be in DM mode for ZqUmtsKavSendGenericDMCommand.\n");
    return status::kModeUndetermined;
  }
  if (current_comm_mode() != ZqUmtsKavCommMode_DL) return status::kSuccess;
  clear_modem_caches();
  if (move_dl_to_dm() != status::kSuccess) {
    show_msg("ERROR: Must be in DM mode for ZqUmtsKavSendGenericDMCommand.\n");
    return status::kMoveToDmFailed;
  }
  return status::kSuccess;
}

}  // namespace

ZqUmtsKavStatusEnum send_generic_dm_command(const uint8_t* cmd_buff, uint8_t* rsp_buff,
                                            int32_t* rsp_length, size_t rsp_capacity) {
  if (rsp_length != nullptr) *rsp_length = 0;
  if (cmd_buff == nullptr) {
    show_msg("ERROR: ZqUmtsKavSendGenericDMCommand called with empty cmd_buff.\n");
    return status::kNoRequest;
  }
  const ZqUmtsKavStatusEnum mode = ensure_dm_mode();
  if (mode != status::kSuccess) return mode;
  Exchange exchange{cmd_buff, rsp_buff, cmd_buff[0] == diag::kCmdSubsystem ? 4u : 1u, rsp_length,
                    rsp_capacity};
  for (int send = 0; send < kSends && !exchange.settled; ++send) {
    if (!send_state_request(cmd_buff, kRequestSize, false)) continue;
    for_each_response(timeout(Timeout::RESPONSE_WAIT), [&](const uint8_t* data, int32_t length) {
      return take_response(&exchange, data, length);
    });
  }
  if (!exchange.settled) {
    show_msg("ERROR: ZqUmtsKavSendGenericDMCommand failed.\n");
    return status::kNoResponse;
  }
  return exchange.result;
}

}  // namespace kav

ZqUmtsKavStatusEnum ZqUmtsKavSendGenericDMCommand(const uint8_t* cmd_buff, uint8_t* rsp_buff) {
  return kav::send_generic_dm_command(cmd_buff, rsp_buff, nullptr);
}
