// The library's COM port scanner and device monitors against the simulated modem: its DM port
// is found once the port map knows its interface, found again under each new COM number after
// a re-enumeration, waited for (gone and back) through the monitors, recognised as the
// emergency downloader after the switch to download mode, and refused when two modems are
// present; kav ports run as a program lists the DM port of a simulator run as a program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <thread>

#include "lib/core/library.h"
#include "lib/core/messages.h"
#include "lib/core/status.h"
#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/monitors.h"
#include "lib/discovery/port_map.h"
#include "lib/modem/lifecycle.h"
#include "tests/sim/sim_fixture.h"
#include "tool/port_map_document.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::sim::test {
namespace {

using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

// The document the update command applies before it connects.
constexpr const char* kUpdateCommandDocument = kav::tool::kKelnorsetPortMapDocument;

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The COM numbers of a PT_DM scan.
std::vector<int> dm_coms() {
  std::vector<int> coms;
  PortScanListPtr list = get_com_port_list(PT_DM);
  if (!list) return coms;
  for (const PortScanEntry& e : list->entries) coms.push_back(e.com_port);
  return coms;
}

class SimScannerTest : public SimTest {
 protected:
  SimScannerTest()
      : registry_env_("UMTS_KAV_REGISTRY", dir_.file("user.reg")),
        module_env_("UMTS_KAV_MODULE_DIR", dir_.file("module")) {}

  void SetUp() override {
    reset_library_for_testing();
    reset_port_map();
    set_monitors_enabled(true);
    capture_.emplace();
  }
  void TearDown() override {
    stop_monitors();
    second_.reset();
    modem_.reset();
    capture_.reset();
    reset_library_for_testing();
    reset_port_map();
  }

  void learn_simulator_identity() {
    ASSERT_EQ(ZqUmtsKavPortMapUpdate(kUpdateCommandDocument), status::kSuccess);
  }

  // The simulator on ttyUSB2/3 (COM 3 and 4), alternating with ttyUSB6/7 (COM 7 and 8).
  static ModemConfig config() {
    ModemConfig c = quick_config();
    c.dm_tty = 2;
    c.at_tty = 3;
    c.alt_dm_tty = 6;
    c.alt_at_tty = 7;
    return c;
  }

  kav::test::ScopedEnv registry_env_;
  kav::test::ScopedEnv module_env_;
  std::optional<kav::test::MessageCapture> capture_;
  std::unique_ptr<Modem> second_;
};

TEST_F(SimScannerTest, DmPortIsFoundOnceTheMapKnowsItAndAgainUnderItsNewNumber) {
  Modem& modem = start(config());
  ASSERT_EQ(modem.dm_com(), 3);
  // The simulator's identity is not in the built-in map.
  EXPECT_EQ(get_dm_port(0), 0);
  EXPECT_TRUE(dm_coms().empty());

  learn_simulator_identity();
  EXPECT_EQ(get_dm_port(0), 3);
  EXPECT_EQ(get_dm_port(3), 3);
  EXPECT_EQ(get_dm_port(4), 0);  // the AT port
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->count, 1);
  const PortScanEntry& e = list->entries[0];
  EXPECT_EQ(e.com_port, 3);
  EXPECT_EQ(e.port_type, PT_DM);
  EXPECT_STREQ(e.name, "ZQTL Vorla");
  EXPECT_STREQ(e.device_ident, "USB\\VID_5C8E&PID_A7E2&MI_01");
  EXPECT_TRUE(e.present);
  EXPECT_THAT(port_description(3), HasSubstr("ZQTL Vorla"));

  // Off the bus and back under the other tty indexes: a new scan finds COM 7, and the mask,
  // once rebuilt, agrees.
  modem.reenumerate();
  ASSERT_TRUE(modem.wait_returns(1, 5000));
  ASSERT_EQ(modem.dm_com(), 7);
  EXPECT_EQ(dm_coms(), std::vector<int>{7});
  update_com_port_mask("TEST");
  EXPECT_EQ(get_dm_port(0), 7);
  EXPECT_EQ(get_dm_port(3), 0);
  EXPECT_EQ(get_dm_port(7), 7);

  // And once more: back on COM 3.
  modem.reenumerate();
  ASSERT_TRUE(modem.wait_returns(2, 5000));
  EXPECT_EQ(dm_coms(), std::vector<int>{3});
}

TEST_F(SimScannerTest, MonitorsWakeWaitersWhenTheDmPortGoesAndComesBack) {
  set_timeout(Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 60000);
  ModemConfig c = config();
  c.reenumerate_gap_ms = 700;
  Modem& modem = start(c);
  learn_simulator_identity();
  start_monitors();
  ASSERT_EQ(get_dm_port_wait(3000, true, 0), 3);

  // Still there: a wait for it to go runs to its limit.
  auto start = Clock::now();
  EXPECT_EQ(get_dm_port_wait(300, false, 3), 0);
  EXPECT_GE(ms_since(start), 290);

  auto leave = std::async(std::launch::async, [&modem] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    modem.reenumerate();
  });
  start = Clock::now();
  EXPECT_EQ(get_dm_port_wait(20000, false, 3), 0);
  const long long vanished_after = ms_since(start);
  leave.get();
  RecordProperty("vanished_after_ms", static_cast<int>(vanished_after));
  EXPECT_GE(vanished_after, 150);
  EXPECT_LT(vanished_after, 200 + 2000) << "woken by the change, not by the 20 s limit";
  EXPECT_TRUE(modem.present() == false || modem.dm_com() == 7);

  start = Clock::now();
  EXPECT_EQ(get_dm_port_wait(20000, true, 0), 7);
  const long long returned_after = ms_since(start);
  RecordProperty("returned_after_ms", static_cast<int>(returned_after));
  EXPECT_EQ(modem.dm_com(), 7);
  EXPECT_LT(returned_after, 700 + 2000) << "woken by the change, not by the 20 s limit";
  EXPECT_EQ(get_dm_port(3), 0);
  stop_monitors();
}

TEST_F(SimScannerTest, DownloadModeReenumerationIsFoundAsTheEmergencyDownloader) {
  ModemConfig c = config();
  c.dl_vid = 0x05C6;
  c.dl_pid = 0x9008;
  c.dl_interface = 0;
  Modem& modem = start(c);
  learn_simulator_identity();
  EXPECT_EQ(get_dm_port(0), 3);
  modem.reenumerate(150, true, ModemMode::DL);
  ASSERT_TRUE(modem.wait_returns(1, 5000));
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  // A single-interface device is its own interface: found under the COM port and USB device
  // classes, it gives two entries for one port.
  ASSERT_EQ(list->count, 2);
  for (const PortScanEntry& e : list->entries) {
    EXPECT_STREQ(e.name, "QCOM Emergency Boot");
    EXPECT_STREQ(e.device_ident, "USB\\VID_05C6&PID_9008");
    EXPECT_EQ(e.port_type, PT_DM);
    EXPECT_EQ(e.com_port, modem.dm_com());
  }
  EXPECT_EQ(modem.dm_com(), 7);
  // Counted once: the automatic search still finds exactly one DM port.
  update_com_port_mask("TEST");
  EXPECT_EQ(get_dm_port(0), 7);
}

// A PCIe modem's DM port is a wwan QCDM port: found through the built-in PCIe rows under its
// own COM range, and again after the modem leaves the bus and comes back.
TEST_F(SimScannerTest, PcieModemsQcdmPortIsFoundWithoutAnyDocument) {
  ModemConfig c = quick_config();
  c.pcie = true;
  c.pci_vendor = 0x1EAC;
  c.pci_device = 0x1001;
  c.wwan = 1;
  Modem& modem = start(c);
  ASSERT_EQ(modem.dm_com(), 511);
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->count, 1);
  const PortScanEntry& e = list->entries[0];
  EXPECT_EQ(e.com_port, 511);
  EXPECT_EQ(e.port_type, PT_DM);
  EXPECT_STREQ(e.name, "Quectel EM120R-GL PCIe Modem");
  EXPECT_STREQ(e.device_ident, "PCI\\VEN_1EAC&DEV_1001&MI_04");
  EXPECT_STREQ(e.device_instance, "pci\\ven_1eac&dev_1001&rev_00&mi_04\\0000:01:00.0");
  EXPECT_EQ(get_dm_port(0), 511);
  modem.reenumerate();
  ASSERT_TRUE(modem.wait_returns(1, 5000));
  EXPECT_EQ(dm_coms(), std::vector<int>{511});
}

TEST_F(SimScannerTest, TwoSimulatedModemsAreMoreThanOneDmPort) {
  start(config());
  ModemConfig other = quick_config();
  other.busport = "1-3";
  other.dm_tty = 10;
  other.at_tty = 11;
  other.alt_dm_tty = 12;
  other.alt_at_tty = 13;
  second_ = std::make_unique<Modem>(root(), other);
  second_->start();
  learn_simulator_identity();
  EXPECT_EQ(dm_coms(), (std::vector<int>{3, 11}));
  capture_->clear();
  EXPECT_EQ(get_dm_port(0), -1);
  EXPECT_THAT(capture_->text(),
              HasSubstr("Automatic port scanner found more than one DM port. (2)\n"));
  // A named port is still answered.
  EXPECT_EQ(get_dm_port(11), 11);
  // One of them leaves: the other is the DM port again.
  second_->stop();
  update_com_port_mask("TEST");
  EXPECT_EQ(get_dm_port(0), 3);
}

// ---- the two programs ----

std::string binary(const char* relative) {
  const char* dir = std::getenv("KAV_TEST_BINARY_DIR");
  return std::string(dir ? dir : ".") + "/" + relative;
}

bool wait_for_file(const std::string& path, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (kav::test::file_exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct ToolRun {
  std::string out;
  int status = -1;
};

ToolRun kav_ports(const std::string& args) {
  ToolRun run;
  FILE* pipe = popen((binary("tool/kav") + " ports " + args + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The simulator program, stopped with SIGTERM at the end of the scope.
class SimProcess {
 public:
  SimProcess(const std::vector<std::string>& args, const std::string& out_file) {
    pid_ = fork();
    if (pid_ == 0) {
      if (!freopen(out_file.c_str(), "w", stdout)) _exit(126);
      std::string path = binary("sim/kav-modem-sim");
      std::vector<char*> argv{path.data()};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
  }
  ~SimProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

TEST(SimKavPortsTest, KavPortsListsTheDmPortOfTheSimulatorProgram) {
  kav::test::TempDir dir;
  const std::string root = dir.path() + "/root";
  // An identity of the built-in map (a separate process cannot see a map update made here):
  // ZQTL U100 with its DM port as interface 0 on ttyUSB2 and its AT port on ttyUSB3.
  SimProcess sim(
      {"--root", root, "--set", "vid=0x5C8E", "--set", "pid=0xA101", "--set", "dm_interface=0",
       "--set", "at_interface=2", "--set", "dm_tty=2", "--set", "at_tty=3"},
      dir.file("out.txt"));
  ASSERT_GT(sim.pid(), 0);
  ASSERT_TRUE(wait_for_file(root + "/.ready", 5000));
  kav::test::ScopedEnv env("UMTS_KAV_ROOT", root);

  const ToolRun all = kav_ports("");
  EXPECT_EQ(all.status, 0) << all.out;
  char line[1024];
  std::snprintf(line, sizeof line, "%-3s %-6d %-24s %-7s %-14s %-38s %s", "DM>", 3,
                (root + "/dev/ttyUSB2").c_str(), "PT_DM", "Both", "USB\\VID_5C8E&PID_A101&MI_00",
                "ZQTL U100 HSDPA USB Modem");
  const auto lines = kav::test::split_lines(all.out);
  EXPECT_NE(std::find(lines.begin(), lines.end(), std::string(line)), lines.end()) << all.out;
  // The AT port is listed too, not marked.
  bool at_listed = false;
  for (const std::string& l : lines) {
    if (l.find(root + "/dev/ttyUSB3 ") != std::string::npos) {
      at_listed = true;
      EXPECT_EQ(l.rfind("DM>", 0), std::string::npos) << l;
      EXPECT_NE(l.find("PT_AT"), std::string::npos) << l;
    }
  }
  EXPECT_TRUE(at_listed) << all.out;

  const ToolRun dm = kav_ports("--dm-only");
  EXPECT_EQ(dm.status, 0);
  ASSERT_EQ(kav::test::split_lines(dm.out).size(), 2u) << dm.out;
  EXPECT_EQ(kav::test::split_lines(dm.out)[1], std::string(line));
}

}  // namespace
}  // namespace kav::sim::test
