#include "lib/platform/machine_hive.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <thread>

#include "lib/platform/registry.h"
#include "tests/support/device_root.h"

namespace kav::platform {
namespace {

using sim::PortKind;
using sim::UsbDeviceSpec;
using sim::UsbInterfaceSpec;

using test::usb_port;

std::string text_of(const RegValue& value) {
  return std::string(value.data.begin(), value.data.end());
}

class MachineHiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    modem_ = root_.tree().add_device(
        {0x5c8e,
         0xa7e2,
         0x0318,
         "1-2",
         0,
         {usb_port(0, 0xff, PortKind::Serial, 4), usb_port(1, 0xff, PortKind::Serial, 5),
          usb_port(3, 0x03, PortKind::Hidraw, 0)}});
    root_.tree().add_device(
        {0x1bbb,
         0x0017,
         0x0232,
         "1-4",
         2,
         {usb_port(0, 0x02, PortKind::Acm, 2), usb_port(1, 0x0a, PortKind::None, 0)}});
  }

  test::DeviceRoot root_;
  sim::DeviceHandle modem_;
  RegistryHive& hive_ = machine_hive();
};

constexpr char kDmKey[] =
    "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_5C8E&PID_A7E2&REV_0318&MI_01\\1-2:1.1\\"
    "Device Parameters";

TEST_F(MachineHiveTest, PortNameOfEverySerialMemberWithoutLetterCase) {
  RegValue value;
  ASSERT_EQ(0, hive_.query_value(kDmKey, "PORTNAME", &value));
  EXPECT_EQ(kRegSz, value.type);
  EXPECT_EQ(std::string("COM6", 5), text_of(value));  // ttyUSB5, with the terminating zero

  ASSERT_EQ(0, hive_.query_value("system\\currentcontrolset\\enum\\usb\\vid_5c8e&pid_a7e2&rev_0318"
                                 "&mi_00\\1-2:1.0\\device parameters",
                                 "PortName", &value));
  EXPECT_EQ(std::string("COM5", 5), text_of(value));

  ASSERT_EQ(0, hive_.query_value("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1BBB&PID_0017&REV_0232&"
                                 "MI_00\\1-4:1.0\\Device Parameters",
                                 "PORTNAME", &value));
  EXPECT_EQ(std::string("COM203", 7), text_of(value));
}

TEST_F(MachineHiveTest, NothingElseIsSynthesised) {
  RegValue value;
  EXPECT_EQ(ENOENT, hive_.query_value(kDmKey, "Driver", &value));
  const std::string instance =
      "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_5C8E&PID_A7E2&REV_0318&MI_01"
      "\\1-2:1.1";
  EXPECT_EQ(ENOENT, hive_.query_value(instance, "Driver", &value));
  EXPECT_EQ(ENOENT, hive_.query_value(instance, "PORTNAME", &value));
  // The HID interface has no COM port.
  EXPECT_EQ(ENOENT, hive_.query_value("SYSTEM\\CurrentControlSet\\Enum\\HID\\VID_5C8E&PID_A7E2&REV_"
                                      "0318&MI_03\\1-2:1.3\\Device Parameters",
                                      "PORTNAME", &value));
  EXPECT_EQ(ENOENT, hive_.query_value("SYSTEM\\CurrentControlSet\\Control\\Class\\x", "AttachedTo",
                                      &value));
}

TEST_F(MachineHiveTest, KeysExistAsATreeAndTheHiveIsReadOnly) {
  EXPECT_EQ(0, hive_.open_key(kDmKey, false));
  EXPECT_EQ(0, hive_.open_key(kDmKey, true));
  EXPECT_EQ(0, hive_.open_key("SYSTEM\\CurrentControlSet\\Enum\\USB", false));
  EXPECT_EQ(0, hive_.open_key("HARDWARE\\DEVICEMAP", false));
  EXPECT_EQ(0, hive_.open_key("system\\currentcontrolset\\services", false));
  EXPECT_EQ(ENOENT, hive_.open_key("SOFTWARE", false));
  EXPECT_EQ(ENOENT, hive_.open_key("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_5C8E", false));
  EXPECT_EQ(ENOENT, hive_.open_key("HARDWARE\\DEVICEMAPX", false));
  EXPECT_EQ(EACCES, hive_.open_key("SOFTWARE\\Brisco Wireless", true));
  EXPECT_EQ(EACCES, hive_.set_dword(kDmKey, "PORTNAME", 1));
  EXPECT_EQ(EACCES, hive_.set_dword("SOFTWARE\\X", "Y", 1));
}

// A single-interface device with the same identity as the composite one: its key is a child of
// the identity key, which the composite's "&MI_" keys only extend. Answered alike from a fresh
// reading and from a snapshot.
TEST_F(MachineHiveTest, KeysOfLookAlikeDevicesWithAndWithoutSnapshot) {
  root_.tree().add_device(
      {0x5c8e, 0xa7e2, 0x0318, "1-5", 0, {usb_port(0, 0xff, PortKind::Serial, 7)}});
  const std::string identity = "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_5C8E&PID_A7E2&REV_0318";
  for (const bool snapshot : {false, true}) {
    SCOPED_TRACE(snapshot ? "snapshot" : "fresh");
    std::optional<MachineHiveSnapshot> held;
    if (snapshot) held.emplace();
    EXPECT_EQ(0, hive_.open_key(identity, false));
    EXPECT_EQ(0, hive_.open_key(identity + "\\1-5", false));
    EXPECT_EQ(0, hive_.open_key(identity + "&MI_01\\1-2:1.1", false));
    EXPECT_EQ(ENOENT, hive_.open_key(identity + "&MI_0", false));
    EXPECT_EQ(ENOENT, hive_.open_key(identity + "\\1-", false));
    EXPECT_EQ(ENOENT, hive_.open_key(identity + "\\1-5\\Device Parameters\\x", false));
    RegValue value;
    ASSERT_EQ(0, hive_.query_value(identity + "\\1-5\\Device Parameters", "PORTNAME", &value));
    EXPECT_EQ(std::string("COM8", 5), text_of(value));
    ASSERT_EQ(0, hive_.query_value(kDmKey, "PORTNAME", &value));
    EXPECT_EQ(std::string("COM6", 5), text_of(value));
    EXPECT_EQ(ENOENT, hive_.query_value(identity + "\\1-5", "PORTNAME", &value));
  }
}

TEST_F(MachineHiveTest, FollowsTheDeviceView) {
  RegValue value;
  ASSERT_EQ(0, hive_.query_value(kDmKey, "PORTNAME", &value));
  root_.tree().remove_device(modem_);
  EXPECT_EQ(ENOENT, hive_.query_value(kDmKey, "PORTNAME", &value));
  EXPECT_EQ(ENOENT, hive_.open_key(kDmKey, false));
}

TEST_F(MachineHiveTest, SnapshotAnswersFromOneReadingUntilItEnds) {
  RegValue value;
  {
    MachineHiveSnapshot snapshot;
    root_.tree().remove_device(modem_);
    EXPECT_EQ(0, hive_.query_value(kDmKey, "PORTNAME", &value)) << "answered from the snapshot";
    {
      MachineHiveSnapshot nested;  // the outer reading stays in force
      EXPECT_EQ(0, hive_.open_key(kDmKey, false));
    }
    EXPECT_EQ(0, hive_.query_value(kDmKey, "PORTNAME", &value));
    std::thread other([&] {  // other threads read the device view afresh
      RegValue seen;
      EXPECT_EQ(ENOENT, hive_.query_value(kDmKey, "PORTNAME", &seen));
    });
    other.join();
  }
  EXPECT_EQ(ENOENT, hive_.query_value(kDmKey, "PORTNAME", &value));
}

class FakeHive : public RegistryHive {
 public:
  int open_key(const std::string&, bool) override { return 0; }
  int query_value(const std::string&, const std::string&, RegValue* out) override {
    out->type = kRegSz;
    out->data = {'C', 'O', 'M', '9', 0};
    return 0;
  }
  int set_dword(const std::string&, const std::string&, uint32_t) override { return 0; }
};

TEST_F(MachineHiveTest, ReplacementHiveServesUntilRestored) {
  FakeHive fake;
  set_machine_hive(&fake);
  RegValue value;
  ASSERT_EQ(0, machine_hive().query_value("anything", "Driver", &value));
  EXPECT_EQ(std::string("COM9", 5), text_of(value));
  set_machine_hive(nullptr);
  EXPECT_EQ(ENOENT, machine_hive().query_value("anything", "Driver", &value));
  ASSERT_EQ(0, machine_hive().query_value(kDmKey, "PORTNAME", &value));
  EXPECT_EQ(std::string("COM6", 5), text_of(value));
}

}  // namespace
}  // namespace kav::platform
