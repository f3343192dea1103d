// The header of kav's NV backup file, a pure format tested beside the program that writes it:
// identity texts of any content come back as they were and never add lines of their own; a
// hand-written header with a control character is refused; a file cut short is refused.
#include "tool/kav/backup_file.h"

#include <gtest/gtest.h>

#include <string>

namespace kav::tool {
namespace {

TEST(BackupFileTest, IdentityTextsRoundTripWithoutAddingLines) {
  const std::string texts[] = {"U370",
                               "",
                               "-",
                               "U370\nitem NV_PRODUCT_TAG_I 5078 - 41",
                               "a\\b \\x41 tab\tcr\r",
                               std::string("nul\0end", 7),
                               "caf\xc3\xa9 \x7f"};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const NvBackup backup{"356938035643809", text, text, "6290:1.2.3.0", {}};
    const std::string file = format_backup(backup);
    std::string error;
    const std::optional<NvBackup> read = parse_backup(file, &error);
    ASSERT_TRUE(read.has_value()) << error << "\n" << file;
    EXPECT_EQ(text, read->meid);
    EXPECT_EQ(text, read->model);
    EXPECT_TRUE(read->items.empty());
  }
}

TEST(BackupFileTest, HandWrittenHeadersAreReadOrRefused) {
  const struct {
    std::string line;
    std::string model;  // as read
    std::string error;
  } cases[] = {
      {"model U370", "U370", ""},
      {"model\tU370", "U370", ""},
      {"model U3\t70", "", "line 3: model holds a control character"},
      {"model U3\x01"
       "70",
       "", "line 3: model holds a control character"},
      {"model -", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::string error;
    const std::optional<NvBackup> read =
        parse_backup("kav-nv-backup 1\nfirmware X:1\n" + c.line + "\n", &error);
    EXPECT_EQ(c.error, error);
    EXPECT_EQ(c.model, read ? read->model : "");
  }
}

// A version 2 file ends with "end COUNT": cut short anywhere before it, or with a count or lines
// that do not match, it is refused; a version 1 file, written before the end line, has none.
TEST(BackupFileTest, TheEndLineRefusesAFileCutShort) {
  const NvBackup backup{"356938035643809",
                        "-",
                        "U370",
                        "6290:1.2.3.0",
                        {{"", 5000, -1, BackupItem::State::kValue, {0x41}, 0},
                         {"", 5001, -1, BackupItem::State::kInactive, {}, 0}}};
  const std::string whole = format_backup(backup);
  const std::string without_end = whole.substr(0, whole.rfind("end "));
  const std::string v1 = "kav-nv-backup 1" + without_end.substr(without_end.find('\n'));
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {whole, ""},
      {v1, ""},
      {without_end, "line 11: the file ends before its end line: it was cut short"},
      {whole.substr(0, whole.rfind("item ")),
       "line 10: the file ends before its end line: it was cut short"},
      {without_end + "end 3\n", "line 12: the end line counts 3 items, the file holds 2"},
      {without_end + "end two\n", "line 12: the end line is: end COUNT"},
      {whole + "item - 5002 - 42\n", "line 13: a line after the end line"},
      {whole + "# a comment\n\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const std::optional<NvBackup> read = parse_backup(c.text, &error);
    EXPECT_EQ(c.error, error);
    EXPECT_EQ(c.error.empty(), read.has_value());
    EXPECT_EQ(c.error.empty() ? 2u : 0u, read ? read->items.size() : 0u);
  }
}

}  // namespace
}  // namespace kav::tool
