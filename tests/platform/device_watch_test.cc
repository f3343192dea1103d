#include "lib/platform/device_watch.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "lib/platform/cdrom_eject.h"
#include "lib/platform/sync.h"
#include "tests/support/device_root.h"

namespace kav::platform {
namespace {

using namespace std::chrono_literals;
using sim::PortKind;
using sim::UsbInterfaceSpec;
using Clock = std::chrono::steady_clock;

using test::usb_port;

sim::UsbDeviceSpec cdrom_device(const char* vendor) {
  UsbInterfaceSpec cd = usb_port(0, 0x08, PortKind::Cdrom, 0);
  cd.scsi_vendor = vendor;
  cd.scsi_model = "AutoInstall     ";
  return {0x19d2, 0x2000, 0, "1-3", 0, {cd}};
}

class DeviceWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = -1;
    watcher_ = DeviceWatcher::open(&error);
    ASSERT_TRUE(watcher_) << error;
    EXPECT_EQ(0, error);
    EXPECT_FALSE(watcher_->uses_uevents());
  }

  // Runs `action` 50 ms into a wait of 5 s; returns what the wait reported and how long it took.
  template <typename F>
  std::pair<DeviceChange, Clock::duration> wait_around(F action) {
    const auto start = Clock::now();
    auto result = std::async(std::launch::async, [this] { return watcher_->wait(5000); });
    std::this_thread::sleep_for(50ms);
    action();
    const DeviceChange change = result.get();
    return {change, Clock::now() - start};
  }

  test::DeviceRoot root_;
  std::unique_ptr<DeviceWatcher> watcher_;
};

TEST_F(DeviceWatcherTest, NodeAppearingWakesWaiterWithDevNodes) {
  auto [change, took] = wait_around([this] { root_.write("dev/ttyUSB3", ""); });
  EXPECT_EQ(DeviceChange::DevNodes, change);
  EXPECT_LT(took, 2s);
  EXPECT_EQ(DeviceChange::None, watcher_->wait(100));
  auto [removed, took_removed] =
      wait_around([this] { std::filesystem::remove(root_.path() + "/dev/ttyUSB3"); });
  EXPECT_EQ(DeviceChange::DevNodes, removed);
  EXPECT_LT(took_removed, 2s);
}

TEST_F(DeviceWatcherTest, UsbDeviceLinkGivesServices) {
  auto [change, took] = wait_around([this] {
    std::filesystem::create_directory_symlink("../../../devices/x",
                                              root_.path() + "/sys/bus/usb/devices/9-9");
  });
  EXPECT_EQ(DeviceChange::Services, change);
  EXPECT_LT(took, 2s);
  EXPECT_EQ(DeviceChange::None, watcher_->wait(50));
}

TEST_F(DeviceWatcherTest, DeviceArrivalReportsBothKindsOnceEach) {
  sim::DeviceHandle handle;
  auto [first, took] = wait_around([&] {
    handle = root_.tree().add_device(
        {0x05c6, 0x9008, 0, "1-2", 0, {usb_port(0, 0xff, PortKind::Serial, 0)}});
  });
  EXPECT_EQ(DeviceChange::DevNodes, first);
  EXPECT_LT(took, 2s);
  EXPECT_EQ(DeviceChange::Services, watcher_->wait(0));
  EXPECT_EQ(DeviceChange::None, watcher_->wait(100));
  root_.tree().remove_device(handle);
  // Changes made while nobody waited are reported by the next wait.
  EXPECT_EQ(DeviceChange::DevNodes, watcher_->wait(0));
  EXPECT_EQ(DeviceChange::Services, watcher_->wait(0));
  EXPECT_EQ(DeviceChange::None, watcher_->wait(0));
}

// The burst window (500 ms here) runs from the first event and is not restarted by later
// ones; a tty node appearing ends the burst at once.
TEST_F(DeviceWatcherTest, BurstEndsAtATtyNodeOrWhenItsWindowHasRun) {
  set_device_event_settle_ms(500);
  struct Case {
    const char* name;
    std::function<void()> action;
    Clock::duration at_least, below;
  };
  const Case cases[] = {
      {"device with a tty node",
       [this] {
         root_.tree().add_device(
             {0x05c6, 0x9008, 0, "1-2", 0, {usb_port(0, 0xff, PortKind::Serial, 0)}});
       },
       0ms, 50ms + 300ms},
      {"steady stream of other nodes",
       [this] {
         for (int i = 0; i < 40; ++i) {
           root_.write("dev/node" + std::to_string(i), "");
           std::this_thread::sleep_for(25ms);
         }
       },
       // The watcher counts whole milliseconds from its first event, so the window may end up
       // to a millisecond before 500 ms of this clock have passed.
       50ms + 500ms - 2ms, 50ms + 1000ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The action runs on while the wait reports.
    const auto start = Clock::now();
    std::thread act([&] {
      std::this_thread::sleep_for(50ms);
      c.action();
    });
    const DeviceChange change = watcher_->wait(5000);
    const auto took = Clock::now() - start;
    act.join();
    EXPECT_EQ(DeviceChange::DevNodes, change);
    EXPECT_GE(took, c.at_least);
    EXPECT_LT(took, c.below);
    while (watcher_->wait(0) != DeviceChange::None) {
    }
  }
  set_device_event_settle_ms(20);
}

TEST_F(DeviceWatcherTest, TimeOutGivesNone) {
  const auto start = Clock::now();
  EXPECT_EQ(DeviceChange::None, watcher_->wait(150));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 140ms);
  EXPECT_LT(took, 2s);
}

TEST_F(DeviceWatcherTest, StopWakesABlockedWaitAndEveryLaterOne) {
  auto [change, took] = wait_around([this] { watcher_->stop(); });
  EXPECT_EQ(DeviceChange::Stopped, change);
  EXPECT_LT(took, 2s);
  root_.write("dev/ttyUSB0", "");
  EXPECT_EQ(DeviceChange::Stopped, watcher_->wait(kInfinite));
}

TEST_F(DeviceWatcherTest, InfiniteWaitStillSeesChanges) {
  auto result = std::async(std::launch::async, [this] { return watcher_->wait(kInfinite); });
  std::this_thread::sleep_for(30ms);
  root_.write("dev/ttyACM0", "");
  ASSERT_EQ(std::future_status::ready, result.wait_for(5s));
  EXPECT_EQ(DeviceChange::DevNodes, result.get());
}

TEST_F(DeviceWatcherTest, AWatchDroppedWithItsDirectoryIsArmedAgainWhenItComesBack) {
  for (const auto& [dir, kind] : {std::pair{"dev", DeviceChange::DevNodes},
                                  std::pair{"sys/bus/usb/devices", DeviceChange::Services}}) {
    const std::string path = root_.path() + "/" + dir;
    std::filesystem::remove_all(path);
    EXPECT_EQ(kind, watcher_->wait(2000)) << dir << ": the drop is a change";
    std::filesystem::create_directory(path);
    EXPECT_EQ(kind, watcher_->wait(2000)) << dir << ": so is the new directory";
    EXPECT_EQ(DeviceChange::None, watcher_->wait(50));
    const std::string node = std::string(dir) + "/x";
    auto [change, took] = wait_around([&] { root_.write(node, ""); });
    EXPECT_EQ(kind, change) << dir << ": watched again";
  }
}

TEST_F(DeviceWatcherTest, ADirectoryThatStaysAwayEndsTheWatchAfterTheGrace) {
  std::filesystem::remove_all(root_.path() + "/dev");
  EXPECT_EQ(DeviceChange::DevNodes, watcher_->wait(2000));
  auto start = Clock::now();
  EXPECT_EQ(DeviceChange::None, watcher_->wait(100)) << "a wait keeps its budget meanwhile";
  EXPECT_LT(Clock::now() - start, 500ms);
  start = Clock::now();
  EXPECT_EQ(DeviceChange::RearmFailed, watcher_->wait(10000));
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_EQ(ENOENT, watcher_->wait_error());
}

TEST(DeviceWatcherOpenTest, MissingDirectoriesFailToOpen) {
  test::DeviceRoot root;
  std::filesystem::remove_all(root.path() + "/sys/bus");
  int error = 0;
  EXPECT_FALSE(DeviceWatcher::open(&error));
  EXPECT_EQ(ENOENT, error);
  std::filesystem::remove_all(root.path() + "/dev");
  EXPECT_FALSE(CdromWatcher::open(&error));
  EXPECT_EQ(ENOENT, error);
}

TEST(DeviceWatcherOpenTest, RealRootUsesKernelUevents) {
  setenv("UMTS_KAV_ROOT", "", 1);
  int error = 0;
  auto watcher = DeviceWatcher::open(&error);
  if (!watcher && (error == EACCES || error == EPERM || error == EAFNOSUPPORT ||
                   error == EPROTONOSUPPORT || error == ENOENT)) {
    GTEST_SKIP() << "kernel uevents or /dev not available here (error " << error << ")";
  }
  ASSERT_TRUE(watcher) << error;
  EXPECT_TRUE(watcher->uses_uevents());
  // Whatever the machine does meanwhile, a short wait ends and stop() is obeyed.
  EXPECT_NE(DeviceChange::Stopped, watcher->wait(20));
  watcher->stop();
  EXPECT_EQ(DeviceChange::Stopped, watcher->wait(kInfinite));
}

class CdromWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = -1;
    watcher_ = CdromWatcher::open(&error);
    ASSERT_TRUE(watcher_) << error;
  }

  test::DeviceRoot root_;
  std::unique_ptr<CdromWatcher> watcher_;
};

TEST_F(CdromWatcherTest, ReportsEachArrivalAndRemovalOfSrNodesOnly) {
  auto result = std::async(std::launch::async, [this] { return watcher_->wait(5000); });
  std::this_thread::sleep_for(30ms);
  auto handle = root_.tree().add_device(cdrom_device("ZQTL    "));
  ASSERT_EQ(std::future_status::ready, result.wait_for(2s));
  EXPECT_EQ(CdromEvent::Arrival, result.get());
  EXPECT_EQ(CdromEvent::None, watcher_->wait(50));
  // Other nodes do not count.
  root_.write("dev/ttyUSB0", "");
  root_.write("dev/sr", "");
  root_.write("dev/srx1", "");
  EXPECT_EQ(CdromEvent::None, watcher_->wait(50));
  root_.tree().remove_device(handle);
  EXPECT_EQ(CdromEvent::Removal, watcher_->wait(1000));
  // Two arrivals in a row are two reports.
  root_.write("dev/sr1", "");
  root_.write("dev/sr2", "");
  EXPECT_EQ(CdromEvent::Arrival, watcher_->wait(1000));
  EXPECT_EQ(CdromEvent::Arrival, watcher_->wait(1000));
  EXPECT_EQ(CdromEvent::None, watcher_->wait(0));
}

TEST_F(CdromWatcherTest, StopWakesTheWaiter) {
  auto result = std::async(std::launch::async, [this] { return watcher_->wait(kInfinite); });
  std::this_thread::sleep_for(30ms);
  watcher_->stop();
  ASSERT_EQ(std::future_status::ready, result.wait_for(2s));
  EXPECT_EQ(CdromEvent::Stopped, result.get());
  EXPECT_EQ(CdromEvent::Stopped, watcher_->wait(0));
}

TEST(EjectCdromTest, OpensTheNodeOfTheMatchingCdrom) {
  test::DeviceRoot root;
  root.tree().add_device(cdrom_device("ZQTL    "));
  const std::string path =
      "\\\\?\\USBSTOR#CDROM&VEN_ZQTL&PROD_AUTOINSTALL&REV_2.31#1-3:1.0"
      "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
  // What a simulator sees: the node opened. A plain file cannot be ejected, which is told.
  const int watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch_fd, 0);
  ASSERT_GE(inotify_add_watch(watch_fd, (root.path() + "/dev/sr0").c_str(), IN_OPEN), 0);
  const EjectOutcome outcome = eject_cdrom(path);
  EXPECT_EQ(outcome.node, root.path() + "/dev/sr0");
  EXPECT_EQ(outcome.error, ENOTTY);
  alignas(inotify_event) char buffer[1024];
  EXPECT_GT(read(watch_fd, buffer, sizeof buffer), 0);
  close(watch_fd);

  EXPECT_EQ(ENOENT, eject_cdrom("\\\\?\\usbstor#cdrom&ven_other&prod_x&rev_1#1-3:1.0"
                                "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}")
                        .error);
  std::filesystem::remove(root.path() + "/dev/sr0");
  EXPECT_EQ(ENOENT, eject_cdrom(path).error);
}

// A kernel uevent as the kernel's netlink broadcast carries it: "<action>@<devpath>", then
// NUL-terminated KEY=value fields.
std::string kernel_uevent(const std::string& action, const std::string& subsystem,
                          const std::string& devpath) {
  std::string message = action + "@" + devpath + '\0';
  for (const std::string& field : {"ACTION=" + action, "DEVPATH=" + devpath,
                                   "SUBSYSTEM=" + subsystem, std::string("SEQNUM=4711")}) {
    message += field + '\0';
  }
  return message;
}

// The uevent path fed through a socket pair standing in for the kernel's netlink socket.
class UeventWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair));
    kernel_ = pair[0];
    use_uevent_socket_for_next_watcher(pair[1]);
    int error = -1;
    watcher_ = DeviceWatcher::open(&error);
    ASSERT_TRUE(watcher_) << error;
    EXPECT_TRUE(watcher_->uses_uevents());
  }
  void TearDown() override { close(kernel_); }

  void send(const std::string& message) {
    ASSERT_EQ(static_cast<ssize_t>(message.size()),
              ::send(kernel_, message.data(), message.size(), 0));
  }

  test::DeviceRoot root_;
  int kernel_ = -1;
  std::unique_ptr<DeviceWatcher> watcher_;
};

TEST_F(UeventWatcherTest, WatchedKernelEventsGiveServicesOthersNothing) {
  const struct {
    const char* action;
    const char* subsystem;
    const char* devpath;
    DeviceChange expected;
  } cases[] = {
      {"add", "usb", "/devices/pci0000:00/0000:00:14.0/usb1/1-2", DeviceChange::Services},
      {"bind", "usb", "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1", DeviceChange::Services},
      {"remove", "tty", "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1/ttyUSB0/tty/ttyUSB0",
       DeviceChange::Services},
      {"add", "wwan", "/devices/pci0000:00/0000:00:1c.0/0000:01:00.0/mhi0/wwan0/wwan0qcdm0",
       DeviceChange::Services},
      {"change", "usb", "/devices/pci0000:00/0000:00:14.0/usb1/1-2", DeviceChange::None},
      {"add", "net", "/devices/virtual/net/veth0", DeviceChange::None},
      {"add", "block", "/devices/virtual/block/loop0", DeviceChange::None},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.action) + " " + c.subsystem);
    send(kernel_uevent(c.action, c.subsystem, c.devpath));
    EXPECT_EQ(c.expected, watcher_->wait(200));
    EXPECT_EQ(DeviceChange::None, watcher_->wait(0));
  }
}

// A root whose sys/ is the kernel's sysfs (here: a link to /sys, as a container bind-mounts
// it) gets uevents, because inotify never fires there; a tree of plain directories does not.
TEST(UeventChoiceTest, SysfsBelowAnyRootMeansUevents) {
  struct statfs info {};
  if (statfs("/sys", &info) != 0 || info.f_type != 0x62656572) GTEST_SKIP() << "no sysfs";
  test::DeviceRoot plain;
  int error = -1;
  auto watcher = DeviceWatcher::open(&error);
  ASSERT_TRUE(watcher) << error;
  EXPECT_FALSE(watcher->uses_uevents());
  std::filesystem::remove_all(plain.path() + "/sys");
  std::filesystem::create_directory_symlink("/sys", plain.path() + "/sys");
  watcher = DeviceWatcher::open(&error);
  ASSERT_TRUE(watcher) << error;
  EXPECT_TRUE(watcher->uses_uevents());
  watcher.reset();
  std::filesystem::remove(plain.path() + "/sys");
}

}  // namespace
}  // namespace kav::platform
