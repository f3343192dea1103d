#include "lib/discovery/port_map.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/core/messages.h"
#include "tests/support/test_env.h"

namespace kav {
namespace {

class PortMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_messages();
    reset_port_map();
  }
  void TearDown() override { reset_port_map(); }
};

bool contains(const char* text, const char* part) {
  return std::string(text).find(part) != std::string::npos;
}

// Enumerator, VID and PID, then optionally "&REV_" with four and "&MI_" with two upper-case
// hexadecimal digits, in that order.
bool well_formed(const std::string& ident) {
  auto hex_at = [&](size_t pos, size_t n) {
    if (pos + n > ident.size()) return false;
    for (size_t i = pos; i < pos + n; ++i) {
      const char c = ident[i];
      if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
  };
  if (!(ident.starts_with("USB\\VID_") || ident.starts_with("HID\\VID_"))) return false;
  if (!hex_at(8, 4) || ident.compare(12, 5, "&PID_") != 0 || !hex_at(17, 4)) return false;
  size_t pos = 21;
  if (ident.compare(pos, 5, "&REV_") == 0) {
    if (!hex_at(pos + 5, 4)) return false;
    pos += 9;
  }
  if (ident.compare(pos, 4, "&MI_") == 0) {
    if (!hex_at(pos + 4, 2)) return false;
    pos += 6;
  }
  return pos == ident.size();
}

TEST_F(PortMapTest, BuiltInTableHasTheMakeUpOfTheSupportedInterfaceList) {
  const auto rows = valid_ports_map_initializer();
  ASSERT_EQ(rows.size(), 370u);
  int usb = 0, hid = 0, with_mi = 0, with_mi_and_rev = 0, bare_usb = 0, bare_hid = 0;
  std::map<int32_t, int> types;
  std::set<std::string> names, keys;
  size_t longest_key = 0, longest_name = 0;
  for (const PortMapRow& row : rows) {
    const std::string ident = row.device_ident;
    SCOPED_TRACE(ident);
    EXPECT_TRUE(well_formed(ident));
    const bool is_usb = ident.starts_with("USB\\");
    usb += is_usb;
    hid += ident.starts_with("HID\\");
    const bool mi = contains(row.device_ident, "&MI_");
    const bool rev = contains(row.device_ident, "&REV_");
    with_mi += mi;
    with_mi_and_rev += mi && rev;
    if (!mi && !rev) (is_usb ? bare_usb : bare_hid)++;
    ++types[row.port_type];
    const bool no_com_port = row.port_type == PT_HID || row.port_type == PT_RNDIS;
    EXPECT_EQ(row.default_reset_method, no_com_port ? None : Both);
    names.insert(row.name);
    EXPECT_TRUE(keys.insert(ident).second) << "duplicate key";
    longest_key = std::max(longest_key, ident.size());
    longest_name = std::max(longest_name, std::string(row.name).size());
  }
  EXPECT_EQ(usb, 362);
  EXPECT_EQ(hid, 8);
  EXPECT_EQ(with_mi, 361);
  EXPECT_EQ(with_mi_and_rev, 73);
  EXPECT_EQ(bare_usb, 2);
  EXPECT_EQ(bare_hid, 7);
  EXPECT_EQ(types[PT_AT], 125);
  EXPECT_EQ(types[PT_DM], 127);
  EXPECT_EQ(types[PT_AP], 101);
  EXPECT_EQ(types[PT_OCP], 0);
  EXPECT_EQ(types[PT_HID], 16);
  EXPECT_EQ(types[PT_RNDIS], 1);
  EXPECT_EQ(types.size(), 6u) << "a port type outside the enum";
  EXPECT_EQ(names.size(), 110u);
  EXPECT_EQ(longest_key, 36u);
  EXPECT_EQ(longest_name, 76u);

  const PortMapRow& last = rows.back();
  EXPECT_STREQ(last.device_ident, "USB\\VID_05C6&PID_9008");
  EXPECT_STREQ(last.name, "QCOM Emergency Boot");
  EXPECT_EQ(last.port_type, PT_DM);
  EXPECT_EQ(last.default_reset_method, Both);

  // The update tool's document adds these as new entries.
  for (const char* ident : {"USB\\VID_5C8E&PID_A7E2&MI_01", "USB\\VID_5C8E&PID_A7E3&MI_01",
                            "USB\\VID_3E94&PID_D41B&MI_01"}) {
    EXPECT_FALSE(keys.contains(ident)) << ident;
  }
}

TEST_F(PortMapTest, InitLoadsEveryBuiltInRowOnceAndQuietly) {
  test::MessageCapture capture;
  EXPECT_FALSE(lookup_port_map("USB\\VID_05C6&PID_9008")) << "map filled before init";
  init_valid_ports_map();
  for (const PortMapRow& row : valid_ports_map_initializer()) {
    const auto entry = lookup_port_map(row.device_ident);
    ASSERT_TRUE(entry) << row.device_ident;
    EXPECT_EQ(entry->name, row.name);
    EXPECT_EQ(entry->port_type, row.port_type);
    EXPECT_EQ(entry->default_reset_method, row.default_reset_method);
  }
  EXPECT_EQ(capture.messages().size(), 0u) << capture.text();

  // A second init must not refill: a changed entry survives it and nothing is reported.
  set_port_map_entry("USB\\VID_05C6&PID_9008", {"Changed", PT_AT, PortCloseOpen});
  init_valid_ports_map();
  EXPECT_EQ(lookup_port_map("USB\\VID_05C6&PID_9008")->name, "Changed");
  EXPECT_EQ(capture.messages().size(), 0u) << capture.text();
}

TEST_F(PortMapTest, ConcurrentFirstInitFillsOnce) {
  test::MessageCapture capture;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back(init_valid_ports_map);
  for (auto& t : threads) t.join();
  EXPECT_EQ(capture.messages().size(), 0u) << capture.text();
  EXPECT_EQ(lookup_port_map("USB\\VID_05C6&PID_9008")->name, "QCOM Emergency Boot");
}

TEST_F(PortMapTest, DuplicateInAnyLetterCaseKeepsFirstRowAndReportsOnce) {
  test::MessageCapture capture;
  const std::array<PortMapRow, 4> rows = {{
      {"USB\\VID_1234&PID_0001&MI_00", "First", PT_DM, Both},
      {"usb\\Vid_1234&pid_0001&mi_00", "Second", PT_AT, None},
      {"usb\\vid_1234&pid_0002&mi_01", "Lower", PT_AP, Both},
      {"HID\\VID_1234&PID_0003", "Third", PT_HID, None},
  }};
  fill_port_map(rows);
  ASSERT_EQ(capture.messages().size(), 1u) << capture.text();
  EXPECT_EQ(capture.messages()[0],
            "ERROR: Port device_ident usb\\Vid_1234&pid_0001&mi_00 duplicated in valid_ports_map "
            "initializer.\n");
  const auto first = lookup_port_map("USB\\VID_1234&PID_0001&MI_00");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->name, "First");
  EXPECT_EQ(first->port_type, PT_DM);
  EXPECT_EQ(first->default_reset_method, Both);
  // Keys are stored upper case only.
  EXPECT_TRUE(lookup_port_map("USB\\VID_1234&PID_0002&MI_01"));
  EXPECT_FALSE(lookup_port_map("usb\\vid_1234&pid_0002&mi_01"));
  EXPECT_FALSE(lookup_port_map("usb\\Vid_1234&pid_0001&mi_00"));
  EXPECT_EQ(lookup_port_map("HID\\VID_1234&PID_0003")->port_type, PT_HID);
}

TEST_F(PortMapTest, LookupIsExactOnUpperCaseKeys) {
  init_valid_ports_map();
  EXPECT_FALSE(lookup_port_map("usb\\vid_05c6&pid_9008"));
  std::string ident = "usb\\vid_05c6&pid_9008";
  for (char& c : ident) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto entry = lookup_port_map(ident);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "QCOM Emergency Boot");
  EXPECT_FALSE(lookup_port_map("USB\\VID_05C6&PID_900"));
  EXPECT_FALSE(lookup_port_map("USB\\VID_05C6&PID_9008&MI_00"));
  EXPECT_FALSE(lookup_port_map(""));
}

TEST_F(PortMapTest, RevisionFallback) {
  init_valid_ports_map();
  set_port_map_entry("USB\\VID_ABCD&PID_0001&MI_02", {"Any revision", PT_DM, Both});
  set_port_map_entry("USB\\VID_ABCD&PID_0001&REV_0003&MI_02", {"Revision 3", PT_AT, Both});
  std::string recorded;

  // An exact entry with a revision wins over the revision-less one.
  auto entry = lookup_port_map_with_fallback("USB\\VID_ABCD&PID_0001&REV_0003&MI_02", &recorded);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "Revision 3");
  EXPECT_EQ(recorded, "USB\\VID_ABCD&PID_0001&REV_0003&MI_02");

  // Another revision falls back and records the shortened identifier.
  entry = lookup_port_map_with_fallback("USB\\VID_ABCD&PID_0001&REV_0004&MI_02", &recorded);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "Any revision");
  EXPECT_EQ(recorded, "USB\\VID_ABCD&PID_0001&MI_02");

  // Revision without interface number: cut to the end.
  entry = lookup_port_map_with_fallback("USB\\VID_05C6&PID_9008&REV_0001", &recorded);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "QCOM Emergency Boot");
  EXPECT_EQ(recorded, "USB\\VID_05C6&PID_9008");

  // The shortened form is recorded once tried, even when it finds nothing.
  EXPECT_FALSE(lookup_port_map_with_fallback("USB\\VID_05C6&PID_9008&REV_0000&MI_00", &recorded));
  EXPECT_EQ(recorded, "USB\\VID_05C6&PID_9008&MI_00");

  // Without a revision there is no second try and the identifier is recorded unchanged.
  EXPECT_FALSE(lookup_port_map_with_fallback("USB\\VID_ABCD&PID_0001&MI_03", &recorded));
  EXPECT_EQ(recorded, "USB\\VID_ABCD&PID_0001&MI_03");
  entry = lookup_port_map_with_fallback("USB\\VID_ABCD&PID_0001&MI_02", &recorded);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "Any revision");
  EXPECT_EQ(recorded, "USB\\VID_ABCD&PID_0001&MI_02");

  // Built-in products told apart by revision resolve to their own rows.
  const PortMapRow* rev_row = nullptr;
  for (const PortMapRow& row : valid_ports_map_initializer()) {
    if (contains(row.device_ident, "&REV_")) rev_row = &row;
  }
  ASSERT_NE(rev_row, nullptr);
  entry = lookup_port_map_with_fallback(rev_row->device_ident, nullptr);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, rev_row->name);
}

TEST_F(PortMapTest, SetEntryInsertsOrReplacesEveryField) {
  init_valid_ports_map();
  set_port_map_entry("USB\\VID_05C6&PID_9008", {"Renamed boot device", PT_OCP, ModemHardware});
  auto entry = lookup_port_map("USB\\VID_05C6&PID_9008");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "Renamed boot device");
  EXPECT_EQ(entry->port_type, PT_OCP);
  EXPECT_EQ(entry->default_reset_method, ModemHardware);

  EXPECT_FALSE(lookup_port_map("USB\\VID_5C8E&PID_A7E2&MI_01"));
  set_port_map_entry("USB\\VID_5C8E&PID_A7E2&MI_01", {"ZQTL Vorla", PT_DM, Both});
  entry = lookup_port_map("USB\\VID_5C8E&PID_A7E2&MI_01");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "ZQTL Vorla");
  EXPECT_EQ(entry->port_type, PT_DM);
  EXPECT_EQ(entry->default_reset_method, Both);
}

TEST_F(PortMapTest, TextForms) {
  const char* types[] = {"PT_AT", "PT_DM", "PT_AP", "PT_OCP", "PT_HID", "PT_RNDIS"};
  for (int32_t t = 1; t <= 6; ++t) EXPECT_STREQ(port_type_name(t), types[t - 1]);
  for (int32_t t : {0, 7, -1, 1000}) EXPECT_STREQ(port_type_name(t), "?????") << t;
  const char* methods[] = {"ModemHardware", "PortCloseOpen", "Both", "None"};
  for (int32_t m = 0; m <= 3; ++m) EXPECT_STREQ(reset_method_name(m), methods[m]);
  for (int32_t m : {-1, 4, 1000}) EXPECT_STREQ(reset_method_name(m), "?????") << m;
}

}  // namespace
}  // namespace kav
