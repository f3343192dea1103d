#include "sim/device_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "lib/platform/devices.h"
#include "sim/pty.h"
#include "tests/support/device_root.h"

namespace kav::sim {
namespace {

namespace fs = std::filesystem;

using test::usb_port;

UsbDeviceSpec every_kind(const std::string& busport, int base) {
  return {0x05c6,
          0x9025,
          0x0318,
          busport,
          0,
          {usb_port(0, 0xff, PortKind::Serial, base), usb_port(1, 0x02, PortKind::Acm, base),
           usb_port(2, 0x03, PortKind::Hidraw, base), usb_port(3, 0x08, PortKind::Cdrom, base)}};
}

std::set<std::string> entries(const std::string& root) {
  std::set<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    out.insert(entry.path().string().substr(root.size()));
  }
  return out;
}

TEST(DeviceTreeTest, RemovalLeavesNothingBehind) {
  test::DeviceRoot root;
  const auto skeleton = entries(root.path());
  auto first = root.tree().add_device(every_kind("1-2", 0));
  auto second = root.tree().add_device(every_kind("1-3", 1));
  auto third = root.tree().add_device(every_kind("2-1", 2));
  EXPECT_GT(entries(root.path()).size(), skeleton.size() + 60);

  root.tree().remove_device(second);
  std::vector<platform::DeviceInterface> members;
  ASSERT_EQ(0, platform::enumerate_interfaces(platform::InterfaceClass::ComPort, &members));
  ASSERT_EQ(4u, members.size());  // two ttyACM and two ttyUSB of the remaining devices
  EXPECT_EQ("ttyACM0", members[0].node);
  EXPECT_EQ("ttyACM2", members[1].node);

  EXPECT_TRUE(root.tree().remove_device(first));
  EXPECT_FALSE(root.tree().remove_device(first));
  root.tree().clear();
  EXPECT_FALSE(root.tree().remove_device(third));
  EXPECT_EQ(skeleton, entries(root.path()));
}

TEST(DeviceTreeTest, KeepsTheKernelsShape) {
  test::DeviceRoot root;
  auto handle = root.tree().add_device(every_kind("1-2", 0));
  const std::string& r = root.path();
  const std::string itf1 = root.tree().interface_dir(handle, 1);
  EXPECT_EQ(fs::canonical(r + "/sys/class/tty/ttyUSB0/device"),
            fs::path(root.tree().interface_dir(handle, 0) + "/ttyUSB0"));
  EXPECT_EQ(fs::canonical(r + "/sys/class/tty/ttyACM0/device"), fs::path(itf1));
  EXPECT_EQ(fs::canonical(r + "/sys/bus/usb/devices/1-2"),
            fs::path(root.tree().device_dir(handle)));
  EXPECT_EQ(fs::canonical(r + "/sys/bus/usb/devices/1-2:1.1"), fs::path(itf1));
  // Links are relative, as the kernel writes them, so the tree can be moved or bind-mounted.
  for (const char* link : {"/sys/class/tty/ttyUSB0", "/sys/class/block/sr0",
                           "/sys/class/hidraw/hidraw0", "/sys/bus/usb/devices/1-2:1.3"}) {
    EXPECT_TRUE(fs::read_symlink(r + link).is_relative()) << link;
  }
  const std::string scsi = fs::canonical(r + "/sys/class/block/sr0/device").string();
  EXPECT_EQ(root.tree().interface_dir(handle, 3) + "/host0/target0:0:0/0:0:0:0", scsi);
  EXPECT_TRUE(fs::exists(scsi + "/vendor"));
  EXPECT_TRUE(fs::is_regular_file(r + "/dev/sr0"));
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Devices behind hubs sit in the hubs' directories, with attributes, links and uevents as the
// kernel writes them; the hubs (and the root hub) go with the last device below them.
TEST(DeviceTreeTest, NestsDevicesUnderHubsInTheKernelsFormats) {
  test::DeviceRoot root;
  const std::string& r = root.path();
  auto deep = root.tree().add_device(every_kind("1-1.4.2", 0));
  auto near = root.tree().add_device(every_kind("1-1.3", 1));
  const std::string usb1 = r + "/" + kPciBase + "/usb1";
  EXPECT_EQ(usb1 + "/1-1/1-1.4/1-1.4.2", root.tree().device_dir(deep));
  EXPECT_EQ(fs::canonical(r + "/sys/bus/usb/devices/1-1.4"), fs::path(usb1 + "/1-1/1-1.4"));
  const std::pair<std::string, std::string> attributes[] = {
      {usb1 + "/idVendor", "1d6b\n"},
      {usb1 + "/bDeviceClass", "09\n"},
      {root.tree().device_dir(deep) + "/bNumInterfaces", " 4\n"},
      {root.tree().device_dir(deep) + "/bDeviceClass", "00\n"},
      {root.tree().device_dir(deep) + "/bcdDevice", "0318\n"},
      {root.tree().interface_dir(deep, 0) + "/bInterfaceNumber", "00\n"},
  };
  for (const auto& [file, text] : attributes) EXPECT_EQ(text, read_text(file)) << file;
  EXPECT_EQ(fs::canonical(root.tree().device_dir(deep) + "/subsystem"),
            fs::path(r + "/sys/bus/usb"));
  EXPECT_EQ(fs::canonical(root.tree().interface_dir(deep, 0) + "/driver"),
            fs::path(r + "/sys/bus/usb/drivers/option"));
  EXPECT_THAT(read_text(root.tree().interface_dir(deep, 0) + "/uevent"),
              ::testing::HasSubstr("MODALIAS=usb:v05C6p9025d0318dc00dsc00dp00icFFisc00ip00in00\n"));
  EXPECT_TRUE(fs::is_directory(root.tree().interface_dir(deep, 2) + "/0003:05C6:9025.0001"));
  // Discovery reads it as it reads the kernel's tree.
  std::vector<platform::DeviceInterface> members;
  ASSERT_EQ(0, platform::enumerate_interfaces(platform::InterfaceClass::Modem, &members));
  ASSERT_EQ(2u, members.size());
  EXPECT_EQ(
      "\\\\?\\usb#vid_05c6&pid_9025&rev_0318&mi_01#1-1.4.2:1.1"
      "#{2c7089aa-2e0e-11d1-b114-00c04fc2aae4}",
      members[0].path);

  root.tree().remove_device(deep);
  EXPECT_FALSE(fs::exists(usb1 + "/1-1/1-1.4"));
  EXPECT_FALSE(fs::exists(r + "/sys/bus/usb/devices/1-1.4"));
  EXPECT_TRUE(fs::exists(usb1 + "/1-1/1-1.3"));
  root.tree().remove_device(near);
  EXPECT_FALSE(fs::exists(usb1));
  EXPECT_FALSE(fs::exists(r + "/sys/bus/usb/devices/usb1"));
}

TEST(DeviceTreeTest, SerialNodeReachesThePseudoTerminal) {
  test::DeviceRoot root;
  Pty pty;
  UsbInterfaceSpec dm = usb_port(0, 0xff, PortKind::Serial, 4);
  dm.node_target = pty.slave_path();
  root.tree().add_device({0x05c6, 0x9008, 0, "1-2", 0, {dm}});
  auto node = platform::com_device_node(5);
  ASSERT_TRUE(node);
  FILE* out = std::fopen(node->c_str(), "w");
  ASSERT_NE(nullptr, out);
  std::fputs("AT\r", out);
  std::fclose(out);
  const std::vector<uint8_t> got = pty.read(2000);
  EXPECT_EQ(std::string("AT\r"), std::string(got.begin(), got.end()));
}

TEST(DeviceTreeTest, RefusesDuplicatesWithoutTouchingTheTree) {
  test::DeviceRoot root;
  root.tree().add_device(every_kind("1-2", 0));
  const auto before = entries(root.path());
  EXPECT_THROW(root.tree().add_device(every_kind("1-2", 5)), std::runtime_error);
  EXPECT_THROW(root.tree().add_device(every_kind("1-4", 0)), std::runtime_error);
  EXPECT_THROW(root.tree().add_device(every_kind("nodash", 7)), std::runtime_error);
  EXPECT_EQ(before, entries(root.path()));
}

}  // namespace
}  // namespace kav::sim
