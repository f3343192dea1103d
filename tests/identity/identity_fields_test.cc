#include "lib/identity/identity_fields.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "lib/core/timeouts.h"
#include "lib/identity/modem_family.h"

namespace kav {
namespace {

TEST(MeidToText, HexAndDecimalCheckDigits) {
  struct Case {
    std::array<uint8_t, 7> bytes;  // b0 first
    const char* text;
  };
  const Case cases[] = {
      {{0xDE, 0xBC, 0x0A, 0x45, 0x23, 0x01, 0xAF}, "AF0123450ABCDEC"},  // base 16
      {{0x56, 0x34, 0x12, 0x89, 0x67, 0x45, 0x99}, "994567891234565"},  // base 10
      {{0, 0, 0, 0, 0, 0, 0}, "000000000000000"},                       // sum 0: digit "0"
  };
  for (const Case& c : cases) EXPECT_EQ(meid_to_text(c.bytes.data()), c.text);
}

TEST(FirmwareVersionToken, FirstTokenWithFourthPartShortened) {
  struct Case {
    const char* firmware;
    const char* version;
  };
  const Case cases[] = {
      {"1.2.3.04-xyz 5", "1.2.3.0"},
      {"1.2.3.4-xyz", "1.2.3.4"},
      {"01.02 abc", "01.02"},
      {"1.2.04\tx", "1.2.04"},
      {"1.2.3.4.05", "1.2.3.4.05"},
      {"- \t-", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    char field[80] = {};
    std::memcpy(field, c.firmware, std::strlen(c.firmware));
    EXPECT_EQ(firmware_version_token(field, sizeof field), c.version) << c.firmware;
  }
}

TEST(FirmwareVersionToken, UnterminatedFieldIsReadToItsEndOnly) {
  struct {
    char firmware[80];
    char next[8];
  } record;
  std::memset(record.firmware, '7', sizeof record.firmware);
  std::strcpy(record.next, "-beyond");
  EXPECT_EQ(firmware_version_token(record.firmware, sizeof record.firmware), std::string(80, '7'));
}

TEST(FirmwareText, FamilyOrModelWithBlanksReplacedAndCut) {
  struct Case {
    int32_t family;
    std::string model;
    std::string version;
    std::string text;
  };
  const std::string long_model(79, 'M');
  const Case cases[] = {
      {ZqUmtsKavModemFamily_Unknown, "Model X", "1.0", "Model_X:1.0"},
      {ZqUmtsKavModemFamily_6290, "U370", "1.2.3.0", "6290:1.2.3.0"},
      {ZqUmtsKavModemFamily_Unknown, "A\tB\r\n", "v 1", "A_B__:v_1"},
      {ZqUmtsKavModemFamily_Unknown, long_model, "1.0", long_model + ":"},
      {ZqUmtsKavModemFamily_9X15, "U900", std::string(100, '9'), "9X15:" + std::string(75, '9')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(firmware_text(c.family, c.model, c.version), c.text) << c.model;
  }
}

TEST(ImeiFromIdentity, OnlyTheMobileIdentityFormGivesDigits) {
  using Bytes = std::array<uint8_t, 11>;
  const Bytes good = {0, 0, 8, 0x3A, 0x65, 0x39, 0x08, 0x53, 0x46, 0x83, 0x90};
  auto changed = [&](size_t offset, uint8_t value) {
    Bytes bytes = good;
    bytes[offset] = value;
    return bytes;
  };
  struct Case {
    Bytes bytes;
    const char* imei;
  };
  const Case cases[] = {
      {good, "356938035643809"},
      {changed(2, 7), ""},     // length other than 8
      {changed(3, 0x39), ""},  // type other than IMEI
      {changed(0, 1), ""},     // not preceded by two zero bytes
      {changed(1, 1), ""},
      {changed(9, 0xF3), ""},  // a half byte that is no digit
      {Bytes{}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(imei_from_identity(c.bytes.data()), c.imei);
}

TEST(ModemFamilyOfModels, SecondModelWinsOnlyAs7200) {
  reset_timeouts();
  struct Case {
    const char* model;
    const char* second_model;
    int32_t family;
  };
  const Case cases[] = {
      {"U370", "U600", ZqUmtsKavModemFamily_7200},
      {"U370", "U900", ZqUmtsKavModemFamily_6290},
      {"Unlisted", "U900", ZqUmtsKavModemFamily_9X15},
      {"U600", "Unlisted", ZqUmtsKavModemFamily_7200},
      {"Unlisted", "", ZqUmtsKavModemFamily_Unknown},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(modem_family_of_models(c.model, c.second_model), c.family)
        << c.model << " / " << c.second_model;
  }
  reset_timeouts();
}

}  // namespace
}  // namespace kav
