// The scriptable double of the library's public operations (see fake_library.h).
#include "tests/tool/fake_library.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/core/status.h"
#include "lib/transport/diag_packets.h"

namespace kav::tool_test {
namespace {

struct FakeState {
  FakeScript script;
  bool attached = false;
  bool connected = false;
  ZqUmtsKavMessageSink sink = nullptr;
  size_t requests_sent = 0;
  std::vector<std::string> log;
  std::vector<std::string> message_log;  // what the library's message log would hold
  int log_fd = -1;
  int probe_fd = -1;
};

FakeState& state() {
  static FakeState instance;
  return instance;
}

long long flushed_output_bytes() {
  struct stat info {};
  if (state().probe_fd < 0 || fstat(state().probe_fd, &info) != 0) return -1;
  return static_cast<long long>(info.st_size);
}

void record(const std::string& event) {
  const std::string line = event + "\t" + std::to_string(flushed_output_bytes());
  state().log.push_back(line);
  if (state().log_fd < 0) return;
  const std::string with_newline = line + "\n";
  const ssize_t written = write(state().log_fd, with_newline.data(), with_newline.size());
  (void)written;  // a short log write shows up as a failed comparison in the parent
}

// As the library's show_msg: the message log always, the sink when installed.
void show(const std::string& text) {
  state().message_log.push_back(text);
  if (state().sink != nullptr) state().sink(text.c_str());
}

ZqUmtsKavStatusEnum report(const char* operation, ZqUmtsKavStatusEnum result) {
  if (result != 0) show(failure_message(operation, result));
  return result;
}

void close_connection() {
  if (!state().connected) return;
  show(kClosingMessage);
  state().connected = false;
}

// The NV store's answer to one request, before any script is applied.
NvItemPacket answer_from_store(const NvItemPacket& request) {
  NvItemPacket response = request;
  NvStore& store = state().script.store;
  const uint16_t item = request.item;
  if (request.cmd_code == kav::diag::kCmdNvRead) {
    const auto found = store.items.find(item);
    std::memset(response.data, 0, sizeof response.data);
    if (found != store.items.end()) std::memcpy(response.data, found->second.data(), 128);
    response.nv_stat = found != store.items.end() ? kav::diag::kNvDone : kav::diag::kNvInactive;
  } else if (request.cmd_code == kav::diag::kCmdNvWrite) {
    if (store.read_only.count(item) != 0) {
      response.nv_stat = kav::diag::kNvReadOnly;
    } else {
      std::array<uint8_t, 128> value{};
      std::memcpy(value.data(), request.data, value.size());
      store.items[item] = value;
      response.nv_stat = kav::diag::kNvDone;
    }
    if (store.echo_without_data) std::memset(response.data, 0, sizeof response.data);
  } else {
    response.cmd_code = kav::diag::kCmdBadCommand;
  }
  return response;
}

void apply(const ResponseScript& script, NvItemPacket& response) {
  if (script.cmd_code) response.cmd_code = *script.cmd_code;
  if (script.item) response.item = *script.item;
  if (script.nv_stat) response.nv_stat = *script.nv_stat;
  if (script.data) std::memcpy(response.data, script.data->data(), sizeof response.data);
}

}  // namespace

std::string failure_message(const char* operation, ZqUmtsKavStatusEnum result) {
  return std::string("FAKE ERROR: ") + operation + " failed with " + std::to_string(result) + "\n";
}

void reset_fake_library() {
  state() = FakeState{};
}
FakeScript& fake_script() {
  return state().script;
}
void set_call_log_fd(int fd) {
  state().log_fd = fd;
}
void set_output_probe_fd(int fd) {
  state().probe_fd = fd;
}
const std::vector<std::string>& call_log() {
  return state().log;
}

std::array<uint8_t, 128> nv_data(const std::string& text) {
  std::array<uint8_t, 128> data{};
  std::memcpy(data.data(), text.data(), std::min(text.size(), data.size()));
  return data;
}

std::string to_hex(const uint8_t* bytes, size_t count) {
  std::string hex;
  char pair[3];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%2.2X", bytes[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace kav::tool_test

using kav::tool_test::state;

// Attach clears the sink before it issues messages, so its own messages reach only the
// message log; detach closes an open connection while the sink is still installed.
int DllMain(uint32_t ul_reason_for_call) {
  kav::tool_test::record("DllMain " + std::to_string(ul_reason_for_call));
  if (ul_reason_for_call == 1) {
    kav::tool_test::close_connection();
    state().sink = nullptr;
    kav::tool_test::show(kav::tool_test::kAttachMessage);
    state().attached = true;
    return 1;
  }
  if (ul_reason_for_call == 0) {
    kav::tool_test::close_connection();
    state().sink = nullptr;
    state().attached = false;
    return 1;
  }
  return 0;
}

void umts_kav_lib_detach() {
  kav::tool_test::record("detach");
  kav::tool_test::close_connection();
  state().sink = nullptr;
  state().attached = false;
}

void ZqUmtsKavSetMessageSink(ZqUmtsKavMessageSink sink) {
  kav::tool_test::record(std::string("SetMessageSink ") + (sink != nullptr ? "set" : "null"));
  state().sink = sink;
}

ZqUmtsKavStatusEnum ZqUmtsKavPortMapUpdate(const char* xml_source) {
  kav::tool_test::record(std::string("PortMapUpdate ") + (xml_source ? xml_source : "(null)"));
  return kav::tool_test::report("ZqUmtsKavPortMapUpdate", state().script.port_map_result);
}

void ZqUmtsKavSetConnectSettings(uint32_t baud_rate, bool fixed_port_mode,
                                 int32_t requested_com_port) {
  kav::tool_test::record("SetConnectSettings " + std::to_string(baud_rate) + " " +
                         std::to_string(fixed_port_mode ? 1 : 0) + " " +
                         std::to_string(requested_com_port));
}

ZqUmtsKavStatusEnum ZqUmtsKavConnect() {
  kav::tool_test::record("Connect");
  if (state().script.connect_result != 0) {
    return kav::tool_test::report("ZqUmtsKavConnect", state().script.connect_result);
  }
  state().connected = true;
  kav::tool_test::show(kav::tool_test::kConnectMessage);
  return 0;
}

ZqUmtsKavStatusEnum ZqUmtsKavDisconnect() {
  kav::tool_test::record("Disconnect");
  if (state().script.disconnect_result != 0) {
    return kav::tool_test::report("ZqUmtsKavDisconnect", state().script.disconnect_result);
  }
  kav::tool_test::close_connection();
  return 0;
}

ZqUmtsKavStatusEnum ZqUmtsKavSendGenericDMCommand(const uint8_t* cmd_buff, uint8_t* rsp_buff) {
  using namespace kav::tool_test;
  if (cmd_buff == nullptr) {
    record("SendGenericDMCommand (null)");
    return report("ZqUmtsKavSendGenericDMCommand", kav::status::kNoRequest);
  }
  record("SendGenericDMCommand " + to_hex(cmd_buff, sizeof(NvItemPacket)));
  const size_t index = state().requests_sent++;
  if (!state().connected) return report("ZqUmtsKavSendGenericDMCommand", kav::status::kNoPortOpen);
  NvItemPacket request;
  std::memcpy(&request, cmd_buff, sizeof request);
  NvItemPacket response = answer_from_store(request);
  size_t copy_length = sizeof response;
  const auto scripted = state().script.responses.find(index);
  if (scripted != state().script.responses.end()) {
    if (scripted->second.result != 0) {
      return report("ZqUmtsKavSendGenericDMCommand", scripted->second.result);
    }
    apply(scripted->second, response);
    copy_length = std::min(scripted->second.copy_length, sizeof response);
  }
  if (rsp_buff != nullptr) std::memcpy(rsp_buff, &response, copy_length);
  return 0;
}
