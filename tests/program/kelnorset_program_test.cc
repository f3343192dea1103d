// kelnorset run as a process against simulated modems in a private device root: its whole
// standard output compared line by line, and its exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/device_tree.h"
#include "sim/modem.h"
#include "tests/program/program_run.h"
#include "tests/support/test_env.h"

namespace kav::test {
namespace {

using sim::ModemConfig;

// The shipped program waits as library version "3.22" does; the test build is the same program
// with a version text that reads the time-outs file below from its module directory.
const char kShipped[] = "tool/kelnorset";
const char kShortWaits[] = "tests/kelnorset-timeouts-ini";

const char kTimeoutsFile[] =
    "[GENERAL]\n"
    "ZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT=300\n"
    "ZQUMTSKAVCONNECT_TEASER_DELAY=300\n"
    "POST_OPEN_DELAY=300\n"
    "FAST_PROBE_RESPONSE_WAIT=100\n"
    "RESPONSE_WAIT=500\n"
    "RESET_BOTH_SETTLE_DELAY=1000\n"
    "MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN=1000\n";

std::string banner_and_port_map() {
  std::string text =
      "\nkelnorset\n\nUsage: kelnorset\n    Sets NV item 5078 to \"Tarvell\\0\".\n\n\n";
  const char* entries[][2] = {{"USB\\VID_5C8E&PID_A7E2&MI_01", "ZQTL Vorla"},
                              {"USB\\VID_5C8E&PID_A7E3&MI_01", "ZQTL Vorla"},
                              {"USB\\VID_3E94&PID_D41B&MI_01", "ZQTL Halvern"}};
  for (const auto& entry : entries) {
    text += std::string("Port Map Update -- Added New Entry to Port Map\n\tDeviceId = ") +
            entry[0] + "\n\tName = " + entry[1] +
            "\n\tPortType = PT_DM\n\tDefaultResetMethod = Both\n\n";
  }
  return text;
}

const char kFound[] = "Found DM port -- waiting for proof of stability.\n";

// From the stable port to the open connection, as the simulated Vorla shows it on `com`.
std::string opened(int com) {
  const std::string n = std::to_string(com);
  return "Opening the Modem Connection on COM" + n +
         "\n\t (ZQTL Vorla -- USB\\VID_5C8E&PID_A7E2&MI_01).\nCOM" + n + " opened\n";
}

std::string connected_in_dm() {
  return std::string(kFound) + opened(1) + "In DM mode.\n";
}

ModemConfig quick_modem() {
  ModemConfig config;
  config.reenumerate_gap_ms = 150;
  config.leave_delay_ms = 20;
  return config;
}

class KelnorsetProgramTest : public ::testing::Test {
 protected:
  KelnorsetProgramTest()
      : machine_(dir_.path()),
        root_env_("UMTS_KAV_ROOT", dir_.path()),
        module_env_("UMTS_KAV_MODULE_DIR", dir_.file("module")),
        registry_env_("UMTS_KAV_REGISTRY", dir_.file("module/user.reg")) {
    // Both programs find the file; only the test build reads it.
    write_file_with_dirs(dir_.file("module/umts_kav_lib_timeouts.ini"), kTimeoutsFile);
  }

  sim::Modem& plug_in(ModemConfig config) {
    modems_.push_back(std::make_unique<sim::Modem>(dir_.path(), std::move(config)));
    modems_.back()->start();
    return *modems_.back();
  }

  ProgramRun run(const char* program, const std::function<void(const std::string&)>& on_line = {}) {
    return run_program(built_program(program), on_line);
  }

  TempDir dir_;
  sim::DeviceTree machine_;  // the device skeleton of a machine, with or without modems
  ScopedEnv root_env_;
  ScopedEnv module_env_;
  ScopedEnv registry_env_;
  std::vector<std::unique_ptr<sim::Modem>> modems_;
};

// Compares the output line by line and names the first line that differs.
void expect_output(const std::string& expected, int expected_status, const ProgramRun& run) {
  const std::vector<std::string> want = split_lines(expected);
  const std::vector<std::string> got = split_lines(run.out);
  for (size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    const std::string w = i < want.size() ? want[i] : "<none>";
    const std::string g = i < got.size() ? got[i] : "<none>";
    if (w != g) {
      ADD_FAILURE() << "line " << i + 1 << "\n  expected: " << w << "\n  got:      " << g
                    << "\nwhole output:\n"
                    << run.out;
      break;
    }
  }
  EXPECT_EQ(expected_status, run.status) << run.out;
}

TEST_F(KelnorsetProgramTest, StoresTheValueAndShowsItOnTheNextRun) {
  sim::Modem& modem = plug_in(quick_modem());
  const std::string stored =
      "Final value of NV item 5078 is \"Tarvell\"\n"
      "Closing the Modem Connection.\nProgram completed.\n";
  const ProgramRun first = run(kShipped);
  expect_output(banner_and_port_map() + connected_in_dm() +
                    "Initial value of NV item 5078 is INACTIVE\n" + stored,
                0, first);
  // The shipped program keeps the default waits whatever the time-outs file says: 4 s of proof
  // of stability and 0.5 s after the AT command.
  EXPECT_GE(first.elapsed.count(), 4500);
  const auto value = modem.nv().read(5078, 0);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(std::string("Tarvell", 8), std::string(value->begin(), value->begin() + 8));
  EXPECT_TRUE(std::all_of(value->begin() + 8, value->end(), [](uint8_t b) { return b == 0; }));

  const ProgramRun second = run(kShipped);
  expect_output(banner_and_port_map() + connected_in_dm() +
                    "Initial value of NV item 5078 is \"Tarvell\"\n" + stored,
                0, second);
}

// A PCIe modem: its DM port is the wwan QCDM port on COM 501, known from the built-in PCIe rows.
TEST_F(KelnorsetProgramTest, StoresTheValueOverAPcieModemsQcdmPort) {
  ModemConfig config = quick_modem();
  config.pcie = true;
  sim::Modem& modem = plug_in(config);
  const ProgramRun run_result = run(kShortWaits);
  expect_output(banner_and_port_map() + kFound +
                    "Opening the Modem Connection on COM501\n"
                    "\t (Qualcomm SDX55 PCIe Modem -- PCI\\VEN_17CB&DEV_0306&MI_04).\n"
                    "COM501 opened\nIn DM mode.\n"
                    "Initial value of NV item 5078 is INACTIVE\n"
                    "Final value of NV item 5078 is \"Tarvell\"\n"
                    "Closing the Modem Connection.\nProgram completed.\n",
                0, run_result);
  const auto value = modem.nv().read(5078, 0);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(std::string("Tarvell", 8), std::string(value->begin(), value->begin() + 8));
}

// One failure (or odd success) a modem, or the lack of one, causes: the modems plugged in, the
// program run, what it prints after the port map, and its exit status.
struct Row {
  const char* name;
  const char* program;
  std::vector<std::function<void(ModemConfig*)>> modems;
  std::string after_port_map;
  int status;
  int max_ms = 60000;  // a run beyond it waited a default the time-outs file shortens
};

void default_modem(ModemConfig*) {}

std::vector<Row> rows() {
  const std::string read_inactive = "Initial value of NV item 5078 is INACTIVE\n";
  const std::string closing = "Closing the Modem Connection.\n";
  return {
      // Well within the default 30 s wait for a port: the test build read the file.
      {"NoModem", kShortWaits, {}, "ERROR: Failure to connect to modem.\n", 1, 10000},
      {"TwoModems",
       kShipped,
       {default_modem,
        [](ModemConfig* c) {
          c->dm_tty = 2;
          c->at_tty = 3;
        }},
       "Automatic port scanner found more than one DM port. (2)\n"
       "ERROR: Failure to connect to modem.\n",
       1},
      {"ProbeUnanswered",
       kShortWaits,
       {[](ModemConfig* c) {
         c->faults.push_back({sim::FaultKind::NoAnswer, 0x06, -1});
       }},
       kFound + opened(1) + "ERROR: Failure to connect to modem.\n" + closing,
       1},
      {"DownloaderResetIntoDm",
       kShortWaits,
       {[](ModemConfig* c) { c->start_in_dl = true; }},
       kFound + opened(1) + "In DL mode.\nSending Reset Command\n" + closing + "Resetting\n.\r" +
           kFound + opened(5) + "In DM mode.\n" + read_inactive +
           "Final value of NV item 5078 is \"Tarvell\"\n" + closing + "Program completed.\n",
       0},
      {"ReadRefused",
       kShortWaits,
       {[](ModemConfig* c) {
         c->faults.push_back({sim::FaultKind::BadCommand, 0x26});
       }},
       connected_in_dm() +
           "ERROR: ZqUmtsKavSendGenericDMCommand command 0x26 not supported on this modem.\n"
           "ERROR: Read NV command failure.\n" +
           closing,
       1},
      {"WriteRefusedByReadOnlyItem",
       kShortWaits,
       {[](ModemConfig* c) { c->read_only_items = {5078}; }},
       connected_in_dm() + read_inactive +
           "ERROR: Failure to write NV item value, nv_stat = 0x0007.\n" + closing,
       1},
      {"WriteUnanswered",
       kShortWaits,
       {[](ModemConfig* c) {
         c->faults.push_back({sim::FaultKind::NoAnswer, 0x27, -1});
       }},
       connected_in_dm() + read_inactive +
           "ERROR: ZqUmtsKavSendGenericDMCommand failed.\nERROR: Write NV command failure.\n" +
           closing,
       1},
      // The final value is reported, not compared with the one written.
      {"ReadBackDiffers",
       kShortWaits,
       {[](ModemConfig* c) { c->item_sizes[5078] = 4; }},
       connected_in_dm() + read_inactive + "Final value of NV item 5078 is \"Tarv\"\n" + closing +
           "Program completed.\n",
       0},
      // The device entries vanish before the open port hangs up, so the reopen finds no port;
      // the connection is gone and the detach routine has nothing to close.
      {"UnpluggedDuringTheWrite",
       kShortWaits,
       {[](ModemConfig* c) {
         c->hangup_lead_ms = -100;
         c->faults.push_back({sim::FaultKind::Unplug, 0x27});
       }},
       connected_in_dm() + read_inactive +
           "ZqUmtsKavResponseDMCom: ERROR -- Device disconnection indication received from "
           "driver, attempting reconnection.\n"
           "ZqUmtsKavResponseDMCom: ERROR -- Reconnect failure treated as timeout.\n" +
           "ERROR: ZqUmtsKavCommandDM: TX Attempted on NULL handle.\n"
           "ERROR: ZqUmtsKavCommandDM: TX Attempted on NULL handle.\n"
           "ERROR: ZqUmtsKavCommandDM: TX Attempted on NULL handle.\n"
           "ERROR: ZqUmtsKavCommandDM: TX Attempted on NULL handle.\n"
           "ERROR: ZqUmtsKavSendGenericDMCommand failed.\nERROR: Write NV command failure.\n",
       1},
      // The port hangs up while the device entries are still there: the reopen takes the same
      // port, opens it once the modem is back and the write is sent again.
      {"UnpluggedAndBackDuringTheWrite",
       kShortWaits,
       {[](ModemConfig* c) {
         c->hangup_lead_ms = 300;
         c->faults.push_back({sim::FaultKind::Unplug, 0x27, 1, 0, 200});
       }},
       connected_in_dm() + read_inactive +
           "ZqUmtsKavResponseDMCom: ERROR -- Device disconnection indication received from "
           "driver, attempting reconnection.\n" +
           opened(1) + "Final value of NV item 5078 is \"Tarvell\"\n" + closing +
           "Program completed.\n",
       0},
  };
}

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

class KelnorsetRowTest : public KelnorsetProgramTest, public ::testing::WithParamInterface<Row> {};

TEST_P(KelnorsetRowTest, PrintsAndExitsAsTheModemDictates) {
  const Row& row = GetParam();
  for (const auto& configure : row.modems) {
    ModemConfig config = quick_modem();
    config.busport = "1-" + std::to_string(2 + modems_.size());
    configure(&config);
    plug_in(std::move(config));
  }
  const ProgramRun result = run(row.program);
  expect_output(banner_and_port_map() + row.after_port_map, row.status, result);
  EXPECT_LT(result.elapsed.count(), row.max_ms);
}

INSTANTIATE_TEST_SUITE_P(Rows, KelnorsetRowTest, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return std::string(info.param.name); });

// The found port vanishes during the proof of stability: once, and the second search finds it
// again; twice, and connecting fails. The modem leaves each time the program says it found it.
TEST_F(KelnorsetProgramTest, PortVanishingInTheTeaserWait) {
  for (const int vanishings : {2, 1}) {
    SCOPED_TRACE(vanishings);
    sim::Modem& modem = plug_in(quick_modem());
    int found = 0;
    const ProgramRun result = run(kShipped, [&](const std::string& line) {
      if (line + "\n" == kFound && ++found <= vanishings) modem.unplug();
      if (line == "Re-search for com port after teaser") modem.plug();
    });
    const std::string searched_again =
        std::string(kFound) + "Re-search for com port after teaser\n" + kFound;
    if (vanishings == 2) {
      expect_output(banner_and_port_map() + searched_again +
                        "ERROR: Identified comm port (1) disappeared.\n"
                        "ERROR: Failure to connect to modem.\n",
                    1, result);
    } else {
      expect_output(banner_and_port_map() + searched_again + opened(1) + "In DM mode.\n" +
                        "Initial value of NV item 5078 is INACTIVE\n"
                        "Final value of NV item 5078 is \"Tarvell\"\n"
                        "Closing the Modem Connection.\nProgram completed.\n",
                    0, result);
    }
    modems_.clear();
  }
}

}  // namespace
}  // namespace kav::test
