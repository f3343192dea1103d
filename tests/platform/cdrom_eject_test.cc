#include "lib/platform/cdrom_eject.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/device_root.h"
#include "tests/support/fake_cdrom.h"

namespace kav::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kPath[] =
    "\\\\?\\usbstor#cdrom&ven_zqtl&prod_autoinstall&rev_2.31#1-3:1.0"
    "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

// The drive's node is /dev/null under another name: a character device (1:3) whose udev
// entry a test can write, and which the fake drive opens for real.
sim::UsbDeviceSpec maker_cdrom() {
  sim::UsbInterfaceSpec cd = test::usb_port(0, 0x08, sim::PortKind::Cdrom, 0);
  cd.scsi_vendor = "ZQTL    ";
  cd.scsi_model = "AutoInstall     ";
  cd.node_target = "/dev/null";
  return {0x19d2, 0x2000, 0, "1-3", 0, {cd}};
}

enum class Udev { kAbsent, kHandling, kDone };

struct Failure {
  const char* call;
  int error;
  int scsi_result;
  int times;  // 0: more than once (how often depends on timing)
};

struct Case {
  const char* name;
  Udev udev;
  std::vector<int> open, unlock, eject;  // 0 success, -e errno e, > 0 SCSI result
  int vanish_after_ms;                   // the node goes this long after the eject; -1 never
  int error, scsi_result;
  bool left_the_bus;
  std::vector<Failure> failures;
  long min_ms, max_ms;  // with a retry time of 300 ms and a vanish time of 200 ms
};

constexpr int kCheckCondition = 0x02;
constexpr int kNoConnect = 0x00010000;  // host byte DID_NO_CONNECT

// What a USB CD-ROM does to an eject on Linux 6.1: the answer of START STOP UNIT comes back
// from the ioctl as it is, so a refusal is positive; a modem may leave the bus instead of
// answering; devtmpfs's 0600 node waits for udev, and only for udev.
TEST(EjectCdrom, ReportsTheDrivesAnswerAndWaitsOnlyForWhatCanChange) {
  const Case cases[] = {
      {"drive takes it", Udev::kDone, {0}, {0}, {0}, -1, 0, 0, false, {}, 0, 150},
      {"door stays locked, eject taken anyway",
       Udev::kDone,
       {0},
       {kCheckCondition},
       {0},
       -1,
       0,
       0,
       false,
       {{"SCSI_IOCTL_DOORUNLOCK", 0, kCheckCondition, 1}},
       0,
       150},
      {"drive refuses",
       Udev::kDone,
       {0},
       {0},
       {kCheckCondition},
       -1,
       EIO,
       kCheckCondition,
       false,
       {{"CDROMEJECT", 0, kCheckCondition, 1}},
       190,
       1000},
      {"modem switches before the status comes back",
       Udev::kDone,
       {0},
       {0},
       {kNoConnect},
       50,
       0,
       0,
       true,
       {{"CDROMEJECT", 0, kNoConnect, 1}},
       40,
       190},
      {"device gone during the command",
       Udev::kDone,
       {0},
       {0},
       {-ENODEV},
       0,
       0,
       0,
       true,
       {{"CDROMEJECT", ENODEV, 0, 1}},
       0,
       150},
      {"not a SCSI device: no drive to wait for",
       Udev::kDone,
       {0},
       {-ENOTTY},
       {-ENOTTY},
       -1,
       ENOTTY,
       0,
       false,
       {{"SCSI_IOCTL_DOORUNLOCK", ENOTTY, 0, 1}, {"CDROMEJECT", ENOTTY, 0, 1}},
       0,
       150},
      {"node not yet given its group by udev",
       Udev::kHandling,
       {-EACCES, -EACCES, 0},
       {0},
       {0},
       -1,
       0,
       0,
       false,
       {{"open", EACCES, 0, 2}},
       0,
       250},
      {"udev never finishes",
       Udev::kHandling,
       {-EACCES},
       {0},
       {0},
       -1,
       EACCES,
       0,
       false,
       {{"open", EACCES, 0, 0}},
       290,
       1000},
      {"udev done: the refusal is final",
       Udev::kDone,
       {-EACCES},
       {0},
       {0},
       -1,
       EACCES,
       0,
       false,
       {{"open", EACCES, 0, 1}},
       0,
       150},
      {"no udev to wait for",
       Udev::kAbsent,
       {-EACCES},
       {0},
       {0},
       -1,
       EACCES,
       0,
       false,
       {{"open", EACCES, 0, 1}},
       0,
       150},
  };
  set_cdrom_eject_retry_ms(300);
  set_cdrom_vanish_wait_ms(200);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::DeviceRoot root;
    root.tree().add_device(maker_cdrom());
    const std::string node = root.path() + "/dev/sr0";
    if (c.udev != Udev::kAbsent) root.write("run/udev/control", "");
    if (c.udev == Udev::kDone) root.write("run/udev/data/c1:3", "E:ID_CDROM=1\n");
    std::thread leaving;
    test::FakeCdromDrive drive(c.open, c.unlock, c.eject, [&] {
      if (c.vanish_after_ms < 0) return;
      leaving = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.vanish_after_ms));
        unlink(node.c_str());
      });
    });
    const auto start = Clock::now();
    const EjectOutcome outcome = eject_cdrom(kPath);
    const long took = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    if (leaving.joinable()) leaving.join();
    EXPECT_EQ(outcome.node, node);
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.scsi_result, c.scsi_result);
    EXPECT_EQ(outcome.left_the_bus, c.left_the_bus);
    ASSERT_EQ(outcome.failures.size(), c.failures.size());
    for (size_t i = 0; i < c.failures.size(); ++i) {
      EXPECT_EQ(outcome.failures[i].call, c.failures[i].call);
      EXPECT_EQ(outcome.failures[i].error, c.failures[i].error);
      EXPECT_EQ(outcome.failures[i].scsi_result, c.failures[i].scsi_result);
      if (c.failures[i].times > 0) {
        EXPECT_EQ(outcome.failures[i].times, c.failures[i].times);
      } else {
        EXPECT_GT(outcome.failures[i].times, 1);
      }
    }
    // The door is unlocked before every eject, and the eject is sent once.
    const bool opened = c.error != EACCES;
    EXPECT_EQ(drive.unlocks(), opened ? 1 : 0);
    EXPECT_EQ(drive.ejects(), opened ? 1 : 0);
    EXPECT_GE(took, c.min_ms);
    EXPECT_LE(took, c.max_ms);
  }
  set_cdrom_eject_retry_ms(10000);
  set_cdrom_vanish_wait_ms(2000);
}

TEST(EjectCdrom, RefusalTextNamesTheStatusAndHostByte) {
  EXPECT_EQ(scsi_result_text(0x02), "SCSI status 0x02 (CHECK CONDITION)");
  EXPECT_EQ(scsi_result_text(0x08), "SCSI status 0x08 (BUSY)");
  EXPECT_EQ(scsi_result_text(0x00010000), "SCSI status 0x00 (GOOD), host byte 0x01");
  EXPECT_EQ(scsi_result_text(0x40), "SCSI status 0x40");
}

TEST(EjectCdrom, UnknownDriveIsNotTouched) {
  test::DeviceRoot root;
  root.tree().add_device(maker_cdrom());
  test::FakeCdromDrive drive({0}, {0}, {0});
  const EjectOutcome outcome = eject_cdrom(
      "\\\\?\\usbstor#cdrom&ven_other&prod_x&rev_1#1-3:1.0"
      "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_EQ(outcome.error, ENOENT);
  EXPECT_TRUE(outcome.node.empty());
  EXPECT_EQ(drive.opens(), 0);
}

}  // namespace
}  // namespace kav::platform
