#include "lib/identity/identity_fields.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "lib/discovery/modem_family.h"

namespace kav {
namespace {

TEST(IdentityFields, MeidCheckDigitInBase16AndBase10) {
  const std::array<uint8_t, 7> hex = {0xDE, 0xBC, 0x0A, 0x45, 0x23, 0x01, 0xAF};  // b0 first
  const std::array<uint8_t, 7> decimal = {0x56, 0x34, 0x12, 0x89, 0x67, 0x45, 0x99};
  const std::array<uint8_t, 7> zero = {};
  EXPECT_EQ("AF0123450ABCDEC", meid_to_text(hex.data()));
  EXPECT_EQ("994567891234565", meid_to_text(decimal.data()));
  EXPECT_EQ("000000000000000", meid_to_text(zero.data()));  // sum 0 gives "0"
}

TEST(IdentityFields, FirmwareVersionToken) {
  const std::pair<const char*, const char*> cases[] = {
      {"1.2.3.04-xyz 5", "1.2.3.0"},
      {"1.2.3.4-xyz", "1.2.3.4"},
      {"01.02 abc", "01.02"},
      {"1.2.04\tx", "1.2.04"},
      {"- \t-", ""},
  };
  for (const auto& [firmware, version] : cases) {
    char field[80] = {};
    std::memcpy(field, firmware, std::strlen(firmware));
    EXPECT_EQ(version, firmware_version_token(field, sizeof field)) << firmware;
  }
  // A field without its zero is read to its end only.
  struct {
    char firmware[80];
    char next[8] = "-beyond";
  } record;
  std::memset(record.firmware, '7', sizeof record.firmware);
  EXPECT_EQ(std::string(80, '7'), firmware_version_token(record.firmware, 80));
}

TEST(IdentityFields, FirmwareTextIsCutTo80WithBlanksReplaced) {
  const std::string model(79, 'M');
  EXPECT_EQ("Model_X:1.0", firmware_text(ZqUmtsKavModemFamily_Unknown, "Model X", "1.0"));
  EXPECT_EQ("6290:1.2.3.0", firmware_text(ZqUmtsKavModemFamily_6290, "U370", "1.2.3.0"));
  EXPECT_EQ("A_B__:v_1", firmware_text(ZqUmtsKavModemFamily_Unknown, "A\tB\r\n", "v 1"));
  EXPECT_EQ(model + ":", firmware_text(ZqUmtsKavModemFamily_Unknown, model, "1.0"));
}

TEST(IdentityFields, ImeiOnlyFromTheMobileIdentityForm) {
  using Bytes = std::array<uint8_t, 11>;
  const Bytes good = {0, 0, 8, 0x3A, 0x65, 0x39, 0x08, 0x53, 0x46, 0x83, 0x90};
  EXPECT_EQ("356938035643809", imei_from_identity(good.data()));
  // Length other than 8, type other than IMEI, a non-zero lead byte: no IMEI. A half byte over
  // 9 shows as '0' plus its value, the other digits as they are.
  const struct {
    int offset;
    uint8_t value;
    const char* imei;
  } cases[] = {{2, 7, ""},
               {3, 0x39, ""},
               {0, 1, ""},
               {9, 0xF3, "356938035643?09"},
               {3, 0xAA, ":56938035643809"},
               {10, 0xC0, "35693803564380<"}};
  for (const auto& c : cases) {
    Bytes bytes = good;
    bytes[static_cast<size_t>(c.offset)] = c.value;
    EXPECT_EQ(c.imei, imei_from_identity(bytes.data())) << c.offset;
  }
}

}  // namespace
}  // namespace kav
