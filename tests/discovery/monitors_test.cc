#include "lib/discovery/monitors.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "lib/core/timeouts.h"
#include "lib/platform/cdrom_eject.h"
#include "tests/discovery/scanner_fixture.h"
#include "tests/support/fake_cdrom.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kEjectReport[] = "Brisco Mass Storage CD ROM Detected and Sent Eject Signal.\n";

sim::UsbDeviceSpec cdrom(const char* vendor, const char* model, const std::string& busport,
                         int sr_index) {
  sim::UsbInterfaceSpec cd = serial_interface(0, sr_index, sim::PortKind::Cdrom, 0x08);
  cd.scsi_vendor = vendor;
  cd.scsi_model = model;
  return {0x19d2, 0x2000, 0, busport, 0, {cd}};
}

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls `done` every 10 ms for at most `limit`.
template <typename F>
bool eventually(F done, std::chrono::milliseconds limit = 3000ms) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

class MonitorTest : public ScannerTest {
 protected:
  int count_messages(const std::string& text) {
    int n = 0;
    for (const std::string& m : messages().messages()) n += m == text;
    return n;
  }
};

TEST_F(MonitorTest, WaiterWakesWhenATtyNodeAppears) {
  enable_comm_log();
  set_timeout(Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 60000);
  start_monitors();
  auto plug = std::async(std::launch::async, [this] {
    std::this_thread::sleep_for(300ms);
    tree().add_device(gobi_modem(4, 5, "1-2"));
  });
  const auto start = Clock::now();
  EXPECT_EQ(5, get_dm_port_wait(20000, true, 0));
  const long long waited = ms_since(start);
  plug.get();
  EXPECT_GE(waited, 250);
  EXPECT_LT(waited, 2000) << "woken by the change, not by the 20 s limit";
  EXPECT_FALSE(comm_lines_with(" RSC CHG COM_PORT_MASK -- ").empty());
  EXPECT_EQ(1u, comm_lines_with(" RCM INI COM_PORT_MASK -- ").size());
  EXPECT_TRUE(comm_lines_with(" INTRVAL ").empty());
  // The USB device events of the same burst were read before the rebuild began: it saw them,
  // and no second rebuild follows.
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(comm_lines_with(" RSV CHG ").empty());
}

TEST_F(MonitorTest, WaitForAPortToGoReturnsZeroWhenItVanishesAndOnTimeOut) {
  set_timeout(Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 60000);
  const sim::DeviceHandle modem = tree().add_device(gobi_modem(4, 5, "1-2"));
  start_monitors();
  auto start = Clock::now();
  EXPECT_EQ(0, get_dm_port_wait(300, false, 5));  // still there: the limit runs out
  EXPECT_GE(ms_since(start), 290);
  auto unplug = std::async(std::launch::async, [this, modem] {
    std::this_thread::sleep_for(300ms);
    tree().remove_device(modem);
  });
  start = Clock::now();
  EXPECT_EQ(0, get_dm_port_wait(20000, false, 5));
  EXPECT_LT(ms_since(start), 2000);
  unplug.get();
  EXPECT_EQ(0, get_dm_port(5));
  start = Clock::now();
  EXPECT_EQ(0, get_dm_port_wait(300, true, 0));  // nothing comes back
  EXPECT_GE(ms_since(start), 290);
}

TEST_F(MonitorTest, WaitHoldsUntilTheRegistryMonitorRuns) {
  tree().add_device(gobi_modem(4, 5, "1-2"));
  // The first start, and a start after a stop: the stopped monitor's signal does not count.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto waiter = std::async(std::launch::async, [] { return get_dm_port_wait(10000, true, 0); });
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(200ms));
    start_monitors();
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(3s));
    EXPECT_EQ(5, waiter.get());
    stop_monitors();
  }
}

TEST_F(MonitorTest, WithoutAMonitorEveryWaitEndsWithinItsBudget) {
  tree().add_device(gobi_modem(4, 5, "1-2"));
  struct Case {
    bool want_present;
    int requested;
    int expected;
  };
  for (const Case c : {Case{true, 0, 5}, Case{false, 5, 0}, Case{true, 9, 0}}) {
    auto waiter = std::async(std::launch::async,
                             [c] { return get_dm_port_wait(300, c.want_present, c.requested); });
    const std::future_status status = waiter.wait_for(3s);
    registry_monitor_started_event().set();  // frees a waiter that ignored its budget
    EXPECT_EQ(std::future_status::ready, status) << c.want_present << " " << c.requested;
    EXPECT_EQ(c.expected, waiter.get());
    registry_monitor_started_event().reset();
  }
}

TEST_F(MonitorTest, IdleIntervalsRebuildTheMaskEachTime) {
  enable_comm_log();
  tree().add_device(gobi_modem(11, 12, "1-2"));
  set_timeout(Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 100);
  const auto start = Clock::now();
  start_monitors();
  ASSERT_TRUE(eventually([this] { return comm_lines_with(" INTRVAL ").size() >= 3; }));
  EXPECT_GE(ms_since(start), 300);
  // The interval is read before every wait: a longer one applies from the next wait on.
  set_timeout(Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 60000);
  std::this_thread::sleep_for(150ms);
  const size_t settled = comm_lines_with(" INTRVAL ").size();
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(settled, comm_lines_with(" INTRVAL ").size());
  stop_monitors();
  const std::vector<std::string> lines = comm_lines_with(" INTRVAL COM_PORT_MASK -- ");
  ASSERT_GE(lines.size(), 3u);
  for (const std::string& line : lines) {
    EXPECT_NE(std::string::npos,
              line.find("    8 INTRVAL COM_PORT_MASK -- 00 10 00 00 00 00 00 00 "))
        << line;
  }
  EXPECT_TRUE(comm_lines_with(" RSC CHG ").empty());
  EXPECT_TRUE(comm_lines_with(" RSV CHG ").empty());
}

TEST_F(MonitorTest, MakersCdromIsEjectedAtStartAndOnEveryArrivalOrRemoval) {
  enable_comm_log();
  tree().add_device(cdrom("ZQTL    ", "AutoInstall     ", "1-3", 0));
  tree().add_device(cdrom("ACME    ", "AutoInstall     ", "1-5", 2));  // another vendor
  const int watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch_fd, 0);
  ASSERT_GE(inotify_add_watch(watch_fd, (root_.path() + "/dev/sr0").c_str(), IN_OPEN), 0);
  const int other_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(other_fd, 0);
  ASSERT_GE(inotify_add_watch(other_fd, (root_.path() + "/dev/sr2").c_str(), IN_OPEN), 0);

  start_monitors();
  ASSERT_TRUE(eventually([this] { return count_messages(kEjectReport) == 1; }));
  alignas(inotify_event) char buffer[4096];
  EXPECT_GT(read(watch_fd, buffer, sizeof buffer), 0) << "sr0 was opened for the eject";

  // A second maker's CD-ROM arrives: the scan ejects both present ones.
  const sim::DeviceHandle second =
      tree().add_device(cdrom("Brisco  ", "Mass Storage    ", "1-4", 1));
  ASSERT_TRUE(eventually([this] { return count_messages(kEjectReport) == 3; }));
  // Its removal runs one more scan. The node goes before the sysfs entries (as devtmpfs does),
  // so that scan may still find the leaving CD-ROM and report it too.
  tree().remove_device(second);
  ASSERT_TRUE(eventually([this] { return count_messages(kEjectReport) >= 4; }));
  std::this_thread::sleep_for(100ms);
  const int reports = count_messages(kEjectReport);
  EXPECT_TRUE(reports == 4 || reports == 5) << reports;
  stop_monitors();

  EXPECT_LT(read(other_fd, buffer, sizeof buffer), 0) << "another vendor's CD-ROM is left alone";
  close(watch_fd);
  close(other_fd);
  const std::vector<std::string> records =
      comm_lines_with("  -1 Brisco Mass Storage CD ROM Detected and Sent Eject Signal. -- ");
  EXPECT_EQ(static_cast<size_t>(reports), records.size()) << "one record per report";
}

// After the attempt, the log tells every failed call and whether the drive was ejected.
TEST_F(MonitorTest, EjectReportSaysWhetherTheDriveTookIt) {
  enable_comm_log();
  tree().add_device(cdrom("ZQTL    ", "AutoInstall     ", "1-3", 0));
  const std::string node = root_.path() + "/dev/sr0";
  platform::set_cdrom_vanish_wait_ms(100);
  struct Case {
    std::vector<int> unlock, eject;  // 0 success, -e errno e, > 0 the drive's SCSI result
    bool leaves;                     // the drive leaves the bus at the eject
    std::vector<std::string> after_attempt;
  };
  const Case cases[] = {
      {{0}, {0}, false, {"CD ROM " + node + " ejected.\n"}},
      {{0x02},
       {0x02},
       false,
       {"CD ROM eject: SCSI_IOCTL_DOORUNLOCK of " + node +
            " failed 1 time: refused by the drive, SCSI status 0x02 (CHECK CONDITION).\n",
        "CD ROM eject: CDROMEJECT of " + node +
            " failed 1 time: refused by the drive, SCSI status 0x02 (CHECK CONDITION).\n",
        "ERROR: CD ROM " + node +
            " was not ejected: the drive refused it, SCSI status 0x02 (CHECK CONDITION).\n"}},
      {{0},
       {-ENODEV},
       false,
       {"CD ROM eject: CDROMEJECT of " + node + " failed 1 time: No such device (errno " +
            std::to_string(ENODEV) + ").\n",
        "ERROR: CD ROM " + node + " was not ejected: No such device (errno " +
            std::to_string(ENODEV) + ").\n"}},
      // Last: the node is gone afterwards.
      {{0},
       {-EIO},
       true,
       {"CD ROM eject: CDROMEJECT of " + node + " failed 1 time: Input/output error (errno " +
            std::to_string(EIO) + ").\n",
        "CD ROM " + node + " ejected: the drive left the bus.\n"}},
  };
  for (const Case& c : cases) {
    test::FakeCdromDrive drive({0}, c.unlock, c.eject, [&] {
      if (c.leaves) unlink(node.c_str());
    });
    messages().clear();
    scan_for_and_eject_zqtl_cdrom();
    std::vector<std::string> expected{kEjectReport};
    expected.insert(expected.end(), c.after_attempt.begin(), c.after_attempt.end());
    EXPECT_EQ(messages().messages(), expected);
    std::string last = c.after_attempt.back();
    last.pop_back();  // the line feed
    EXPECT_EQ(comm_lines_with(" " + last + " -- ").size(), 1u) << last;
  }
  platform::set_cdrom_vanish_wait_ms(2000);
}

TEST_F(MonitorTest, StopEndsBothThreadsPromptlyAndIsSafeTwice) {
  stop_monitors();  // none running
  set_timeout(Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 60000);
  start_monitors();
  ASSERT_TRUE(registry_monitor_started_event().wait(3000));
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  stop_monitors();
  EXPECT_LT(ms_since(start), 500);
  EXPECT_EQ(1, count_messages("WM_DEVICECHANGE Monitor thread shutting down.\n"));
  EXPECT_EQ(1, count_messages("Registry Change Monitor thread shutting down.\n"));
  stop_monitors();
  EXPECT_EQ(1, count_messages("Registry Change Monitor thread shutting down.\n"));
  // They can be started again after a stop.
  start_monitors();
  stop_monitors();
  EXPECT_EQ(2, count_messages("Registry Change Monitor thread shutting down.\n"));
}

TEST_F(MonitorTest, MissingDeviceDirectoriesAreReportedAndTheDeviceMonitorWaitsForStop) {
  ScopedEnv no_root("UMTS_KAV_ROOT", dir_.file("missing"));
  start_monitors();
  ASSERT_TRUE(eventually([this] {
    return count_messages(
               "ERROR: Failed to open registry monitor key for HARDWARE\\DEVICEMAP (2, No such "
               "file or directory).\n") == 1;
  }));
  EXPECT_TRUE(registry_monitor_started_event().is_set());
  // The device monitor runs on a thread of its own: its reports may come a little later.
  EXPECT_TRUE(eventually([this] {
    return count_messages(
               "ERROR: wm_devicechange_monitor_WndProc -- RegisterDeviceNotification "
               "failed: 2.\n") == 1 &&
           count_messages("ERROR: scan_for_and_eject_zqtl_cdrom failed to SetupDiGetClassDevs\n") ==
               1;
  }));
  EXPECT_EQ(0, count_messages("WM_DEVICECHANGE Monitor thread shutting down.\n"));
  stop_monitors();
  EXPECT_EQ(1, count_messages("WM_DEVICECHANGE Monitor thread shutting down.\n"));
  EXPECT_EQ(0, count_messages("Registry Change Monitor thread shutting down.\n"));
}

TEST_F(MonitorTest, AMissingUsbDeviceWatchNamesTheServicesKey) {
  // Device nodes can be watched, USB devices cannot.
  write_file_with_dirs(dir_.file("partial/dev/placeholder"), "");
  ScopedEnv partial_root("UMTS_KAV_ROOT", dir_.file("partial"));
  start_monitors();
  EXPECT_TRUE(eventually([this] {
    return count_messages(
               "ERROR: Failed to open registry monitor key for "
               "SYSTEM\\CurrentControlSet\\Services (2, No such file or "
               "directory).\n") == 1;
  }));
  stop_monitors();
}

TEST_F(MonitorTest, ADeviceDirectoryMadeAgainIsWatchedAgainAndOneThatStaysAwayEndsIt) {
  enable_comm_log();
  set_timeout(Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 60000);
  start_monitors();
  int probes = 0;  // nodes made until one is seen: the watch is armed then
  ASSERT_TRUE(eventually([&] {
    root_.write("dev/probe" + std::to_string(probes++), "");
    return !comm_lines_with(" RSC CHG ").empty();
  }));
  std::this_thread::sleep_for(100ms);
  const size_t armed = comm_lines_with(" RSC CHG ").size();
  const std::string dev = root_.path() + "/dev";
  std::filesystem::remove_all(dev);
  std::filesystem::create_directory(dev);
  ASSERT_TRUE(eventually([&] { return comm_lines_with(" RSC CHG ").size() >= armed + 2; }));
  std::this_thread::sleep_for(100ms);
  const size_t before = comm_lines_with(" RSC CHG ").size();
  root_.write("dev/ttyUSB9", "");
  EXPECT_TRUE(eventually([&] { return comm_lines_with(" RSC CHG ").size() > before; }))
      << "the new directory is watched";
  std::filesystem::remove_all(dev);
  EXPECT_TRUE(eventually([this] {
    return count_messages("ERROR: Failed to reregister for registry change.\n") == 1;
  }));
  stop_monitors();
  EXPECT_EQ(0, count_messages("Registry Change Monitor thread shutting down.\n"));
}

TEST_F(MonitorTest, AttachStartsTheMonitorsAndShutdownStopsThem) {
  tree().add_device(gobi_modem(4, 5, "1-2"));
  DllMain(1);
  capture_.emplace();  // attach removed the sink
  EXPECT_EQ(5, get_dm_port_wait(3000, true, 0));
  library_shutdown();
  EXPECT_EQ(1, count_messages("Registry Change Monitor thread shutting down.\n"));
  EXPECT_EQ(1, count_messages("WM_DEVICECHANGE Monitor thread shutting down.\n"));
  DllMain(0);
}

}  // namespace
}  // namespace kav::test
