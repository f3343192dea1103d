#include "lib/discovery/com_port_scanner.h"

#include <gtest/gtest.h>

#include "tests/discovery/scanner_fixture.h"

namespace kav::test {
namespace {

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
  EXPECT_STREQ("usb\\vid_05c6&pid_9001&rev_0232&mi_00\\1-2:1.0", e.device_instance);
  EXPECT_EQ(PT_DM, e.port_type);
  EXPECT_EQ(Both, e.reset_method);
  EXPECT_TRUE(e.present);
  EXPECT_EQ(5, get_dm_port(0));
}

}  // namespace
}  // namespace kav::test
