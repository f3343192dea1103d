#include "lib/platform/cdrom_eject.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/device_root.h"
#include "tests/support/fake_cdrom.h"

namespace kav::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kPath[] =
    "\\\\?\\usbstor#cdrom&ven_zqtl&prod_autoinstall&rev_2.31#1-3:1.0"
    "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

sim::UsbDeviceSpec maker_cdrom() {
  sim::UsbInterfaceSpec cd = test::usb_port(0, 0x08, sim::PortKind::Cdrom, 0);
  cd.scsi_vendor = "ZQTL    ";
  cd.scsi_model = "AutoInstall     ";
  return {0x19d2, 0x2000, 0, "1-3", 0, {cd}};
}

struct Failure {
  const char* call;
  int error;
  int times;  // 0: more than once (how often depends on timing)
};

struct Case {
  const char* name;
  std::vector<int> open, eject, start_stop;  // scripted errno values, 0 = success
  int error;                                 // of the outcome
  bool by_scsi_command;
  std::vector<Failure> failures;
  long min_ms, max_ms;  // time the eject takes, with a retry time of 200 ms
};

// What the kernel does to an eject: devtmpfs's 0600 node before udev sets its group, udev's
// cdrom_id holding a new drive, a drive without a tray, and a drive that refuses everything.
TEST(EjectCdrom, RetriesWhilePassingAndFallsBackToTheScsiCommand) {
  const Case cases[] = {
      {"node not yet given its group",
       {EACCES, EACCES, 0},
       {0},
       {},
       0,
       false,
       {{"open", EACCES, 2}},
       0,
       190},
      {"drive briefly held by udev",
       {0},
       {EBUSY, EBUSY, 0},
       {},
       0,
       false,
       {{"CDROMEJECT", EBUSY, 2}},
       0,
       190},
      {"drive held for good", {0}, {EBUSY}, {0}, 0, true, {{"CDROMEJECT", EBUSY, 0}}, 190, 1000},
      {"drive without a tray", {0}, {ENOSYS}, {0}, 0, true, {{"CDROMEJECT", ENOSYS, 1}}, 0, 100},
      {"drive refusing everything",
       {0},
       {ENOSYS},
       {EIO},
       EIO,
       false,
       {{"CDROMEJECT", ENOSYS, 1}, {"START STOP UNIT", EIO, 1}},
       0,
       100},
      {"node never opened to us",
       {EACCES},
       {0},
       {0},
       EACCES,
       false,
       {{"open", EACCES, 0}},
       190,
       1000},
      {"not a drive", {0}, {ENOTTY}, {0}, ENOTTY, false, {{"CDROMEJECT", ENOTTY, 1}}, 0, 100},
  };
  test::DeviceRoot root;
  root.tree().add_device(maker_cdrom());
  set_cdrom_eject_retry_ms(200);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::FakeCdromDrive drive(c.open, c.eject, c.start_stop);
    const auto start = Clock::now();
    const EjectOutcome outcome = eject_cdrom(kPath);
    const long took = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    EXPECT_EQ(outcome.node, root.path() + "/dev/sr0");
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.by_scsi_command, c.by_scsi_command);
    ASSERT_EQ(outcome.failures.size(), c.failures.size());
    for (size_t i = 0; i < c.failures.size(); ++i) {
      EXPECT_EQ(outcome.failures[i].call, c.failures[i].call);
      EXPECT_EQ(outcome.failures[i].error, c.failures[i].error);
      if (c.failures[i].times > 0) {
        EXPECT_EQ(outcome.failures[i].times, c.failures[i].times);
      } else {
        EXPECT_GT(outcome.failures[i].times, 1);
      }
    }
    // The SCSI command goes only where CDROMEJECT cannot do it.
    EXPECT_EQ(drive.start_stops(), c.by_scsi_command || c.error == EIO ? 1 : 0);
    EXPECT_GE(took, c.min_ms);
    EXPECT_LE(took, c.max_ms);
  }
  set_cdrom_eject_retry_ms(3000);
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
