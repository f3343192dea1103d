#include "lib/discovery/modem_family.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/discovery/port_map.h"
#include "tests/support/test_env.h"

namespace kav {
namespace {

class ModemFamilyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_messages();
    reset_timeouts();
  }
  void TearDown() override { reset_timeouts(); }
};

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

int32_t reappear_limit() {
  return timeout(Timeout::RESET_BOTH_AUTO_PORT_REAPPEAR_LIMIT);
}

TEST_F(ModemFamilyTest, TableIsGroupedByFamilyWithChipsetRowsFirst) {
  const auto table = model_family_table();
  ASSERT_EQ(table.size(), 139u);
  std::vector<std::pair<int32_t, int>> groups;  // (family, rows) in table order
  std::vector<std::string> openers;
  for (const ModelFamilyRow& row : table) {
    if (groups.empty() || groups.back().first != row.family) {
      groups.emplace_back(row.family, 0);
      openers.emplace_back(row.model);
    }
    ++groups.back().second;
  }
  const std::vector<std::pair<int32_t, int>> expected = {
      {1, 10}, {2, 5},   {3, 6},  {4, 9},   {5, 16},  {6, 11}, {7, 17}, {9, 5},
      {10, 4}, {11, 13}, {12, 8}, {13, 21}, {14, 10}, {15, 2}, {16, 2}};
  EXPECT_EQ(groups, expected);

  // The twelve chipset numbers each open their own family's group; 6275, 6280 and 7200 have
  // no chipset row.
  const std::set<std::string> chipsets = {"6085", "6246", "6290", "7225", "7627", "8200",
                                          "8220", "9200", "9600", "9X15", "1110", "6270"};
  int chipset_rows = 0;
  for (const ModelFamilyRow& row : table) {
    if (!chipsets.contains(row.model)) continue;
    ++chipset_rows;
    EXPECT_STREQ(modem_family_enum_to_name(row.family), row.model);
  }
  EXPECT_EQ(chipset_rows, 12);
  ASSERT_EQ(openers.size(), expected.size());
  for (size_t i = 0; i < openers.size(); ++i) {
    const std::string family_name = modem_family_enum_to_name(expected[i].first);
    EXPECT_EQ(openers[i] == family_name, chipsets.contains(family_name)) << openers[i];
  }

  // Row texts are distinct (the look-up ignores letter case).
  std::set<std::string> texts;
  for (const ModelFamilyRow& row : table) {
    EXPECT_TRUE(texts.insert(upper(row.model)).second) << row.model;
  }

  // Hotspots appear with and without the blank after the brand word, in the same family.
  int hotspots = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    const std::string text = table[i].model;
    if (!text.starts_with("Zumi ")) continue;
    ++hotspots;
    ASSERT_LT(i + 1, table.size());
    EXPECT_EQ(std::string(table[i + 1].model), "Zumi" + text.substr(5)) << text;
    EXPECT_EQ(table[i + 1].family, table[i].family) << text;
  }
  EXPECT_GT(hotspots, 0);
}

// A row whose text occurs inside a later row's text of another family would hide that later
// row for good.
TEST_F(ModemFamilyTest, NoRowTextOccursInALaterRowOfAnotherFamily) {
  const auto table = model_family_table();
  for (size_t i = 0; i < table.size(); ++i) {
    const std::string earlier = upper(table[i].model);
    for (size_t j = i + 1; j < table.size(); ++j) {
      if (table[j].family == table[i].family) continue;
      EXPECT_EQ(upper(table[j].model).find(earlier), std::string::npos)
          << table[i].model << " inside " << table[j].model;
    }
  }
}

TEST_F(ModemFamilyTest, EveryRowResolvesToItsOwnFamilyInAnyLetterCase) {
  for (const ModelFamilyRow& row : model_family_table()) {
    std::string lower = row.model;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(modem_family_of_name(row.model), row.family) << row.model;
    EXPECT_EQ(modem_family_of_name(("ZQTL " + lower + " rev B").c_str()), row.family) << lower;
  }
}

TEST_F(ModemFamilyTest, LowerCase9x15RaisesTheReappearLimit) {
  ASSERT_EQ(reappear_limit(), 30000);
  EXPECT_EQ(modem_family_of_name("ZQTL U100 HSDPA USB Modem"), 1);
  EXPECT_EQ(modem_family_of_name("Thornbury"), 1);
  EXPECT_EQ(reappear_limit(), 30000) << "only a 9X15 look-up raises the limit";
  EXPECT_EQ(modem_family_of_name("zq mdm9x15 board"), 14);
  EXPECT_EQ(reappear_limit(), 180000);
  // Never undone by later look-ups of other families.
  EXPECT_EQ(modem_family_of_name("ZQTL Zumi4510"), 9);
  EXPECT_EQ(reappear_limit(), 180000);
}

TEST_F(ModemFamilyTest, NoMatchNullAndEmptyGiveUnknown) {
  EXPECT_EQ(modem_family_of_name("Sierra Wireless MC8775 Mini-Card"), 0);
  EXPECT_EQ(modem_family_of_name(nullptr), 0);
  EXPECT_EQ(modem_family_of_name(""), 0);
  EXPECT_EQ(modem_family_of_name("U10"), 0) << "a row must occur whole";
  EXPECT_STREQ(modem_family_enum_to_name(0), "Unknown Modem Family");
  EXPECT_EQ(reappear_limit(), 30000);
}

TEST_F(ModemFamilyTest, FirstMatchingRowWins) {
  // Two rows of different families in one text: the earlier row decides.
  EXPECT_EQ(modem_family_of_name("U900 replacing U100"), 1);
  EXPECT_EQ(reappear_limit(), 30000);
  EXPECT_EQ(modem_family_of_name("MSM6290 in U700"), 5);
}

TEST_F(ModemFamilyTest, FamilyNames) {
  test::MessageCapture capture;
  const char* names[] = {"Unknown Modem Family",
                         "6085",
                         "6246",
                         "6275",
                         "6280",
                         "6290",
                         "7200",
                         "7225",
                         "7227",
                         "7627",
                         "8200",
                         "8220",
                         "9200",
                         "9600",
                         "9X15",
                         "1110",
                         "6270"};
  for (int32_t f = 0; f <= 16; ++f) EXPECT_STREQ(modem_family_enum_to_name(f), names[f]) << f;
  for (int32_t f : {17, -1, 1000}) {
    EXPECT_STREQ(modem_family_enum_to_name(f),
                 "ERROR: Unsupported ZqUmtsKavModemFamilyEnum value in modem_family_enum_to_name\n")
        << f;
  }
  EXPECT_EQ(capture.messages().size(), 0u) << "the error text is returned, not printed";
}

// The scanner records the family of each port's map name, so the maker's built-in ports must
// all name a known model, while other makers' modems stay unknown.
TEST_F(ModemFamilyTest, BuiltInPortNamesResolveToFamilies) {
  for (const PortMapRow& row : valid_ports_map_initializer()) {
    const std::string name = row.name;
    const bool maker_modem = name.starts_with("ZQTL ") && name.find("Boot") == std::string::npos;
    if (maker_modem) {
      EXPECT_NE(modem_family_of_name(row.name), 0) << name;
    } else {
      EXPECT_EQ(modem_family_of_name(row.name), 0) << name;
    }
  }
  // Other makers' PCIe modems are no family of the maker's either.
  for (const PortMapRow& row : pci_port_map_rows()) {
    EXPECT_EQ(modem_family_of_name(row.name), 0) << row.name;
  }
  EXPECT_EQ(modem_family_of_name("ZQTL Vorla"), 14);
  EXPECT_EQ(modem_family_of_name("ZQTL Halvern"), 14);
}

}  // namespace
}  // namespace kav
