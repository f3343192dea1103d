// kav's JSON strings, hexadecimal bytes and Windows command lines: the escapes a JSON reader
// needs, text that is not UTF-8, the forms of bytes a user may type, and the quoting that a
// child kav's C runtime undoes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool/kav/command_line.h"
#include "tool/kav/hex.h"
#include "tool/kav/json.h"

namespace kav::tool {
namespace {

// Backslashes count only before a double quote or the closing quote; an empty word still is
// one argument.
TEST(KavCommandLineTest, ArgumentsAreQuotedAsTheCRuntimeSplitsThem) {
  const struct {
    std::string word;
    std::string quoted;
  } cases[] = {
      {"info", "info"},
      {R"(C:\kav\kav.exe)", R"(C:\kav\kav.exe)"},
      {"", R"("")"},
      {"Tar vell", R"("Tar vell")"},
      {R"(no\tab)", R"(no\tab)"},
      {"a\tb", "\"a\tb\""},
      {R"(say "hi")", R"("say \"hi\"")"},
      {R"(a\"b)", R"("a\\\"b")"},
      {R"(C:\Program Files\)", R"("C:\Program Files\\")"},
      {R"(a\\b c)", R"("a\\b c")"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.quoted, quote_argument(c.word)) << c.word;
  EXPECT_EQ(
      R"(C:\kav\kav.exe nv write 5078 --text "Tar \"v\" ell" "")",
      command_line({R"(C:\kav\kav.exe)", "nv", "write", "5078", "--text", R"(Tar "v" ell)", ""}));
}

TEST(KavJsonTest, StringsAreEscapedAndAlwaysUtf8) {
  const struct {
    std::string text;
    std::string quoted;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\tline\nret\r", "\"tab\\tline\\nret\\r\""},
      {std::string("nul\0x\x1f", 6), "\"nul\\u0000x\\u001f\""},
      {"USB\\VID_5C8E", "\"USB\\\\VID_5C8E\""},
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},  // kept as it is
      {"bad \xff end", "\"bad \\ufffd end\""},                       // no UTF-8 lead byte
      {"cut \xe2\x82", "\"cut \\ufffd\\ufffd\""},                    // sequence cut short
      {"long \xc0\xaf", "\"long \\ufffd\\ufffd\""},                  // overlong form of '/'
      {"surrogate \xed\xa0\x80", "\"surrogate \\ufffd\\ufffd\\ufffd\""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.quoted, json_quote(c.text)) << c.text;
}

TEST(KavJsonTest, MembersAndElementsAreSeparatedOnce) {
  JsonWriter json;
  json.begin_object().member("a", 1).key("list").begin_array();
  json.value("x").null().begin_object().end_object().value(false);
  json.end_array().member("b", "y").end_object();
  EXPECT_EQ("{\"a\":1,\"list\":[\"x\",null,{},false],\"b\":\"y\"}\n", json.text());
}

TEST(KavHexTest, BytesAreReadInEveryFormAndBadWordsNamed) {
  const struct {
    std::vector<std::string> words;
    std::vector<uint8_t> bytes;
    std::string error;
  } cases[] = {
      {{"01", "02"}, {1, 2}, ""},
      {{"0102", "A0ff"}, {1, 2, 0xA0, 0xFF}, ""},
      {{"0x01,0x02", "0X7e"}, {1, 2, 0x7E}, ""},
      {{"1"}, {}, "\"1\" is not hexadecimal bytes (two digits per byte, as in 0a 1b)"},
      {{"01", "0g"}, {}, "\"0g\" is not hexadecimal bytes (two digits per byte, as in 0a 1b)"},
      {{"0x"}, {}, "\"0x\" is not hexadecimal bytes (two digits per byte, as in 0a 1b)"},
      {{}, {}, "no bytes given"},
  };
  for (const auto& c : cases) {
    std::string error;
    const std::optional<std::vector<uint8_t>> bytes = parse_hex_words(c.words, &error);
    EXPECT_EQ(c.error, error);
    EXPECT_EQ(c.error.empty(), bytes.has_value());
    EXPECT_EQ(c.bytes, bytes.value_or(std::vector<uint8_t>{}));
  }
  const uint8_t shown[] = {0x00, 0x5a, 0xff};
  EXPECT_EQ("00 5a ff", hex_bytes(shown, 3));
}

}  // namespace
}  // namespace kav::tool
