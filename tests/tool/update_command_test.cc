// Whole runs of the update command against the library double: each run happens in a forked
// child that ends with std::exit, so the detach routine registered by the command runs from the
// exit handler list as in the real program. The output, the exit status and the calls made
// are compared with what a run must produce.
#include "tool/update_command.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/transport/diag_packets.h"
#include "tests/tool/fake_library.h"

namespace kav::tool_test {
namespace {

using ::testing::ElementsAre;

const std::string kBanner =
    "\nkelnorset\n\nUsage: kelnorset\n    Sets NV item 5078 to \"Tarvell\\0\".\n\n\n";
const std::string kPortMapDocument =
    "<UmtsKavConfig><Modem><Name>ZQTL Vorla</Name><PortId PortType=\"PT_DM\">USB\\VID_5C8E&amp;"
    "PID_A7E2&amp;MI_01</PortId></Modem><Modem><Name>ZQTL Vorla</Name><PortId "
    "PortType=\"PT_DM\">USB\\VID_5C8E&amp;PID_A7E3&amp;MI_01</PortId></Modem><Modem><Name>ZQTL "
    "Halvern</Name><PortId PortType=\"PT_DM\">USB\\VID_3E94&amp;PID_D41B&amp;MI_01</PortId>"
    "</Modem></UmtsKavConfig>";
const std::string kConnected = kBanner + kConnectMessage;
const std::string kInitialInactive = "Initial value of NV item 5078 is INACTIVE\n";
const std::string kFinalTarvell = "Final value of NV item 5078 is \"Tarvell\"\n";
const std::string kReadFailure = "ERROR: Read NV command failure.\n";
const std::string kWriteFailure = "ERROR: Write NV command failure.\n";
const std::string kDmFailure = failure_message("ZqUmtsKavSendGenericDMCommand", 441);
constexpr uint16_t kItem = 5078;

struct LogEntry {
  std::string event;
  long long flushed_bytes;
};

struct CommandRun {
  int status = -1;
  std::string output;
  std::vector<LogEntry> log;

  std::vector<std::string> events() const {
    std::vector<std::string> names;
    for (const LogEntry& entry : log) names.push_back(entry.event);
    return names;
  }
  // The requests passed to the generic DM command, in the order sent.
  std::vector<std::string> requests() const {
    const std::string prefix = "SendGenericDMCommand ";
    std::vector<std::string> sent;
    for (const LogEntry& entry : log) {
      if (entry.event.rfind(prefix, 0) == 0) sent.push_back(entry.event.substr(prefix.size()));
    }
    return sent;
  }
};

std::string read_all(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  return text;
}

// Splits after every line feed, keeping it, so equal line lists mean byte-equal texts.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const size_t stop = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, stop - start));
    start = stop;
  }
  return lines;
}

std::vector<LogEntry> parse_log(const std::string& text) {
  std::vector<LogEntry> entries;
  for (std::string line : lines_of(text)) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const size_t tab = line.rfind('\t');
    entries.push_back({line.substr(0, tab), std::stoll(line.substr(tab + 1))});
  }
  return entries;
}

// Runs the command `runs` times in a child process with the current script and collects what
// the child wrote and how it ended.
CommandRun run_command(int runs = 1) {
  std::FILE* out = std::tmpfile();
  std::FILE* log = std::tmpfile();
  EXPECT_NE(out, nullptr);
  EXPECT_NE(log, nullptr);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    set_call_log_fd(fileno(log));
    set_output_probe_fd(fileno(out));
    int status = 1;
    for (int i = 0; i < runs; ++i) status = kav::tool::run_update_command(out);
    std::exit(status);
  }
  CommandRun run;
  int wait_status = 0;
  EXPECT_EQ(waitpid(child, &wait_status, 0), child);
  EXPECT_TRUE(WIFEXITED(wait_status));
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  run.output = read_all(out);
  run.log = parse_log(read_all(log));
  std::fclose(out);
  std::fclose(log);
  return run;
}

void expect_output(const CommandRun& run, const std::string& expected, int status) {
  EXPECT_EQ(lines_of(run.output), lines_of(expected));
  EXPECT_EQ(run.status, status);
}

std::string hex_of(const NvItemPacket& packet) {
  return to_hex(reinterpret_cast<const uint8_t*>(&packet), sizeof packet);
}

NvItemPacket packet(uint8_t cmd_code, const std::string& text = "") {
  NvItemPacket request;
  std::memset(&request, 0, sizeof request);
  request.cmd_code = cmd_code;
  request.item = kItem;
  std::memcpy(request.data, text.data(), text.size());
  return request;
}

// One scripted change to the NV store's answer.
ResponseScript answer_result(ZqUmtsKavStatusEnum result) {
  ResponseScript script;
  script.result = result;
  return script;
}
ResponseScript answer_cmd_code(uint8_t cmd_code) {
  ResponseScript script;
  script.cmd_code = cmd_code;
  return script;
}
ResponseScript answer_item(uint16_t item) {
  ResponseScript script;
  script.item = item;
  return script;
}
ResponseScript answer_status(uint16_t nv_stat) {
  ResponseScript script;
  script.nv_stat = nv_stat;
  return script;
}
ResponseScript answer_data(const std::array<uint8_t, 128>& data) {
  ResponseScript script;
  script.data = data;
  return script;
}
ResponseScript answer_status_and_data(uint16_t nv_stat, const std::array<uint8_t, 128>& data) {
  ResponseScript script = answer_status(nv_stat);
  script.data = data;
  return script;
}
ResponseScript answer_copy_length(size_t length) {
  ResponseScript script;
  script.copy_length = length;
  return script;
}

class UpdateCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_fake_library(); }
  FakeScript& script() { return fake_script(); }
  void script_response(size_t index, ResponseScript response) {
    script().responses[index] = response;
  }
};

// --- Successful runs -------------------------------------------------------------------------

TEST_F(UpdateCommandTest, NeverWrittenItemIsReportedInactiveThenWrittenAndReadBack) {
  const CommandRun run = run_command();
  expect_output(
      run, kConnected + kInitialInactive + kFinalTarvell + kClosingMessage + "Program completed.\n",
      0);
}

TEST_F(UpdateCommandTest, PreviousValueIsReportedBeforeTheWrite) {
  script().store.items[kItem] = nv_data("Old 100% %s");
  const CommandRun run = run_command();
  expect_output(run,
                kConnected + "Initial value of NV item 5078 is \"Old 100% %s\"\n" + kFinalTarvell +
                    kClosingMessage + "Program completed.\n",
                0);
}

TEST_F(UpdateCommandTest, FinalValueOtherThanTheWrittenTextIsReportedNotCompared) {
  script_response(2, answer_data(nv_data("Other")));
  const CommandRun run = run_command();
  expect_output(run,
                kConnected + kInitialInactive + "Final value of NV item 5078 is \"Other\"\n" +
                    kClosingMessage + "Program completed.\n",
                0);
}

TEST_F(UpdateCommandTest, WriteEchoIsComparedAsTextUpToItsZero) {
  // Bytes after the echo's terminating zero are not part of the value.
  auto echo = nv_data("Tarvell");
  std::memcpy(echo.data() + 8, "junk", 4);
  script_response(1, answer_data(echo));
  const CommandRun run = run_command();
  expect_output(
      run, kConnected + kInitialInactive + kFinalTarvell + kClosingMessage + "Program completed.\n",
      0);
}

TEST_F(UpdateCommandTest, DataWithoutZeroIsPrintedAsExactly128Characters) {
  std::array<uint8_t, 128> full;
  full.fill('A');
  full[127] = 'Z';
  script().store.items[kItem] = full;
  std::array<uint8_t, 128> final_full;
  final_full.fill('B');
  script_response(2, answer_data(final_full));
  const CommandRun run = run_command();
  expect_output(run,
                kConnected + "Initial value of NV item 5078 is \"" + std::string(127, 'A') +
                    "Z\"\n" + "Final value of NV item 5078 is \"" + std::string(128, 'B') + "\"\n" +
                    kClosingMessage + "Program completed.\n",
                0);
}

// --- Failures before the NV requests ---------------------------------------------------------

TEST_F(UpdateCommandTest, BannerComesFirstWhenThePortMapUpdateFails) {
  script().port_map_result = 368;
  const CommandRun run = run_command();
  expect_output(run,
                kBanner + failure_message("ZqUmtsKavPortMapUpdate", 368) +
                    "ERROR: Failure to add Vorla entries to port mapper.\n",
                1);
  EXPECT_THAT(run.events(), ElementsAre("DllMain 1", "SetMessageSink set",
                                        "PortMapUpdate " + kPortMapDocument, "detach"));
}

TEST_F(UpdateCommandTest, ConnectFailureEndsWithoutNvRequests) {
  script().connect_result = 15;
  const CommandRun run = run_command();
  expect_output(
      run,
      kBanner + failure_message("ZqUmtsKavConnect", 15) + "ERROR: Failure to connect to modem.\n",
      1);
  EXPECT_TRUE(run.requests().empty());
}

// --- Initial read ----------------------------------------------------------------------------

TEST_F(UpdateCommandTest, InitialReadFailuresAndForeignAnswersAreReadFailures) {
  struct Case {
    const char* name;
    ResponseScript response;
    std::string library_lines;
  };
  const std::vector<Case> cases = {
      {"result 441", answer_result(441), kDmFailure},
      {"bad command answer", answer_cmd_code(diag::kCmdBadCommand), ""},
      {"write code answer", answer_cmd_code(diag::kCmdNvWrite), ""},
      {"other item", answer_item(5077), ""},
      {"item byte-swapped", answer_item(0xD613), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_fake_library();
    script_response(0, c.response);
    const CommandRun run = run_command();
    // The port is still open at the error; the detach routine closes it after the last line.
    expect_output(run, kConnected + c.library_lines + kReadFailure + kClosingMessage, 1);
    EXPECT_EQ(run.requests().size(), 1u);
    EXPECT_EQ(run.events().back(), "detach");
  }
}

TEST_F(UpdateCommandTest, InitialReadStatusOtherThanDoneOrInactiveIsPrintedInHex) {
  const std::vector<std::pair<uint16_t, std::string>> cases = {
      {7, "0x0007"}, {0xABCD, "0xABCD"}, {1, "0x0001"}, {0x00FF, "0x00FF"}};
  for (const auto& [nv_stat, shown] : cases) {
    SCOPED_TRACE(shown);
    reset_fake_library();
    script_response(0, answer_status(nv_stat));
    const CommandRun run = run_command();
    expect_output(run,
                  kConnected + "ERROR: Failure to read NV item value, nv_stat = " + shown + ".\n" +
                      kClosingMessage,
                  1);
    EXPECT_EQ(run.requests().size(), 1u);
  }
}

TEST_F(UpdateCommandTest, InactiveStatusWinsOverDataInTheResponse) {
  script_response(0, answer_status_and_data(diag::kNvInactive, nv_data("stale")));
  const CommandRun run = run_command();
  expect_output(
      run, kConnected + kInitialInactive + kFinalTarvell + kClosingMessage + "Program completed.\n",
      0);
}

// --- Write -----------------------------------------------------------------------------------

TEST_F(UpdateCommandTest, WriteFailuresAndForeignEchoesAreWriteFailures) {
  struct Case {
    const char* name;
    ResponseScript response;
    std::string library_lines;
  };
  const std::vector<Case> cases = {
      {"result 441", answer_result(441), kDmFailure},
      {"read code echo", answer_cmd_code(diag::kCmdNvRead), ""},
      {"bad command answer", answer_cmd_code(diag::kCmdBadCommand), ""},
      {"other item", answer_item(5079), ""},
      {"other text", answer_data(nv_data("Tarvelx")), ""},
      {"longer text", answer_data(nv_data("Tarvell!")), ""},
      {"shorter text", answer_data(nv_data("Tarvel")), ""},
      {"no text", answer_data(nv_data("")), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_fake_library();
    script_response(1, c.response);
    const CommandRun run = run_command();
    expect_output(
        run, kConnected + kInitialInactive + c.library_lines + kWriteFailure + kClosingMessage, 1);
    EXPECT_EQ(run.requests().size(), 2u);
  }
}

TEST_F(UpdateCommandTest, RefusedWriteWhoseEchoLacksTheTextIsACommandFailure) {
  script().store.read_only.insert(kItem);
  script().store.echo_without_data = true;
  const CommandRun run = run_command();
  expect_output(run, kConnected + kInitialInactive + kWriteFailure + kClosingMessage, 1);
}

TEST_F(UpdateCommandTest, RefusedWriteWithTheTextEchoedReportsItsStatus) {
  script().store.read_only.insert(kItem);
  CommandRun run = run_command();
  expect_output(run,
                kConnected + kInitialInactive +
                    "ERROR: Failure to write NV item value, nv_stat = 0x0007.\n" + kClosingMessage,
                1);

  reset_fake_library();
  script_response(1, answer_status(0xBEEF));
  run = run_command();
  expect_output(run,
                kConnected + kInitialInactive +
                    "ERROR: Failure to write NV item value, nv_stat = 0xBEEF.\n" + kClosingMessage,
                1);
  EXPECT_EQ(run.requests().size(), 2u);
}

TEST_F(UpdateCommandTest, ShortWriteEchoDoesNotReuseDataOfTheInitialRead) {
  // The item already holds the text; the write echo carries only the command code and item.
  // Nothing of the first response may stand in for the missing data and status.
  script().store.items[kItem] = nv_data("Tarvell");
  script_response(1, answer_copy_length(3));
  const CommandRun run = run_command();
  expect_output(run,
                kConnected + "Initial value of NV item 5078 is \"Tarvell\"\n" + kWriteFailure +
                    kClosingMessage,
                1);
}

// --- Final read ------------------------------------------------------------------------------

TEST_F(UpdateCommandTest, FinalReadFailuresAndForeignAnswersAreReadFailures) {
  struct Case {
    const char* name;
    ResponseScript response;
    std::string library_lines;
  };
  const std::vector<Case> cases = {
      {"result 18", answer_result(18), failure_message("ZqUmtsKavSendGenericDMCommand", 18)},
      {"write code echo", answer_cmd_code(diag::kCmdNvWrite), ""},
      {"other item", answer_item(0), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_fake_library();
    script_response(2, c.response);
    const CommandRun run = run_command();
    expect_output(
        run, kConnected + kInitialInactive + c.library_lines + kReadFailure + kClosingMessage, 1);
    EXPECT_EQ(run.requests().size(), 3u);
  }
}

TEST_F(UpdateCommandTest, FinalReadInactiveIsAnError) {
  script_response(2, answer_status(diag::kNvInactive));
  const CommandRun run = run_command();
  expect_output(run,
                kConnected + kInitialInactive + "ERROR: Final value of NV item 5078 is INACTIVE\n" +
                    kClosingMessage,
                1);
}

TEST_F(UpdateCommandTest, FinalReadOtherStatusIsPrintedInHex) {
  script_response(2, answer_status(0x0102));
  const CommandRun run = run_command();
  expect_output(run,
                kConnected + kInitialInactive +
                    "ERROR: Failure to read NV item value, nv_stat = 0x0102.\n" + kClosingMessage,
                1);
}

// --- Disconnect and exit ---------------------------------------------------------------------

TEST_F(UpdateCommandTest, DisconnectFailureIsReportedAndDetachClosesAfterTheLastLine) {
  script().disconnect_result = 17;
  const CommandRun run = run_command();
  expect_output(run,
                kConnected + kInitialInactive + kFinalTarvell +
                    failure_message("ZqUmtsKavDisconnect", 17) +
                    "ERROR: Failure to disconnect from modem.\n" + kClosingMessage,
                1);
  EXPECT_EQ(run.events().back(), "detach");
}

// --- What the library is asked -----------------------------------------------------------------

TEST_F(UpdateCommandTest, CallsFollowTheFixedSequenceWithExactArguments) {
  script().store.items[kItem] = nv_data("Previous value");
  const CommandRun run = run_command();
  ASSERT_EQ(run.status, 0);
  const std::string read = "SendGenericDMCommand " + hex_of(packet(diag::kCmdNvRead));
  const std::string write = "SendGenericDMCommand " + hex_of(packet(diag::kCmdNvWrite, "Tarvell"));
  EXPECT_THAT(run.events(),
              ElementsAre("DllMain 1", "SetMessageSink set", "PortMapUpdate " + kPortMapDocument,
                          "SetConnectSettings 115200 0 0", "Connect", read, write, read,
                          "Disconnect", "detach"));
}

TEST_F(UpdateCommandTest, RequestsAreByteExactOnTheWire) {
  // Written out byte by byte: item 5078 is D6 13 little-endian; the final read goes out with
  // its data cleared even though the first answer carried data.
  script().store.items[kItem] = nv_data("XYZ");
  const CommandRun run = run_command();
  const std::string zeros(2 * 128, '0');
  const std::string tarvell_data = "54617276656C6C00" + std::string(2 * 120, '0');
  EXPECT_THAT(run.requests(),
              ElementsAre("26D613" + zeros + "0000", "27D613" + tarvell_data + "0000",
                          "26D613" + zeros + "0000"));
}

TEST_F(UpdateCommandTest, AttachesOnceAndInstallsTheSinkAfterwards) {
  // Attach messages reach only the library's log; a second run in the same process does not
  // attach again, and detach runs once, at exit.
  const CommandRun run = run_command(2);
  const std::string one_run =
      kConnected + kInitialInactive + kFinalTarvell + kClosingMessage + "Program completed.\n";
  const std::string second_run = kBanner + kConnectMessage +
                                 "Initial value of NV item 5078 is \"Tarvell\"\n" + kFinalTarvell +
                                 kClosingMessage + "Program completed.\n";
  expect_output(run, one_run + second_run, 0);
  EXPECT_EQ(run.output.find(kAttachMessage), std::string::npos);
  const auto events = run.events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "DllMain 1"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "detach"), 1);
  EXPECT_EQ(events.front(), "DllMain 1");
  EXPECT_EQ(events[1], "SetMessageSink set");
  EXPECT_EQ(events.back(), "detach");
}

TEST_F(UpdateCommandTest, OutputIsFlushedBeforeEveryLibraryCall) {
  script().store.items[kItem] = nv_data("Old");
  const CommandRun run = run_command();
  ASSERT_EQ(run.status, 0);
  // Before each call, everything printed so far (banner, library messages, value lines) must
  // already be in the file, or console output and library messages could interleave wrongly.
  const std::string initial_line = "Initial value of NV item 5078 is \"Old\"\n";
  const std::vector<long long> expected = {
      static_cast<long long>(kBanner.size()),                      // DllMain
      static_cast<long long>(kBanner.size()),                      // SetMessageSink
      static_cast<long long>(kBanner.size()),                      // PortMapUpdate
      static_cast<long long>(kBanner.size()),                      // SetConnectSettings
      static_cast<long long>(kBanner.size()),                      // Connect
      static_cast<long long>(kConnected.size()),                   // initial read
      static_cast<long long>((kConnected + initial_line).size()),  // write
      static_cast<long long>((kConnected + initial_line).size()),  // final read
      static_cast<long long>((kConnected + initial_line + kFinalTarvell).size()),  // Disconnect
      static_cast<long long>(run.output.size()),                                   // detach at exit
  };
  std::vector<long long> flushed;
  for (const LogEntry& entry : run.log) flushed.push_back(entry.flushed_bytes);
  EXPECT_EQ(flushed, expected);
}

TEST(CompatibleVersionTest, ReportsVersionTwoPointZero) {
  EXPECT_EQ(kav::tool::compatible_version(), 0x20000u);
}

}  // namespace
}  // namespace kav::tool_test
