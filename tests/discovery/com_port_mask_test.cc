#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/discovery/com_port_scanner.h"
#include "tests/discovery/scanner_fixture.h"

namespace kav::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST_F(ScannerTest, TwoDmPortsMakeTheAutomaticSearchFailButNamedPortsAnswer) {
  tree().add_device(gobi_modem(2, 3, "1-2"));  // DM on COM 3
  tree().add_device(gobi_modem(6, 7, "1-3"));  // DM on COM 7
  update_com_port_mask("TRIGGER");
  EXPECT_EQ(-1, get_dm_port(0));
  EXPECT_EQ(messages().messages(),
            std::vector<std::string>{"Automatic port scanner found more than one DM port. (2)\n"});
  messages().clear();
  EXPECT_EQ(7, get_dm_port(7));
  EXPECT_EQ(3, get_dm_port(3));
  EXPECT_EQ(0, get_dm_port(4));
  EXPECT_EQ(0, get_dm_port(8));    // the AT port is not a DM port
  EXPECT_EQ(0, get_dm_port(500));  // beyond the mask
  EXPECT_TRUE(messages().messages().empty()) << messages().text();
}

TEST_F(ScannerTest, ComTwelveSetsBitFourOfByteOne) {
  tree().add_device(gobi_modem(11, 12, "1-2"));  // DM on COM 12, AT on COM 13
  EXPECT_EQ(12, get_dm_port(0));                 // first look builds the mask
  EXPECT_EQ(com_port_mask_bytes(), (Bytes{0x00, 0x10, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ScannerTest, MaskGrowsForComSeventyAndNeverShrinks) {
  const sim::DeviceHandle modem = tree().add_device(gobi_modem(69, 0, "1-2"));
  update_com_port_mask("TRIGGER");
  Bytes expected(9, 0);
  expected[8] = 0x40;  // 70 = 8 * 8 + 6
  EXPECT_EQ(com_port_mask_bytes(), expected);
  EXPECT_EQ(70, get_dm_port(0));
  tree().remove_device(modem);
  update_com_port_mask("TRIGGER");
  EXPECT_EQ(com_port_mask_bytes(), Bytes(9, 0));
  EXPECT_EQ(0, get_dm_port(0));
}

TEST_F(ScannerTest, WithoutAnyDmPortEveryQueryScansAnew) {
  enable_comm_log();
  EXPECT_EQ(0, get_dm_port(0));
  EXPECT_EQ(0, get_dm_port(0));
  const std::vector<std::string> gap = comm_lines_with(" GAP INI COM_PORT_MASK -- ");
  ASSERT_EQ(2u, gap.size());
  EXPECT_NE(std::string::npos, gap[0].find("    0 GAP INI COM_PORT_MASK -- ")) << gap[0];
  EXPECT_TRUE(com_port_mask_bytes().empty());

  // Once a DM port was seen the mask is read, not rebuilt: the port stays until a rebuild.
  const sim::DeviceHandle modem = tree().add_device(gobi_modem(4, 5, "1-2"));
  EXPECT_EQ(5, get_dm_port(0));
  tree().remove_device(modem);
  EXPECT_EQ(5, get_dm_port(0));
  EXPECT_EQ(3u, comm_lines_with(" GAP INI COM_PORT_MASK -- ").size());
  update_com_port_mask("TRIGGER");
  EXPECT_EQ(0, get_dm_port(0));
  EXPECT_EQ(3u, comm_lines_with(" GAP INI COM_PORT_MASK -- ").size());
}

TEST_F(ScannerTest, RebuildIsLoggedWithTheMaskBytesAndSetsTheChangedEvent) {
  enable_comm_log();
  tree().add_device(gobi_modem(11, 12, "1-2"));
  registry_monitor_started_event().set();
  EXPECT_EQ(12, get_dm_port(0));  // clears the changed event
  EXPECT_EQ(0, get_dm_port_wait(0, false, 12)) << "no rebuild since the last look";
  update_com_port_mask("INTRVAL");
  const std::vector<std::string> lines = comm_lines_with(" INTRVAL COM_PORT_MASK -- ");
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos,
            lines[0].find("    8 INTRVAL COM_PORT_MASK -- 00 10 00 00 00 00 00 00 "))
      << lines[0];
  // A long tag is cut to 2047 characters before " COM_PORT_MASK".
  update_com_port_mask(std::string(3000, 'T').c_str());
  EXPECT_EQ(1u, comm_lines_with(std::string(2047, 'T') + " COM_PORT_MASK -- ").size());
  EXPECT_TRUE(comm_lines_with(std::string(2048, 'T')).empty());
}

TEST_F(ScannerTest, PortDescriptionNamesTheDmOrAtPort) {
  tree().add_device(gobi_modem(4, 5, "1-2"));   // DM COM 5, AT COM 6
  tree().add_device(emergency_boot(7, "1-3"));  // COM 8
  tree().add_device({0x1234, 0x0001, 0x0100, "1-4", 0, {serial_interface(0, 8)}});  // COM 9
  EXPECT_EQ(" (Qualcomm Gobi Modem -- USB\\VID_05C6&PID_9001&MI_00)", port_description(5));
  EXPECT_EQ(" (Qualcomm Gobi Modem -- USB\\VID_05C6&PID_9001&MI_01)", port_description(6));
  EXPECT_EQ(" (QCOM Emergency Boot -- USB\\VID_05C6&PID_9008)", port_description(8));
  EXPECT_EQ("", port_description(9));  // neither a DM nor an AT port
  EXPECT_EQ("", port_description(1));
  // A port that the map learns to be an AT port is described from then on.
  set_port_map_entry("USB\\VID_1234&PID_0001", {"Bare", PT_AT, Both});
  EXPECT_EQ(" (Bare -- USB\\VID_1234&PID_0001)", port_description(9));
}

}  // namespace
}  // namespace kav::test
