#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/nv/nv_fixture.h"

namespace kav::test {
namespace {

using ::testing::ElementsAre;

// Four firmware entries (the second "FW:A" never counts; "FW:C" has no id map), two id maps and
// two array-size maps; the items in byte order, lower case after upper case.
const char* kNamesBody =
    "NVI_DB_VERSION: 5\n"
    "4,2,2,6\n"
    "FW:A,0,0,FW:B,1,1,FW:A,1,0,FW:C,-1,0,\n"
    "NV_ALPHA_I,10,11,1,1,\n"
    "NV_BETA_I,30,31,1,-1,\n"
    "NV_ZQ_,70,71,1,1,\n"
    "NV_ZQ_USB_ID_I,-1,61,1,1,\n"
    "ZQ_NV_USB_ID_I,50,-1,4,1,\n"
    "nv_alpha_i,99,98,1,1,\n";

class NvNamesTest : public NvDbTest {
 protected:
  void SetUp() override {
    NvDbTest::SetUp();
    write_db(with_digest(kNamesBody));
  }
};

TEST_F(NvNamesTest, LooksNamesUpPerFirmware) {
  const struct {
    const char* name;
    const char* firmware;
    const char* stored;  // nullptr: not found
    int32_t id;
    int32_t array_size;
  } cases[] = {
      {"NV_ALPHA_I", "FW:A", "NV_ALPHA_I", 10, 1},
      {"NV_ALPHA_I", "FW:B", "NV_ALPHA_I", 11, 1},
      {"NV_ALPHA_I", "FW:Z", nullptr, -1, 0},
      {"NV_ALPHA_I", nullptr, nullptr, -1, 0},
      {"ZQ_NV_USB_ID_I", "FW:Z", nullptr, -1, 0},
      {"NV_ALPHA_I", "FW:C", nullptr, -1, 0},
      {"NV_BETA_I", "FW:A", "NV_BETA_I", 30, 1},
      {"NV_BETA_I", "FW:B", nullptr, -1, 0},
      {"NV_ZQ_USB_ID_I", "FW:A", nullptr, -1, 0},
      {"ZQ_NV_USB_ID_I", "FW:A", "ZQ_NV_USB_ID_I", 50, 4},
      {"ZQ_NV_USB_ID_I", "FW:B", "NV_ZQ_USB_ID_I", 61, 1},
      {"NV_ZQ_USB_ID_I", "FW:B", "NV_ZQ_USB_ID_I", 61, 1},
      {"ZQ_NV_", "FW:A", "NV_ZQ_", 70, 1},
      {"nv_alpha_i", "FW:A", "nv_alpha_i", 99, 1},
      {"Nv_Alpha_I", "FW:A", nullptr, -1, 0},
      {"NV_ALPHA", "FW:A", nullptr, -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " for " + (c.firmware ? c.firmware : "(none)"));
    NvItemInfo info{"stale", 1234, 7};
    EXPECT_EQ(c.stored != nullptr, lookup_nv_item(c.name, c.firmware, &info));
    EXPECT_STREQ(c.stored, info.name);
    EXPECT_EQ(c.id, info.id);
    EXPECT_EQ(c.array_size, info.array_size);
  }
}

TEST_F(NvNamesTest, TranslationIsAnnouncedOncePerName) {
  MessageCapture capture;
  NvItemInfo info;
  const std::string warning =
      "WARNING: UMTS_KAV has translated NV item ZQ_NV_USB_ID_I to NV_ZQ_USB_ID_I for firmware "
      "FW:B.\n";
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(lookup_nv_item("ZQ_NV_USB_ID_I", "FW:B", &info));
  ASSERT_TRUE(lookup_nv_item("NV_ZQ_USB_ID_I", "FW:B", &info));
  EXPECT_THAT(capture.messages(), ElementsAre(warning));
  clear_translated_nv_items();
  ASSERT_TRUE(lookup_nv_item("ZQ_NV_USB_ID_I", "FW:B", &info));
  ASSERT_TRUE(lookup_nv_item("ZQ_NV_", "FW:A", &info));
  EXPECT_THAT(capture.messages(),
              ElementsAre(warning, warning,
                          "WARNING: UMTS_KAV has translated NV item ZQ_NV_ to NV_ZQ_ for firmware "
                          "FW:A.\n"));
}

TEST_F(NvNamesTest, FailedLoadLeavesTheResultAlone) {
  write_db(with_digest("NVI_DB_VERSION: 5\n0,1,0,2\n\nNV_A_I,3,\nNV_B_I,3,\n"));
  NvItemInfo info{"stale", 1234, 7};
  EXPECT_FALSE(lookup_nv_item("NV_A_I", "FW:A", &info));
  EXPECT_STREQ("stale", info.name);
  EXPECT_EQ(1234, info.id);
}

// The compiled-in default is the text kept in the repository, passes its own check, and names
// what the library looks up for each firmware build it lists.
TEST(NvDefaultDatabaseTest, MatchesItsSourceAndServesTheLibrarysItems) {
  platform::restore_resources();
  const auto resource = platform::find_resource(kDefaultDbResourceType, kDefaultDbResourceId);
  ASSERT_TRUE(resource);
  const std::string bytes(reinterpret_cast<const char*>(resource->data), resource->size);
  EXPECT_EQ(read_file(KAV_SOURCE_DIR "/lib/nv/default_nvi_db.txt"), bytes);
  const std::string text = normalise_line_ends(bytes);
  const NviDbHeader header = read_nvi_db_header(text);
  const std::string body = text.substr(text.find('\n') + 1);
  EXPECT_TRUE(header.digest_matches)
      << "the first line should read:\n"
      << nvi_db_digest_line(platform::md5_digest(body.data(), body.size()));
  EXPECT_EQ(kNviDbVersion, header.version);
  NvItemDatabase db;
  ASSERT_EQ("", parse_nvi_db_body(text, header.body, &db));
  EXPECT_TRUE(std::is_sorted(db.item_names.begin(), db.item_names.end()));
  EXPECT_EQ(3u, db.firmware_entries.size());
  TempDir dir;
  ScopedEnv module("UMTS_KAV_MODULE_DIR", dir.path());
  reset_library_for_testing();
  reset_nv_database();
  for (const auto& entry : db.firmware_entries) {
    for (const char* name :
         {"NV_MEID_I", "NV_AUTO_POWER_I", "ZQ_NV_FACTORY_ID_I", "ZQ_NV_USB_ID_I"}) {
      NvItemInfo info;
      EXPECT_TRUE(lookup_nv_item(name, entry.firmware.c_str(), &info))
          << name << " for " << entry.firmware;
    }
  }
  reset_library_for_testing();
  reset_nv_database();
}

}  // namespace
}  // namespace kav::test
