// The INI reader that stands in for GetPrivateProfileStringA.
#include "lib/platform/ini.h"

#include <gtest/gtest.h>

#include "tests/support/test_env.h"

namespace kav::platform {
namespace {

using test::TempDir;
using test::write_file;

constexpr char kDefault[] = "ValueNotFoundInIniFile";

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(path_,
               "\xEF\xBB\xBF; time-outs\r\n"
               "[OTHER]\r\n"
               "RESPONSE_WAIT=1\r\n"
               "  [ General ]  \r\n"
               "# a comment = 5\r\n"
               "  response_wait \t=\t 2500 \t\r\n"
               "POST_OPEN_DELAY=1500abc\n"
               "QUOTED=\"  42 \"\n"
               "EMPTY=\n"
               "noequals\n"
               "LONG=0123456789012345678901234567890123456789\n"
               "RESPONSE_WAIT=9999\n"
               "[LAST]\n"
               "KEY=last");
  }
  std::string get(const std::string& section, const std::string& key, size_t size = 32,
                  const std::string& def = kDefault) {
    return get_private_profile_string(section, key, def, size, path_);
  }
  TempDir dir_;
  std::string path_ = dir_.file("umts_kav_lib_timeouts.ini");
};

TEST_F(IniTest, SectionsAndKeysMatchWithoutCaseAndValuesAreTrimmed) {
  EXPECT_EQ(get("GENERAL", "RESPONSE_WAIT"), "2500");  // the first of a repeated key
  EXPECT_EQ(get("general", "Response_Wait"), "2500");
  EXPECT_EQ(get("OTHER", "RESPONSE_WAIT"), "1");
  EXPECT_EQ(get("LAST", "key"), "last");  // last line without a line feed
  EXPECT_EQ(get("GENERAL", "EMPTY"), "");
  EXPECT_EQ(get("GENERAL", "QUOTED"), "  42 ");  // a quoted value keeps its inner blanks
}

TEST_F(IniTest, ValuesAreTextAsWritten) {
  EXPECT_EQ(get("GENERAL", "POST_OPEN_DELAY"), "1500abc");
}

TEST_F(IniTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(get("GENERAL", "MODE_CHANGE_WAIT"), kDefault);
  EXPECT_EQ(get("NOPE", "RESPONSE_WAIT"), kDefault);
  EXPECT_EQ(get("GENERAL", "# a comment"), kDefault);
  EXPECT_EQ(get("GENERAL", "noequals"), kDefault);
  EXPECT_EQ(get_private_profile_string("GENERAL", "RESPONSE_WAIT", kDefault, 32,
                                       dir_.file("missing.ini")),
            kDefault);
  // Keys of one section are not found through another.
  EXPECT_EQ(get("OTHER", "POST_OPEN_DELAY"), kDefault);
}

TEST_F(IniTest, ResultIsCutToTheBuffer) {
  EXPECT_EQ(get("GENERAL", "LONG"), "0123456789012345678901234567890");  // 31 characters
  EXPECT_EQ(get("GENERAL", "LONG", 5), "0123");
  EXPECT_EQ(get("GENERAL", "LONG", 1), "");
  EXPECT_EQ(get("GENERAL", "LONG", 0), "");
  EXPECT_EQ(get("GENERAL", "missing", 8), "ValueNo");
  EXPECT_EQ(get("GENERAL", "missing", 32, std::string(40, 'd')), std::string(31, 'd'));
}

TEST_F(IniTest, FileIsReadAgainOnEveryCall) {
  EXPECT_EQ(get("GENERAL", "RESPONSE_WAIT"), "2500");
  write_file(path_, "[GENERAL]\nRESPONSE_WAIT=7\n");
  EXPECT_EQ(get("GENERAL", "RESPONSE_WAIT"), "7");
}

}  // namespace
}  // namespace kav::platform
