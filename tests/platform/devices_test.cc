#include "lib/platform/devices.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/device_root.h"

namespace kav::platform {
namespace {

using sim::PortKind;
using sim::UsbDeviceSpec;
using sim::UsbInterfaceSpec;
using Paths = std::vector<std::string>;

constexpr char kCom[] = "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
constexpr char kModem[] = "#{2c7089aa-2e0e-11d1-b114-00c04fc2aae4}";
constexpr char kUsb[] = "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char kHid[] = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
constexpr char kCdrom[] = "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

using test::usb_port;

// A composite modem: DM on ttyUSB0, AT on ttyUSB1, a vendor interface without a port, a HID.
UsbDeviceSpec composite_modem() {
  UsbDeviceSpec usb{0x5c8e, 0xa7e2, 0x0318, "1-2", 0, {}};
  usb.interfaces = {usb_port(0, 0xff, PortKind::Serial, 0), usb_port(1, 0xff, PortKind::Serial, 1),
                    usb_port(2, 0xff, PortKind::None, 0), usb_port(3, 0x03, PortKind::Hidraw, 0)};
  return usb;
}

Paths paths_of(InterfaceClass cls) {
  Paths paths;
  EXPECT_EQ(0, enumerate_interfaces(cls, &paths));
  return paths;
}

class DevicesTest : public ::testing::Test {
 protected:
  test::DeviceRoot root_;
};

TEST_F(DevicesTest, CompositeDeviceGivesInterfacePathsWithInterfaceNumbers) {
  root_.tree().add_device(composite_modem());
  const std::string base = "\\\\?\\usb#vid_5c8e&pid_a7e2&rev_0318";
  EXPECT_EQ(paths_of(InterfaceClass::ComPort),
            (Paths{base + "&mi_00#1-2:1.0" + kCom, base + "&mi_01#1-2:1.1" + kCom}));
  EXPECT_EQ(paths_of(InterfaceClass::Modem), Paths{});
  // The root hub the device hangs on is a USB device too.
  EXPECT_EQ(paths_of(InterfaceClass::UsbDevice),
            (Paths{base + "#1-2" + kUsb,
                   "\\\\?\\usb#vid_1d6b&pid_0002&rev_0601#usb1" + std::string(kUsb)}));
  EXPECT_EQ(paths_of(InterfaceClass::Hid),
            Paths{"\\\\?\\hid#vid_5c8e&pid_a7e2&rev_0318&mi_03#1-2:1.3" + std::string(kHid)});
  EXPECT_EQ(paths_of(InterfaceClass::CdRom), Paths{});

  std::vector<DeviceInterface> members;
  ASSERT_EQ(0, enumerate_interfaces(InterfaceClass::ComPort, &members));
  ASSERT_EQ(2u, members.size());
  EXPECT_EQ("ttyUSB0", members[0].node);
  EXPECT_EQ("ttyUSB1", members[1].node);
  EXPECT_EQ("usb\\vid_5c8e&pid_a7e2&rev_0318&mi_01\\1-2:1.1",
            device_instance_of_path(members[1].path));
}

TEST_F(DevicesTest, SingleInterfaceDeviceHasNoInterfaceNumberAndUsesDeviceName) {
  UsbDeviceSpec usb{0x05c6, 0x9008, 0x0000, "3-1", 0, {usb_port(0, 0xff, PortKind::Serial, 2)}};
  root_.tree().add_device(usb);
  EXPECT_EQ(paths_of(InterfaceClass::ComPort),
            Paths{"\\\\?\\usb#vid_05c6&pid_9008&rev_0000#3-1" + std::string(kCom)});
  // bNumInterfaces decides, not the number of interfaces that carry ports.
  UsbDeviceSpec partial{0x1234, 0xabcd, 0x0100, "3-2", 2, {usb_port(1, 0xff, PortKind::Serial, 3)}};
  root_.tree().add_device(partial);
  EXPECT_EQ(paths_of(InterfaceClass::ComPort),
            (Paths{"\\\\?\\usb#vid_05c6&pid_9008&rev_0000#3-1" + std::string(kCom),
                   "\\\\?\\usb#vid_1234&pid_abcd&rev_0100&mi_01#3-2:1.1" + std::string(kCom)}));
}

// Only a composite device (class 00, or EF/02/01 with interface associations; one
// configuration; more than one interface) gives its interfaces "&mi_" and their own instance.
TEST_F(DevicesTest, InterfaceNumberOnlyForCompositeDevices) {
  const struct {
    uint8_t device_class, sub_class, protocol;
    int configurations;
    int interfaces;
    bool composite;
  } cases[] = {
      {0x00, 0x00, 0x00, 1, 3, true},  {0xef, 0x02, 0x01, 1, 3, true},
      {0x02, 0x00, 0x00, 1, 2, false},  // a plain CDC-ACM modem
      {0x00, 0x00, 0x00, 2, 3, false}, {0x00, 0x00, 0x00, 1, 1, false},
      {0xef, 0x02, 0x02, 1, 3, false}, {0xff, 0xff, 0xff, 1, 3, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << int(c.device_class) << "/" << int(c.sub_class) << "/"
                 << int(c.protocol) << " " << c.configurations << " " << c.interfaces);
    UsbDeviceSpec usb{0x1bbb, 0x0017,       0x0232,
                      "2-3",  c.interfaces, {usb_port(0, 0x02, PortKind::Acm, 0)}};
    usb.device_class = c.device_class;
    usb.device_subclass = c.sub_class;
    usb.device_protocol = c.protocol;
    usb.num_configurations = c.configurations;
    auto handle = root_.tree().add_device(usb);
    const std::string base = "\\\\?\\usb#vid_1bbb&pid_0017&rev_0232";
    EXPECT_EQ(paths_of(InterfaceClass::Modem),
              Paths{(c.composite ? base + "&mi_00#2-3:1.0" : base + "#2-3") + kModem});
    root_.tree().remove_device(handle);
  }
}

TEST_F(DevicesTest, UpperCaseAttributesGiveLowerCasePaths) {
  auto handle = root_.tree().add_device(
      {0x05c6, 0x9008, 0, "2-4", 0, {usb_port(0, 0xff, PortKind::Serial, 0)}});
  root_.write(root_.tree().device_dir(handle).substr(root_.path().size() + 1) + "/idProduct",
              "A7E2\n");
  EXPECT_EQ(paths_of(InterfaceClass::ComPort),
            Paths{"\\\\?\\usb#vid_05c6&pid_a7e2&rev_0000#2-4" + std::string(kCom)});
}

TEST_F(DevicesTest, AcmPortIsBothModemAndComPort) {
  UsbDeviceSpec usb{0x1bbb,
                    0x0017,
                    0x0232,
                    "1-4",
                    0,
                    {usb_port(0, 0x02, PortKind::Acm, 0), usb_port(1, 0x0a, PortKind::None, 0),
                     usb_port(2, 0xff, PortKind::Serial, 0)}};
  root_.tree().add_device(usb);
  const std::string acm = "\\\\?\\usb#vid_1bbb&pid_0017&rev_0232&mi_00#1-4:1.0";
  EXPECT_EQ(paths_of(InterfaceClass::Modem), Paths{acm + kModem});
  // Sorted by tty name: ttyACM0 before ttyUSB0.
  EXPECT_EQ(paths_of(InterfaceClass::ComPort),
            (Paths{acm + kCom,
                   "\\\\?\\usb#vid_1bbb&pid_0017&rev_0232&mi_02#1-4:1.2" + std::string(kCom)}));
}

TEST_F(DevicesTest, CdromPathCarriesTrimmedScsiTexts) {
  UsbInterfaceSpec cd = usb_port(0, 0x08, PortKind::Cdrom, 0);
  cd.scsi_vendor = "ZQTL    ";
  cd.scsi_model = "Mass Storage    ";
  cd.scsi_rev = "2.31";
  root_.tree().add_device({0x19d2, 0x2000, 0x0000, "1-3", 0, {cd}});
  UsbInterfaceSpec other = usb_port(0, 0x08, PortKind::Cdrom, 1);
  other.scsi_vendor = " Brisco ";
  other.scsi_model = "AutoInstall  CD  ";
  other.scsi_rev = "1.0 ";
  root_.tree().add_device({0x19d2, 0x2001, 0x0000, "1-5", 3, {other}});
  EXPECT_EQ(paths_of(InterfaceClass::CdRom),
            (Paths{"\\\\?\\usbstor#cdrom&ven_zqtl&prod_mass_storage&rev_2.31#1-3:1.0" +
                       std::string(kCdrom),
                   "\\\\?\\usbstor#cdrom&ven_brisco&prod_autoinstall__cd&rev_1.0#1-5:1.0" +
                       std::string(kCdrom)}));
  EXPECT_EQ(paths_of(InterfaceClass::UsbDevice).size(), 3u);  // with the root hub
}

TEST_F(DevicesTest, MembersSortByNumberAndNonUsbTtysAreIgnored) {
  root_.tree().add_device({0x05c6, 0x9008, 0, "1-1", 0, {usb_port(0, 0xff, PortKind::Serial, 10)}});
  root_.tree().add_device({0x05c6, 0x9009, 0, "1-2", 0, {usb_port(0, 0xff, PortKind::Serial, 2)}});
  // A platform serial port and a virtual console: not below a USB interface.
  namespace fs = std::filesystem;
  fs::create_directories(root_.path() + "/sys/devices/platform/serial8250/tty/ttyS0");
  fs::create_directory_symlink("../../../serial8250",
                               root_.path() + "/sys/devices/platform/serial8250/tty/ttyS0/device");
  fs::create_directory_symlink("../../devices/platform/serial8250/tty/ttyS0",
                               root_.path() + "/sys/class/tty/ttyS0");
  fs::create_directories(root_.path() + "/sys/class/tty/tty0");
  std::vector<DeviceInterface> members;
  ASSERT_EQ(0, enumerate_interfaces(InterfaceClass::ComPort, &members));
  ASSERT_EQ(2u, members.size());
  EXPECT_EQ("ttyUSB2", members[0].node);
  EXPECT_EQ("ttyUSB10", members[1].node);
}

TEST_F(DevicesTest, AbsoluteLinksResolveBelowTheRoot) {
  auto handle = root_.tree().add_device(
      {0x05c6, 0x9008, 0, "1-7", 0, {usb_port(0, 0xff, PortKind::Serial, 0)}});
  const std::string port_dir = root_.tree().interface_dir(handle, 0) + "/ttyUSB0";
  const std::string tty = port_dir + "/tty/ttyUSB0";
  namespace fs = std::filesystem;
  // A root-prefixed link and a link written as the kernel would inside the root.
  fs::remove(root_.path() + "/sys/class/tty/ttyUSB0");
  fs::create_directory_symlink(tty, root_.path() + "/sys/class/tty/ttyUSB0");
  fs::remove(tty + "/device");
  fs::create_directory_symlink(port_dir.substr(root_.path().size()), tty + "/device");
  EXPECT_EQ(paths_of(InterfaceClass::ComPort),
            Paths{"\\\\?\\usb#vid_05c6&pid_9008&rev_0000#1-7" + std::string(kCom)});
}

// A scan reads the tty class and each USB device once: classes enumerated while a DeviceScan
// lives agree with one another even when the device view changes meanwhile; later ones see it.
TEST_F(DevicesTest, DeviceScanAnswersEveryClassFromOneReading) {
  auto modem = root_.tree().add_device(composite_modem());
  root_.tree().add_device(
      {0x1bbb, 0x0017, 0x0232, "1-4", 0, {usb_port(0, 0x02, PortKind::Acm, 0)}});
  const Paths com_before = paths_of(InterfaceClass::ComPort);
  ASSERT_EQ(3u, com_before.size());
  {
    const DeviceScan scan;
    EXPECT_EQ(paths_of(InterfaceClass::ComPort), com_before);
    root_.write(root_.tree().device_dir(modem).substr(root_.path().size() + 1) + "/idVendor",
                "1234\n");
    root_.tree().add_device(
        {0x05c6, 0x9008, 0, "1-9", 0, {usb_port(0, 0xff, PortKind::Serial, 9)}});
    EXPECT_EQ(paths_of(InterfaceClass::ComPort), com_before);
    EXPECT_EQ(1u, paths_of(InterfaceClass::Modem).size());
    // The HID interface of the modem was read with the same device attributes.
    const Paths hid = paths_of(InterfaceClass::Hid);
    ASSERT_EQ(1u, hid.size());
    EXPECT_NE(std::string::npos, hid[0].find("vid_5c8e")) << hid[0];
  }
  const Paths com_after = paths_of(InterfaceClass::ComPort);
  ASSERT_EQ(4u, com_after.size());
  EXPECT_NE(std::string::npos, com_after[1].find("vid_1234")) << com_after[1];  // ttyUSB0
}

// Spoils one member in a way the kernel never would; the other member must still be listed.
class SpoiltMemberTest : public DevicesTest,
                         public ::testing::WithParamInterface<std::pair<std::string, std::string>> {
};

std::pair<std::string, std::string> P(std::string where, std::string text) {
  return {std::move(where), std::move(text)};
}

TEST_P(SpoiltMemberTest, SpoiltMemberIsSkippedOthersRemain) {
  auto bad = root_.tree().add_device(
      {0x05c6, 0x9008, 0x0001, "1-1", 0, {usb_port(0, 0xff, PortKind::Serial, 0)}});
  root_.tree().add_device(
      {0x05c6, 0x9009, 0x0001, "1-2", 0, {usb_port(0, 0xff, PortKind::Serial, 1)}});
  const std::string where = GetParam().first;
  const std::string text = GetParam().second;
  const std::string dir = where.rfind("itf:", 0) == 0 ? root_.tree().interface_dir(bad, 0)
                                                      : root_.tree().device_dir(bad);
  const std::string file = dir + "/" + where.substr(where.find(':') + 1);
  namespace fs = std::filesystem;
  if (text == std::string("<missing>")) {
    fs::remove(file);
  } else {
    root_.write(file.substr(root_.path().size() + 1), text);
  }
  std::vector<DeviceInterface> members;
  ASSERT_EQ(0, enumerate_interfaces(InterfaceClass::ComPort, &members));
  ASSERT_EQ(1u, members.size());
  EXPECT_EQ("ttyUSB1", members[0].node);
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, SpoiltMemberTest,
    ::testing::Values(P("dev:idVendor", ""), P("dev:idVendor", "zzzz"), P("dev:idVendor", "05c61"),
                      P("dev:idProduct", "<missing>"), P("dev:bcdDevice", "\n"),
                      P("dev:bNumInterfaces", ""), P("dev:bNumInterfaces", "-1"),
                      P("dev:bNumInterfaces", "0"), P("dev:bNumInterfaces", std::string(4096, '7')),
                      P("itf:bInterfaceNumber", "x1"), P("itf:bInterfaceClass", "<missing>"),
                      P("dev:bDeviceClass", "<missing>"), P("dev:bDeviceClass", "0"),
                      P("dev:bNumConfigurations", "0")));

TEST_F(DevicesTest, DanglingLoopingAndEscapingLinksAreSkipped) {
  auto handle = root_.tree().add_device(
      {0x05c6,
       0x9008,
       0,
       "1-1",
       0,
       {usb_port(0, 0xff, PortKind::Serial, 0), usb_port(1, 0x03, PortKind::Hidraw, 0)}});
  namespace fs = std::filesystem;
  const std::string cls = root_.path() + "/sys/class/tty/";
  fs::create_directory_symlink("../../devices/nowhere", cls + "ttyUSB5");
  fs::create_directory_symlink("ttyUSB7", cls + "ttyUSB6");
  fs::create_directory_symlink("ttyUSB6", cls + "ttyUSB7");
  fs::create_directory_symlink("../../../../../../../../../../../../..", cls + "ttyUSB8");
  // An sr entry whose SCSI device lacks its model text.
  UsbInterfaceSpec cd = usb_port(0, 0x08, PortKind::Cdrom, 0);
  auto cd_handle = root_.tree().add_device({0x19d2, 0x2000, 0, "1-3", 0, {cd}});
  for (const auto& entry : fs::recursive_directory_iterator(root_.tree().device_dir(cd_handle))) {
    if (entry.path().filename() == "model") fs::remove(entry.path());
  }
  // The hidraw device link dangles.
  const std::string hid_dir = root_.tree().interface_dir(handle, 1);
  for (const auto& entry : fs::directory_iterator(hid_dir)) {
    if (entry.path().filename().string().rfind("0003:", 0) == 0) fs::remove_all(entry.path());
  }
  EXPECT_EQ(paths_of(InterfaceClass::ComPort),
            Paths{"\\\\?\\usb#vid_05c6&pid_9008&rev_0000&mi_00#1-1:1.0" + std::string(kCom)});
  EXPECT_EQ(paths_of(InterfaceClass::CdRom), Paths{});
  EXPECT_EQ(paths_of(InterfaceClass::Hid), Paths{});
}

TEST(DevicesRootTest, MissingSysIsAnErrorEmptyClassesAreNot) {
  namespace fs = std::filesystem;
  const std::string dir = fs::temp_directory_path() / ("kav-empty-" + std::to_string(getpid()));
  fs::create_directories(dir);
  setenv("UMTS_KAV_ROOT", dir.c_str(), 1);
  Paths paths{"stale"};
  EXPECT_EQ(ENOENT, enumerate_interfaces(InterfaceClass::ComPort, &paths));
  EXPECT_TRUE(paths.empty());
  fs::create_directories(dir + "/sys");
  for (InterfaceClass cls :
       {InterfaceClass::Modem, InterfaceClass::ComPort, InterfaceClass::UsbDevice,
        InterfaceClass::Hid, InterfaceClass::CdRom}) {
    EXPECT_EQ(0, enumerate_interfaces(cls, &paths));
    EXPECT_TRUE(paths.empty());
  }
  fs::remove_all(dir);
  unsetenv("UMTS_KAV_ROOT");
}

sim::PciModemSpec pcie_modem(const std::string& address, int wwan) {
  sim::PciModemSpec pci;
  pci.vendor = 0x1eac;
  pci.device = 0x1002;
  pci.revision = 0x01;
  pci.address = address;
  pci.wwan = wwan;
  return pci;
}

TEST_F(DevicesTest, PcieQcdmPortsAreComPortsNamedAfterTheirPciFunction) {
  root_.tree().add_device(composite_modem());
  root_.tree().add_pci_modem(pcie_modem("0000:02:00.0", 1));
  root_.tree().add_pci_modem(pcie_modem("0000:01:00.0", 0));
  std::vector<DeviceInterface> members;
  ASSERT_EQ(0, enumerate_interfaces(InterfaceClass::ComPort, &members));
  ASSERT_EQ(4u, members.size());
  EXPECT_EQ("wwan0qcdm0", members[2].node);
  EXPECT_EQ("\\\\?\\pci#ven_1eac&dev_1002&rev_01&mi_04#0000:01:00.0" + std::string(kCom),
            members[2].path);
  EXPECT_EQ("wwan1qcdm0", members[3].node);
  EXPECT_EQ("pci\\ven_1eac&dev_1002&rev_01&mi_04\\0000:02:00.0",
            device_instance_of_path(members[3].path));
  EXPECT_EQ(root_.path() + "/dev/wwan1qcdm0", device_node_of_path(members[3].path));
  EXPECT_EQ(root_.path() + "/dev/wwan1qcdm0", device_node_of_path("\\\\.\\COM511"));
  EXPECT_EQ(paths_of(InterfaceClass::Modem), Paths{});
  EXPECT_EQ(paths_of(InterfaceClass::UsbDevice).size(), 2u);  // the modem and its root hub
}

TEST_F(DevicesTest, WwanPortsThatAreNoQcdmPortOrLackPciIdsAreSkipped) {
  namespace fs = std::filesystem;
  auto good = root_.tree().add_pci_modem(pcie_modem("0000:01:00.0", 0));
  auto bad = root_.tree().add_pci_modem(pcie_modem("0000:02:00.0", 1));
  fs::remove(root_.tree().device_dir(bad) + "/revision");
  // A function whose ids cannot be read, below a bridge whose ids can: the walk stops at the
  // function and never names the modem after the bridge.
  auto unread = root_.tree().add_pci_modem(pcie_modem("0000:03:00.0", 2));
  const fs::path function = root_.tree().device_dir(unread);
  fs::remove(function / "vendor");
  const fs::path bridge = function.parent_path();
  for (const char* attribute : {"vendor", "device", "revision"}) {
    std::ofstream(bridge / attribute) << (attribute[0] == 'r' ? "0x01\n" : "0x8086\n");
  }
  fs::create_symlink("../../bus/pci", bridge / "subsystem");
  // Another port type of the same modem, and names the kernel never gives a QCDM port.
  const std::string wwan0 =
      root_.tree().device_dir(good).substr(root_.path().size() + 1) + "/mhi0/wwan/wwan0/";
  for (const char* name : {"wwan0at0", "wwan0qcdm01", "wwan0qcdm", "wwan00qcdm1"}) {
    fs::create_directories(root_.path() + "/" + wwan0 + name);
    fs::create_directory_symlink("../../" + wwan0.substr(4) + name,
                                 root_.path() + "/sys/class/wwan/" + name);
  }
  std::vector<DeviceInterface> members;
  ASSERT_EQ(0, enumerate_interfaces(InterfaceClass::ComPort, &members));
  ASSERT_EQ(1u, members.size());
  EXPECT_EQ("wwan0qcdm0", members[0].node);
}

TEST(ComNumbersTest, QcdmPortsHaveARangeOfTheirOwn) {
  const std::pair<const char*, int> cases[] = {
      {"wwan0qcdm0", 501}, {"wwan0qcdm9", 510}, {"wwan1qcdm0", 511}, {"wwan49qcdm9", 1000},
      {"wwan50qcdm0", 0},  {"wwan0qcdm10", 0},  {"wwan01qcdm0", 0},  {"wwan0at0", 0},
      {"wwan0qcdm", 0},    {"ttyUSB0", 1},      {"ttyACM0", 201},    {"wwan0", 0},
  };
  for (const auto& [name, com] : cases) {
    EXPECT_EQ(com, com_number_of_node(name)) << name;
    if (com != 0) {
      EXPECT_EQ(name, node_of_com_number(com));
    }
  }
  for (int com : {0, 457, 500, 1001}) EXPECT_FALSE(node_of_com_number(com)) << com;
}

TEST(ComNumbersTest, TtyNamesMapToComNumbersAndBack) {
  EXPECT_EQ(1, com_number_of_tty("ttyUSB0"));
  EXPECT_EQ(13, com_number_of_tty("ttyUSB12"));
  EXPECT_EQ(200, com_number_of_tty("ttyUSB199"));
  EXPECT_EQ(0, com_number_of_tty("ttyUSB200"));
  EXPECT_EQ(201, com_number_of_tty("ttyACM0"));
  EXPECT_EQ(208, com_number_of_tty("ttyACM7"));
  for (const char* name : {"ttyS0", "ttyUSB", "ttyUSB01", "ttyUSB-1", "ttyUSB1x", "ttyACM", "",
                           "hidraw0", "ttyusb0", "ttyUSB99999999999"}) {
    EXPECT_EQ(0, com_number_of_tty(name)) << name;
  }
  for (int com : {1, 2, 100, 200, 201, 250, 456}) {
    auto tty = tty_of_com_number(com);
    ASSERT_TRUE(tty) << com;
    EXPECT_EQ(com, com_number_of_tty(*tty));
  }
  for (int com : {0, -1, 457, 100000}) EXPECT_FALSE(tty_of_com_number(com)) << com;
}

TEST_F(DevicesTest, ComDeviceNodesAndDevicePaths) {
  EXPECT_EQ(root_.path() + "/dev/ttyUSB0", com_device_node(1));
  EXPECT_EQ(root_.path() + "/dev/ttyUSB199", com_device_node(200));
  EXPECT_EQ(root_.path() + "/dev/ttyACM0", com_device_node(201));
  EXPECT_FALSE(com_device_node(0));
  EXPECT_EQ(root_.path() + "/dev/ttyUSB4", device_node_of_path("\\\\.\\COM5"));
  EXPECT_EQ(root_.path() + "/dev/ttyACM3", device_node_of_path("\\\\.\\com204"));
  EXPECT_FALSE(device_node_of_path("\\\\.\\COM0"));
  EXPECT_FALSE(device_node_of_path("\\\\.\\COM"));
  EXPECT_FALSE(device_node_of_path("\\\\.\\COM5x"));

  root_.tree().add_device(composite_modem());
  const std::string dm = "\\\\?\\USB#VID_5C8E&PID_A7E2&REV_0318&MI_01#1-2:1.1" +
                         std::string("#{86E0D1E0-8089-11D0-9CE4-08003E301F73}");
  EXPECT_EQ(root_.path() + "/dev/ttyUSB1", device_node_of_path(dm));
  EXPECT_EQ(root_.path() + "/dev/hidraw0",
            device_node_of_path("\\\\?\\hid#vid_5c8e&pid_a7e2&rev_0318&mi_03#1-2:1.3" +
                                std::string(kHid)));
  EXPECT_FALSE(device_node_of_path("\\\\?\\usb#vid_5c8e&pid_a7e2&rev_0318&mi_02#1-2:1.2" +
                                   std::string(kCom)));
}

TEST(InterfaceClassTest, GuidsRoundTripWithAnyCaseAndBraces) {
  EXPECT_EQ(InterfaceClass::CdRom,
            interface_class_of_guid("{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}"));
  EXPECT_EQ(InterfaceClass::Modem, interface_class_of_guid("2c7089aa-2e0e-11d1-b114-00c04fc2aae4"));
  EXPECT_FALSE(interface_class_of_guid("{53F56308-B6BF-11D0-94F2-00A0C91EFB8C}"));
  EXPECT_FALSE(interface_class_of_guid(""));
  for (InterfaceClass cls :
       {InterfaceClass::Modem, InterfaceClass::ComPort, InterfaceClass::UsbDevice,
        InterfaceClass::Hid, InterfaceClass::CdRom}) {
    EXPECT_EQ(cls, interface_class_of_guid(interface_class_guid(cls)));
  }
}

TEST(DeviceInstanceTest, DerivedAsTheScannerDoes) {
  EXPECT_EQ("usb\\vid_05c6&pid_9008\\5&1a2b3c4d&0&2",
            device_instance_of_path("\\\\?\\usb#vid_05c6&pid_9008#5&1a2b3c4d&0&2#{86e0d1e0-8089-"
                                    "11d0-9ce4-08003e301f73}"));
  EXPECT_EQ("USB\\X", device_instance_of_path("\\\\?\\USB#X"));
  EXPECT_EQ("", device_instance_of_path("\\\\?\\"));
}

}  // namespace
}  // namespace kav::platform
