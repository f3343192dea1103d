#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "lib/platform/devices.h"
#include "tests/sim/sim_fixture.h"

namespace kav::sim::test {
namespace {

namespace fs = std::filesystem;

std::vector<platform::DeviceInterface> com_ports() {
  std::vector<platform::DeviceInterface> members;
  platform::enumerate_interfaces(platform::InterfaceClass::ComPort, &members);
  return members;
}

using ModemPresenceTest = SimTest;

TEST_F(ModemPresenceTest, ShowsItsPortsAsTheDeviceViewReadsThem) {
  Modem& modem = start();
  const auto members = com_ports();
  ASSERT_EQ(2u, members.size());
  EXPECT_EQ("ttyUSB0", members[0].node);
  EXPECT_NE(std::string::npos,
            members[0].path.find("usb#vid_5c8e&pid_a7e2&rev_0318&mi_01#1-2:1.1#"));
  EXPECT_EQ("ttyUSB1", members[1].node);
  EXPECT_NE(std::string::npos, members[1].path.find("&mi_02#1-2:1.2#"));
  EXPECT_EQ(1, modem.dm_com());
  EXPECT_EQ(modem.dm_slave(), fs::read_symlink(root() + "/dev/ttyUSB0").string());
  const auto ports = modem.ports();
  ASSERT_EQ(2u, ports.size());
  EXPECT_EQ("AT", ports[1].role);
  EXPECT_EQ(2, ports[1].com);
}

// With dm_port = acm the DM port is a CDC-ACM interface: ttyACM under the interface's tty/
// directory, a member of the modem class too, COM 201 and up.
TEST_F(ModemPresenceTest, AcmDmPortIsACdcInterfaceUnderTheAcmComRange) {
  ModemConfig config = quick_config();
  config.dm_acm = true;
  config.at_interface = -1;
  Modem& modem = start(config);
  EXPECT_EQ(201, modem.dm_com());
  const auto members = com_ports();
  ASSERT_EQ(1u, members.size());
  EXPECT_EQ("ttyACM0", members[0].node);
  EXPECT_NE(std::string::npos, members[0].path.find("&mi_01#1-2:1.1#"));
  std::vector<platform::DeviceInterface> modems;
  platform::enumerate_interfaces(platform::InterfaceClass::Modem, &modems);
  ASSERT_EQ(1u, modems.size());
  EXPECT_EQ("ttyACM0", modems[0].node);
}

TEST_F(ModemPresenceTest, UnplugHangsUpTheReaderAndRemovesTheEntries) {
  Modem& modem = start();
  auto dm = client();
  ASSERT_TRUE(dm->ok());
  modem.unplug();
  EXPECT_FALSE(modem.present());
  dm->read_for(100);
  EXPECT_TRUE(dm->hung_up());
  EXPECT_TRUE(com_ports().empty());
  EXPECT_FALSE(fs::exists(fs::symlink_status(root() + "/dev/ttyUSB0")));
  modem.plug();
  EXPECT_EQ(2u, com_ports().size());
  auto again = client();
  EXPECT_EQ((std::vector<uint8_t>{0x13, 0x06}), again->ask({0x06}));
}

TEST_F(ModemPresenceTest, ReenumerationReturnsUnderTheOtherTtyIndexes) {
  Modem& modem = start();
  modem.reenumerate(100);
  EXPECT_FALSE(modem.present());
  ASSERT_TRUE(modem.wait_returns(1, 3000));
  EXPECT_EQ(5, modem.dm_com());
  const auto members = com_ports();
  ASSERT_EQ(2u, members.size());
  EXPECT_EQ("ttyUSB4", members[0].node);
  modem.reenumerate(50);
  ASSERT_TRUE(modem.wait_returns(2, 3000));
  EXPECT_EQ(1, modem.dm_com());
}

TEST_F(ModemPresenceTest, TwoModemsShareARoot) {
  Modem& first = start();
  ModemConfig config = quick_config();
  config.busport = "1-3";
  config.dm_tty = 2;
  config.at_tty = 3;
  config.alt_dm_tty = 6;
  config.alt_at_tty = 7;
  config.nv_file = root() + "/second-nv.txt";
  Modem second(root(), config);
  second.start();
  EXPECT_EQ(4u, com_ports().size());
  EXPECT_EQ(3, second.dm_com());
  RawClient a(root() + "/dev/ttyUSB0"), b(root() + "/dev/ttyUSB2");
  ASSERT_TRUE(a.send(bytes_of(nv_request(0x27, 10, {1}))));
  ASSERT_TRUE(a.next());
  EXPECT_EQ(5, packet_of(*b.ask(bytes_of(nv_request(0x26, 10)))).nv_stat);
  second.stop();
  EXPECT_EQ(2u, com_ports().size());
  EXPECT_TRUE(first.present());
  EXPECT_EQ((std::vector<uint8_t>{0x13, 0x06}), a.ask({0x06}));
}

TEST_F(ModemPresenceTest, CdromBecomesTheModemWhenItsNodeIsOpened) {
  ModemConfig config = quick_config();
  config.cdrom_first = true;
  Modem& modem = start(config);
  EXPECT_TRUE(com_ports().empty());
  std::vector<platform::DeviceInterface> cdroms;
  platform::enumerate_interfaces(platform::InterfaceClass::CdRom, &cdroms);
  ASSERT_EQ(1u, cdroms.size());
  EXPECT_NE(std::string::npos, cdroms[0].path.find("usbstor#cdrom&ven_zqtl&prod_autoinstall"));
  EXPECT_TRUE(modem.in_cdrom_mode());
  const int fd = ::open((root() + "/dev/sr0").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_TRUE(modem.wait_returns(1, 3000));
  EXPECT_FALSE(modem.in_cdrom_mode());
  EXPECT_EQ(2u, com_ports().size());
  EXPECT_FALSE(fs::exists(root() + "/dev/sr0"));
}

TEST_F(ModemPresenceTest, StopLeavesOnlyTheNvStore) {
  Modem& modem = start();
  auto dm = client();
  ASSERT_TRUE(dm->ask(bytes_of(nv_request(0x27, 5078, {'T'}))));
  modem.stop();
  modem_.reset();
  EXPECT_EQ(std::vector<std::string>{"kav-modem-sim-nv.txt"}, kav::test::list_dir(root()));
}

TEST_F(ModemPresenceTest, NvStoreSurvivesARestart) {
  start();
  ASSERT_TRUE(client()->ask(bytes_of(nv_request(0x27, 5078, {'T', 'a', 'r'}))));
  modem_.reset();
  start();
  auto answer = client()->ask(bytes_of(nv_request(0x26, 5078)));
  ASSERT_TRUE(answer);
  const NvItemPacket packet = packet_of(*answer);
  EXPECT_EQ(0, packet.nv_stat);
  EXPECT_EQ(0, std::memcmp("Tar", packet.data, 4));
}

}  // namespace
}  // namespace kav::sim::test
