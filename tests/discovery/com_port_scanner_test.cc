#include "lib/discovery/com_port_scanner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/discovery/modem_family.h"
#include "lib/platform/registry.h"
#include "tests/discovery/scanner_fixture.h"
#include "tests/support/fake_registry.h"

namespace kav::test {
namespace {

constexpr char kGobiDmInstance[] = "usb\\vid_05c6&pid_9001&rev_0232&mi_00\\1-2:1.0";
constexpr char kEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\";

std::string params_key(const std::string& instance) {
  return kEnum + instance + "\\Device Parameters";
}

TEST_F(ScannerTest, OneDmPortIsFoundWithItsComNumber) {
  tree().add_device(gobi_modem(4, 5, "1-2"));
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_EQ(1, list->count);
  EXPECT_EQ(1, list->present_count);
  const PortScanEntry& e = list->entries[0];
  EXPECT_EQ(5, e.com_port);
  EXPECT_STREQ("Qualcomm Gobi Modem", e.name);
  EXPECT_STREQ("USB\\VID_05C6&PID_9001&MI_00", e.device_ident);  // revision fallback recorded
  EXPECT_STREQ(kGobiDmInstance, e.device_instance);
  EXPECT_EQ(PT_DM, e.port_type);
  EXPECT_EQ(Both, e.reset_method);
  EXPECT_EQ(0, e.modem_family);  // "Qualcomm Gobi Modem" names no chipset
  EXPECT_TRUE(e.present);

  // The AT interface of the same modem is what an AT scan finds.
  PortScanListPtr at = get_com_port_list(PT_AT);
  ASSERT_TRUE(at);
  ASSERT_EQ(1, at->count);
  EXPECT_EQ(6, at->entries[0].com_port);
  EXPECT_STREQ("USB\\VID_05C6&PID_9001&MI_01", at->entries[0].device_ident);
  EXPECT_TRUE(messages().messages().empty()) << messages().text();
}

TEST_F(ScannerTest, ScanWithNothingKeptYieldsNoListAndEntriesComeSortedByComNumber) {
  EXPECT_FALSE(get_com_port_list(PT_DM));
  tree().add_device(gobi_modem(8, 9, "1-3"));
  tree().add_device(gobi_modem(1, 2, "1-2"));
  tree().add_device(gobi_modem(5, 0, "2-1"));
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_EQ(3, list->count);
  EXPECT_EQ(3, list->present_count);
  EXPECT_GE(list->entries.capacity(), 3u);
  EXPECT_EQ(2, list->entries[0].com_port);
  EXPECT_EQ(6, list->entries[1].com_port);
  EXPECT_EQ(9, list->entries[2].com_port);
}

TEST_F(ScannerTest, FamilyComesFromTheMapName) {
  PortMapEntry entry{"ZQTL Test 9X15 Modem", PT_DM, PortCloseOpen};
  init_valid_ports_map();
  set_port_map_entry("USB\\VID_1234&PID_5678&MI_00", entry);
  tree().add_device(
      {0x1234, 0x5678, 0x0100, "1-2", 0, {serial_interface(0, 2), serial_interface(1, 3)}});
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_EQ(1, list->count);
  EXPECT_EQ(ZqUmtsKavModemFamily_9X15, list->entries[0].modem_family);
  EXPECT_EQ(PortCloseOpen, list->entries[0].reset_method);
  EXPECT_EQ(3, list->entries[0].com_port);
}

// The ACM port is a member of both the modem and the COM port class; a single-interface device
// shares its instance with its USB device interface. Each finding is an entry of its own.
TEST_F(ScannerTest, SameInterfaceUnderTwoClassesGivesTwoEntries) {
  tree().add_device({0x05c6,
                     0x9001,
                     0x0232,
                     "1-2",
                     0,
                     {serial_interface(0, 0, sim::PortKind::Acm, 0x02),
                      serial_interface(1, 1, sim::PortKind::Acm, 0x02)}});
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_EQ(2, list->count);
  EXPECT_EQ(201, list->entries[0].com_port);
  EXPECT_EQ(201, list->entries[1].com_port);
  EXPECT_STREQ(list->entries[0].device_instance, list->entries[1].device_instance);
  // The mask counts the port once: the automatic search finds exactly one DM port.
  EXPECT_EQ(201, get_dm_port(0));

  tree().clear();
  tree().add_device(emergency_boot(4, "3-1"));
  list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_EQ(2, list->count);
  for (const PortScanEntry& e : list->entries) {
    EXPECT_EQ(5, e.com_port);
    EXPECT_STREQ("QCOM Emergency Boot", e.name);
    EXPECT_STREQ("USB\\VID_05C6&PID_9008", e.device_ident);
  }
}

// A plain CDC-ACM device (device class 02) is not composite: its port carries no "&MI_" and is
// matched by the map's row for the whole device, not by the row of its interface number.
TEST_F(ScannerTest, PlainCdcAcmDeviceMatchesTheRowOfTheWholeDevice) {
  sim::UsbDeviceSpec acm{0x05c6,
                         0x9008,
                         0x0000,
                         "1-4",
                         0,
                         {serial_interface(0, 0, sim::PortKind::Acm, 0x02),
                          serial_interface(1, 0, sim::PortKind::None, 0x0a)}};
  acm.device_class = 0x02;
  tree().add_device(acm);
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_GE(list->count, 1);
  for (const PortScanEntry& e : list->entries) {
    EXPECT_EQ(201, e.com_port);
    EXPECT_STREQ("QCOM Emergency Boot", e.name);
    EXPECT_STREQ("USB\\VID_05C6&PID_9008", e.device_ident);
    EXPECT_STREQ("usb\\vid_05c6&pid_9008&rev_0000\\1-4", e.device_instance);
  }
  // The same device as class 00 is composite: its interface 0 has a row of its own only with
  // "&MI_00", which the built-in map does not hold.
  tree().clear();
  acm.device_class = 0x00;
  tree().add_device(acm);
  list = get_com_port_list(PT_DM);
  if (list) {
    for (const PortScanEntry& e : list->entries) EXPECT_NE(201, e.com_port) << e.device_ident;
  }
  PortScanListPtr other = get_com_port_list(PT_OCP);
  ASSERT_TRUE(other);
  ASSERT_EQ(1, other->count);
  EXPECT_EQ(201, other->entries[0].com_port);
  EXPECT_STREQ("Unrecognized Port", other->entries[0].name);
  EXPECT_STREQ("USB\\VID_05C6&PID_9008&MI_00", other->entries[0].device_ident);
}

TEST_F(ScannerTest, OcpScanListsUnrecognisedComPortsOnly) {
  tree().add_device(gobi_modem(0, 1, "1-1"));                                       // mapped
  tree().add_device({0x1234, 0x0001, 0x0100, "1-2", 0, {serial_interface(0, 2)}});  // COM 3
  tree().add_device({0x1234,
                     0x0002,
                     0x0100,
                     "1-3",
                     0,  // COM 203
                     {serial_interface(0, 2, sim::PortKind::Acm, 0x02),
                      serial_interface(1, 0, sim::PortKind::None)}});
  tree().add_device(
      {0x1234, 0x0003, 0x0100, "1-4", 0, {serial_interface(0, 0, sim::PortKind::Hidraw, 0x03)}});
  PortScanListPtr list = get_com_port_list(PT_OCP);
  ASSERT_TRUE(list);
  ASSERT_EQ(2, list->count);  // not the modem-class finding of the ACM port, nor HID or USB
  const int expected_ports[] = {3, 203};
  const char* expected_idents[] = {"USB\\VID_1234&PID_0001", "USB\\VID_1234&PID_0002&MI_00"};
  for (int i = 0; i < 2; ++i) {
    const PortScanEntry& e = list->entries[i];
    EXPECT_EQ(expected_ports[i], e.com_port);
    EXPECT_STREQ("Unrecognized Port", e.name);
    EXPECT_STREQ(expected_idents[i], e.device_ident);  // revision removed: fallback was tried
    EXPECT_EQ(PT_OCP, e.port_type);
    EXPECT_EQ(0, e.modem_family);
    EXPECT_EQ(4, e.reset_method);
  }
  // A map entry of type PT_OCP is listed besides them.
  set_port_map_entry("USB\\VID_05C6&PID_9001&MI_01", {"Gobi spare port", PT_OCP, None});
  list = get_com_port_list(PT_OCP);
  ASSERT_TRUE(list);
  ASSERT_EQ(3, list->count);
  EXPECT_EQ(2, list->entries[0].com_port);
  EXPECT_STREQ("Gobi spare port", list->entries[0].name);
}

TEST_F(ScannerTest, HidInterfaceIsListedWithPortZeroAndDmWithoutPortIsReported) {
  // A single-interface HID device: HID\VID_5C8E&PID_B001 after the revision fallback.
  tree().add_device(
      {0x5c8e, 0xb001, 0x0100, "3-2", 0, {serial_interface(0, 0, sim::PortKind::Hidraw, 0x03)}});
  PortScanListPtr list = get_com_port_list(PT_HID);
  ASSERT_TRUE(list);
  ASSERT_EQ(1, list->count);
  EXPECT_EQ(0, list->entries[0].com_port);
  EXPECT_STREQ("HID\\VID_5C8E&PID_B001", list->entries[0].device_ident);
  EXPECT_STREQ("ZQTL Zumi 2100 Mobile Hotspot", list->entries[0].name);
  EXPECT_EQ(None, list->entries[0].reset_method);
  EXPECT_TRUE(messages().messages().empty()) << messages().text();

  // A DM interface whose registry gives no COM number is reported and left out.
  FakeRegistry machine;
  ScopedHive hive(platform::set_machine_hive, &machine);
  tree().add_device(gobi_modem(4, 5, "1-2"));
  EXPECT_FALSE(get_com_port_list(PT_DM));
  EXPECT_EQ(messages().messages(),
            std::vector<std::string>{"ERROR: Failed to determine com port number for device enum " +
                                     std::string(kGobiDmInstance) + "\n"});
}

TEST_F(ScannerTest, PortNameMustBeUpperCaseComWithANumberAboveZero) {
  FakeRegistry machine;
  ScopedHive hive(platform::set_machine_hive, &machine);
  const std::string instance = "usb\\vid_1111&pid_2222\\x";
  struct Case {
    const char* value;
    int com;
  } cases[] = {{"COM4", 4},
               {"COM12abc", 12},
               {"COM 7", 7},
               {"com4", 0},
               {"Com4", 0},
               {"COM", 0},
               {"COM0", 0},
               {"COM-3", 0},
               {"COMX", 0},
               {"", 0},
               {"COM65535", 65535},
               {"COM65536", 0},
               {"COM99999999999999999999", 0}};
  for (const Case& c : cases) {
    machine.set_string(params_key(instance), "PORTNAME", c.value);
    EXPECT_EQ(c.com, com_port_of_instance(instance)) << c.value;
  }
  // A value that does not fit the 100-byte buffer is not read at all.
  machine.set_string(params_key(instance), "PORTNAME", "COM5" + std::string(96, ' '));
  EXPECT_EQ(0, com_port_of_instance(instance));
  machine.set_string(params_key(instance), "PORTNAME", "COM5" + std::string(95, ' '));
  EXPECT_EQ(5, com_port_of_instance(instance));
  // Bytes without a terminating zero end at the buffer, not beyond it.
  platform::RegValue raw{platform::kRegSz, std::vector<uint8_t>(100, '7')};
  std::memcpy(raw.data.data(), "COM", 3);
  machine.set_value(params_key(instance), "PORTNAME", raw);
  EXPECT_EQ(0, com_port_of_instance(instance));  // 97 digits: far beyond any COM number
}

TEST_F(ScannerTest, DriverAndAttachedToAreTriedWhenPortNameGivesNone) {
  FakeRegistry machine;
  ScopedHive hive(platform::set_machine_hive, &machine);
  tree().add_device(gobi_modem(4, 5, "1-2"));
  const std::string class_key =
      "SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\0003";
  machine.set_string(params_key(kGobiDmInstance), "PORTNAME", "com4");
  machine.set_string(kEnum + std::string(kGobiDmInstance), "Driver",
                     "{4d36e978-e325-11ce-bfc1-08002be10318}\\0003");
  machine.set_string(class_key, "AttachedTo", "COM9");
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_EQ(1, list->count);
  EXPECT_EQ(9, list->entries[0].com_port);

  // PORTNAME wins when it names a port.
  machine.set_string(params_key(kGobiDmInstance), "PORTNAME", "COM4");
  EXPECT_EQ(4, com_port_of_instance(kGobiDmInstance));
  // The AttachedTo value obeys the same rules.
  machine.set_string(params_key(kGobiDmInstance), "PORTNAME", "COM0");
  machine.set_string(class_key, "AttachedTo", "COM");
  EXPECT_EQ(0, com_port_of_instance(kGobiDmInstance));
  machine.set_string(class_key, "AttachedTo", "com9");
  EXPECT_EQ(0, com_port_of_instance(kGobiDmInstance));
  // Without the Driver value the class key is never looked at.
  machine.set_string(class_key, "AttachedTo", "COM9");
  machine.remove_value(kEnum + std::string(kGobiDmInstance), "Driver");
  EXPECT_EQ(0, com_port_of_instance(kGobiDmInstance));
}

TEST_F(ScannerTest, KeyPathsLongerThanTheirLimitGiveNoNumber) {
  FakeRegistry machine;
  ScopedHive hive(platform::set_machine_hive, &machine);
  // "SYSTEM\CurrentControlSet\Enum\" is 30 characters, "\Device Parameters" 18: an instance
  // of 463 characters makes the PORTNAME key 511 long, one more makes it too long.
  for (const size_t length : {463u, 464u}) {
    const std::string instance = "usb\\" + std::string(length - 4, 'a');
    machine.set_string(params_key(instance), "PORTNAME", "COM3");
    EXPECT_EQ(length == 463u ? 3 : 0, com_port_of_instance(instance)) << length;
  }
  // The Driver key path alone is still within its limit: the chain goes on there.
  const std::string instance = "usb\\" + std::string(470, 'b');
  machine.set_string(params_key(instance), "PORTNAME", "COM3");
  machine.set_string(kEnum + instance, "Driver", "drv");
  machine.set_string("SYSTEM\\CurrentControlSet\\Control\\Class\\drv", "AttachedTo", "COM8");
  EXPECT_EQ(8, com_port_of_instance(instance));
  // An Enum key path past 511 characters ends the look-up.
  const std::string longer = "usb\\" + std::string(490, 'c');
  machine.set_string(kEnum + longer, "Driver", "drv");
  EXPECT_EQ(0, com_port_of_instance(longer));
}

TEST_F(ScannerTest, FailingClassEnumerationEndsTheWholeScan) {
  ScopedEnv no_root("UMTS_KAV_ROOT", dir_.file("missing"));
  EXPECT_FALSE(get_com_port_list(PT_DM));
  EXPECT_EQ(messages().messages(),
            std::vector<std::string>{"ERROR: scan_for_comports failed to SetupDiGetClassDevs\n"});
}

TEST(DeriveInterfaceTextsTest, InstanceAndIdentifierFromThePath) {
  InterfaceTexts t = derive_interface_texts(
      "\\\\?\\usb#vid_05c6&pid_9008#5&1a2b3c4d&0&2#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ("usb\\vid_05c6&pid_9008\\5&1a2b3c4d&0&2", t.device_instance);
  EXPECT_EQ("USB\\VID_05C6&PID_9008", t.device_ident);
  // Fewer than two backslashes: the identifier is the whole instance.
  t = derive_interface_texts("\\\\?\\hid#vid_5c8e&pid_b001");
  EXPECT_EQ("hid\\vid_5c8e&pid_b001", t.device_instance);
  EXPECT_EQ("HID\\VID_5C8E&PID_B001", t.device_ident);
  t = derive_interface_texts("ab");
  EXPECT_EQ("", t.device_instance);
  EXPECT_EQ("", t.device_ident);
}

// Paths longer than the 260-byte work buffer are cut to 259 characters after the prefix; entry
// fields keep at most 255 (instance) and 127 (identifier, name) characters.
TEST_F(ScannerTest, OverlongPathsAndTextsAreCutToTheirBuffers) {
  const std::string tail(400, 'q');
  InterfaceTexts t = derive_interface_texts("\\\\?\\usb#vid_1234&pid_5678#" + tail +
                                            "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ(259u, t.device_instance.size());
  EXPECT_EQ("usb\\vid_1234&pid_5678\\" + tail.substr(0, 259 - 22), t.device_instance);
  EXPECT_EQ("USB\\VID_1234&PID_5678", t.device_ident);
  const std::string long_ident(300, 'x');
  t = derive_interface_texts("\\\\?\\" + long_ident);
  EXPECT_EQ(std::string(259, 'X'), t.device_ident);

  // A scan whose instance and map name overflow the entry's fields.
  FakeRegistry machine;
  ScopedHive hive(platform::set_machine_hive, &machine);
  const std::string busport = "1-" + std::string(240, '7');
  tree().add_device({0x1234, 0x5678, 0x0100, busport, 0, {serial_interface(0, 0)}});
  const std::string cut_instance =
      ("usb\\vid_1234&pid_5678&rev_0100\\" + busport + "\\{86e0d1e0").substr(0, 259);
  machine.set_string(params_key(cut_instance), "PORTNAME", "COM1");
  init_valid_ports_map();
  set_port_map_entry("USB\\VID_1234&PID_5678", {std::string(200, 'N'), PT_DM, Both});
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  // The COM port member and the USB device share the (cut) instance of a single-interface device.
  ASSERT_EQ(2, list->count);
  const PortScanEntry& e = list->entries[0];
  EXPECT_EQ(1, e.com_port);
  EXPECT_EQ(std::string(127, 'N'), e.name);
  EXPECT_EQ(cut_instance.substr(0, 255), e.device_instance);
  EXPECT_STREQ("USB\\VID_1234&PID_5678", e.device_ident);
  // The description of the port is cut to 127 characters as well.
  EXPECT_EQ(" (" + std::string(125, 'N'), port_description(1));
}

TEST_F(ScannerTest, JunkSysfsAttributesAreNotMembersAndTheScanGoesOn) {
  const sim::DeviceHandle spoilt = tree().add_device(gobi_modem(0, 1, "1-1"));
  const sim::DeviceHandle odd = tree().add_device(gobi_modem(2, 3, "1-2"));
  tree().add_device(gobi_modem(4, 5, "1-3"));
  write_file(tree().device_dir(spoilt) + "/idVendor", "zz\x01\xff\n");
  write_file(tree().interface_dir(odd, 0) + "/bInterfaceNumber", std::string(5000, '9'));
  write_file(tree().device_dir(odd) + "/bcdDevice", "");
  PortScanListPtr list = get_com_port_list(PT_DM);
  ASSERT_TRUE(list);
  ASSERT_EQ(1, list->count);
  EXPECT_EQ(5, list->entries[0].com_port);
}

}  // namespace
}  // namespace kav::test
