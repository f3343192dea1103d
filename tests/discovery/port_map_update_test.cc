// The port-map update from XML documents: entries added, confirmed and changed, every rule of
// the document with its message, file and text sources, load failures, and documents built to
// break the parser (huge, deeply nested, malformed).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lib/core/library.h"
#include "lib/core/messages.h"
#include "lib/discovery/port_map.h"
#include "lib/discovery/port_map_update.h"
#include "lib/modem/lifecycle.h"
#include "tests/support/device_root.h"
#include "tests/support/test_env.h"
#include "tool/port_map_document.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// The document the update command passes.
constexpr const char* kCommandDocument = tool::kKelnorsetPortMapDocument;

constexpr const char* kAdded = "Port Map Update -- Added New Entry to Port Map\n";
constexpr const char* kAlready = "Port Map Update -- Already in Port Map\n";
constexpr const char* kChanged = "Port Map Update -- Changed Port Map Entry\n";
constexpr const char* kLoadFailed = "ERROR: XML parser failed to load Port Map Update XML file\n";
constexpr const char* kInternal = "ERROR: Internal error in Port Map Update XML parser.\n";

std::string details(const std::string& ident, const std::string& name, const char* type,
                    const char* method) {
  return "\tDeviceId = " + ident + "\n\tName = " + name + "\n\tPortType = " + type +
         "\n\tDefaultResetMethod = " + method + "\n\n";
}

std::string config(const std::string& modems) {
  return "<UmtsKavConfig>" + modems + "</UmtsKavConfig>";
}

// A Modem element with one DM PortId.
std::string modem(const std::string& name, const std::string& ident) {
  return "<Modem><Name>" + name + "</Name><PortId PortType=\"PT_DM\">" + ident +
         "</PortId></Modem>";
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// An empty device root (scans find nothing) and a settings file that turns the comm log on, so
// that the mask rebuild at the end of an update can be seen as its "TRIGGER COM_PORT_MASK" line.
class PortMapUpdateTest : public ::testing::Test {
 protected:
  PortMapUpdateTest()
      : registry_env_("UMTS_KAV_REGISTRY", dir_.file("user.reg")),
        module_env_("UMTS_KAV_MODULE_DIR", dir_.file("module")) {}

  void SetUp() override {
    reset_library_for_testing();
    reset_port_map();
    std::filesystem::create_directory(dir_.file("logs"));
    write_file(dir_.file("user.reg"),
               "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_CURRENT_USER\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\r\n"
               "\"Comm Logging\"=dword:00000001\r\n\"Logging Directory\"=\"" +
                   dir_.file("logs") + "\"\r\n");
    set_logging(false, true);
    open_log_files();
    ASSERT_TRUE(comm_log_open());
  }

  void TearDown() override {
    reset_library_for_testing();
    reset_port_map();
  }

  size_t mask_rebuilds() const {
    return count_of(read_file(comm_log_name()), "TRIGGER COM_PORT_MASK");
  }

  static std::optional<PortMapEntry> entry(const char* ident) { return lookup_port_map(ident); }

  TempDir dir_;
  ScopedEnv registry_env_;
  ScopedEnv module_env_;
  DeviceRoot root_;  // a device view with no device in it
};

MATCHER_P3(IsEntry, name, type, method, "") {
  return arg.has_value() && arg->name == name && arg->port_type == type &&
         arg->default_reset_method == method;
}

TEST_F(PortMapUpdateTest, CommandDocumentAddsThreeEntriesThenFindsThemAlreadyKnown) {
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(kCommandDocument), 0);
  EXPECT_THAT(
      capture.messages(),
      ElementsAre(kAdded, details("USB\\VID_5C8E&PID_A7E2&MI_01", "ZQTL Vorla", "PT_DM", "Both"),
                  kAdded, details("USB\\VID_5C8E&PID_A7E3&MI_01", "ZQTL Vorla", "PT_DM", "Both"),
                  kAdded,
                  details("USB\\VID_3E94&PID_D41B&MI_01", "ZQTL Halvern", "PT_DM", "Both")));
  EXPECT_THAT(entry("USB\\VID_5C8E&PID_A7E2&MI_01"), IsEntry("ZQTL Vorla", PT_DM, Both));
  EXPECT_THAT(entry("USB\\VID_5C8E&PID_A7E3&MI_01"), IsEntry("ZQTL Vorla", PT_DM, Both));
  EXPECT_THAT(entry("USB\\VID_3E94&PID_D41B&MI_01"), IsEntry("ZQTL Halvern", PT_DM, Both));
  EXPECT_THAT(entry("USB\\VID_05C6&PID_9008"), IsEntry("QCOM Emergency Boot", PT_DM, Both))
      << "the built-in rows are in place as well";
  EXPECT_EQ(mask_rebuilds(), 1u);

  capture.clear();
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(kCommandDocument), 0);
  EXPECT_THAT(
      capture.messages(),
      ElementsAre(kAlready, details("USB\\VID_5C8E&PID_A7E2&MI_01", "ZQTL Vorla", "PT_DM", "Both"),
                  kAlready, details("USB\\VID_5C8E&PID_A7E3&MI_01", "ZQTL Vorla", "PT_DM", "Both"),
                  kAlready,
                  details("USB\\VID_3E94&PID_D41B&MI_01", "ZQTL Halvern", "PT_DM", "Both")));
  EXPECT_EQ(mask_rebuilds(), 2u);
}

TEST_F(PortMapUpdateTest, LetterCaseOfPortIdAddressesTheSameEntryAndIsShownAsWritten) {
  ASSERT_EQ(ZqUmtsKavPortMapUpdate(kCommandDocument), 0);
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(
                config(modem("ZQTL Vorla", "usb\\Vid_5c8e&amp;pid_a7e2&amp;mi_01")).c_str()),
            0);
  EXPECT_THAT(capture.messages(), ElementsAre(kAlready, details("usb\\Vid_5c8e&pid_a7e2&mi_01",
                                                                "ZQTL Vorla", "PT_DM", "Both")));
  EXPECT_FALSE(entry("usb\\Vid_5c8e&pid_a7e2&mi_01").has_value()) << "keys are upper case only";
}

TEST_F(PortMapUpdateTest, AnyDifferingFieldChangesTheEntryIncludingBuiltInRows) {
  MessageCapture capture;
  EXPECT_EQ(
      ZqUmtsKavPortMapUpdate(config(modem("Vorla Rescue", "USB\\VID_05C6&amp;PID_9008")).c_str()),
      0);
  EXPECT_THAT(capture.messages(), ElementsAre(kChanged, details("USB\\VID_05C6&PID_9008",
                                                                "Vorla Rescue", "PT_DM", "Both")));
  EXPECT_THAT(entry("USB\\VID_05C6&PID_9008"), IsEntry("Vorla Rescue", PT_DM, Both));

  // Same name: a new port type alone, then a new reset method alone, still count as changes.
  capture.clear();
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(
                "<UmtsKavConfig><Modem><Name>Vorla Rescue</Name><PortId PortType=\"PT_AT\">"
                "USB\\VID_05C6&amp;PID_9008</PortId></Modem><Modem><Name>Vorla Rescue</Name>"
                "<DefaultResetMethod>PortCloseOpen</DefaultResetMethod><PortId PortType=\"PT_AT\">"
                "USB\\VID_05C6&amp;PID_9008</PortId></Modem></UmtsKavConfig>"),
            0);
  EXPECT_THAT(
      capture.messages(),
      ElementsAre(kChanged, details("USB\\VID_05C6&PID_9008", "Vorla Rescue", "PT_AT", "Both"),
                  kChanged,
                  details("USB\\VID_05C6&PID_9008", "Vorla Rescue", "PT_AT", "PortCloseOpen")));
  EXPECT_THAT(entry("USB\\VID_05C6&PID_9008"), IsEntry("Vorla Rescue", PT_AT, PortCloseOpen));
}

TEST_F(PortMapUpdateTest, EveryPortTypeAndResetMethodNameIsAccepted) {
  const char* types[] = {"PT_AT", "PT_DM", "PT_AP", "PT_OCP", "PT_HID", "PT_RNDIS"};
  const char* methods[] = {"ModemHardware", "PortCloseOpen", "Both", "None"};
  std::string modems;
  for (int t = 0; t < 6; ++t) {
    modems += std::string("<Modem><Name>M") + std::to_string(t) + "</Name><DefaultResetMethod>" +
              methods[t % 4] + "</DefaultResetMethod><PortId PortType=\"" + types[t] +
              "\">USB\\VID_1234&amp;PID_000" + std::to_string(t) + "</PortId></Modem>";
  }
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(config(modems).c_str()), 0);
  for (int t = 0; t < 6; ++t) {
    const std::string ident = "USB\\VID_1234&PID_000" + std::to_string(t);
    EXPECT_THAT(lookup_port_map(ident), IsEntry("M" + std::to_string(t), t + 1, t % 4)) << ident;
  }
}

TEST_F(PortMapUpdateTest, TextsAreTheTrimmedCharacterDataOfTheWholeElement) {
  // CDATA and the text of nested elements are part of an element's text; white space at either
  // end (here tab, line feed, carriage return, blank) is not. Character data of white space
  // alone between elements is not kept by the parser.
  const std::string doc = config(
      "<Modem>\n\t<Name>\t <![CDATA[ZQ]]>TL <b>Vor</b>la \r\n</Name>\n"
      "\t<DefaultResetMethod>\n None\t</DefaultResetMethod>\n"
      "\t<PortId PortType=\"PT_AP\">\r\n USB\\VID_AAAA&amp;<i>PID_0001</i>\t</PortId>\n</Modem>");
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(doc.c_str()), 0);
  EXPECT_THAT(capture.messages(), ElementsAre(kAdded, details("USB\\VID_AAAA&PID_0001",
                                                              "ZQTL Vorla", "PT_AP", "None")));
  EXPECT_THAT(entry("USB\\VID_AAAA&PID_0001"), IsEntry("ZQTL Vorla", PT_AP, None));
}

TEST_F(PortMapUpdateTest, TrimRemovesExactlyTheSevenBlankCharacters) {
  EXPECT_EQ(trim_document_text(" \t\r\n\f\v\bA B\b\v\f\n\r\t "), "A B");
  EXPECT_EQ(trim_document_text("\a A \x1b"), "\a A \x1b") << "other control characters stay";
  EXPECT_EQ(trim_document_text(" \t\b "), "");
  EXPECT_EQ(trim_document_text(""), "");
}

TEST_F(PortMapUpdateTest, ModemElementsAreTakenAnywhereInDocumentOrderUnderAnyRoot) {
  const std::string doc = "<Other><Group>" + modem("First", "USB\\VID_1111&amp;PID_0001") +
                          "</Group>" + modem("Second", "USB\\VID_1111&amp;PID_0002") +
                          "<Deep><Deeper>" + modem("Third", "USB\\VID_1111&amp;PID_0003") +
                          "</Deeper></Deep></Other>";
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(doc.c_str()), 0);
  EXPECT_THAT(capture.messages(),
              ElementsAre(kAdded, details("USB\\VID_1111&PID_0001", "First", "PT_DM", "Both"),
                          kAdded, details("USB\\VID_1111&PID_0002", "Second", "PT_DM", "Both"),
                          kAdded, details("USB\\VID_1111&PID_0003", "Third", "PT_DM", "Both")));
}

TEST_F(PortMapUpdateTest, OnlyDirectChildrenCountAndOtherChildrenAndAttributesAreIgnored) {
  // A Name nested one level deeper is not a Name of the Modem; an unknown child and attributes
  // of Modem, Name and DefaultResetMethod do not matter.
  const std::string doc = config(
      "<Modem id=\"1\"><Extra><Name>Hidden</Name></Extra><Name lang=\"en\">Shown</Name>"
      "<DefaultResetMethod x=\"y\">ModemHardware</DefaultResetMethod>"
      "<PortId PortType=\"PT_DM\">USB\\VID_2222&amp;PID_0001</PortId></Modem>");
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(doc.c_str()), 0);
  EXPECT_THAT(entry("USB\\VID_2222&PID_0001"), IsEntry("Shown", PT_DM, ModemHardware));
}

struct RuleCase {
  const char* label;
  std::string bad_modem;   // the serialised form is the document form: no white space in it
  std::string message;     // its first line(s), before the modem text
  std::string shown = {};  // the modem text when it differs from bad_modem
};

TEST_F(PortMapUpdateTest, BrokenModemRulesStopWith368AndKeepEarlierModems) {
  const std::vector<RuleCase> cases = {
      {"no Name", "<Modem><PortId PortType=\"PT_DM\">USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node does not have 1 Name node\n"},
      {"two Names",
       "<Modem><Name>A</Name><Name>B</Name><PortId "
       "PortType=\"PT_DM\">USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node does not have 1 Name node\n"},
      {"blank Name",
       "<Modem><Name> \t \t</Name><PortId "
       "PortType=\"PT_DM\">USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node : Name Node is empty\n",
       // Character data of white space alone is not kept as a node, so it is not printed.
       "<Modem><Name/><PortId PortType=\"PT_DM\">USB\\VID_9999&amp;PID_0001</PortId></Modem>"},
      {"two methods",
       "<Modem><Name>A</Name><DefaultResetMethod>Both</"
       "DefaultResetMethod><DefaultResetMethod>Both</DefaultResetMethod>"
       "<PortId PortType=\"PT_DM\">USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node has more than 1 DefaultResetMethod Nodes\n"},
      {"lower-case method",
       "<Modem><Name>A</Name><DefaultResetMethod> none </DefaultResetMethod>"
       "<PortId PortType=\"PT_DM\">USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node constains an unsupported DefaultResetMethod "
       "(none)\n"},
      {"empty method",
       "<Modem><Name>A</Name><DefaultResetMethod/><PortId "
       "PortType=\"PT_DM\">USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node constains an unsupported DefaultResetMethod ()\n"},
      {"no PortId", "<Modem><Name>A</Name></Modem>",
       "ERROR: Port Map Update XML Modem Node does not constain any PortId Nodes\n"},
      {"blank PortId",
       "<Modem><Name>A</Name><PortId PortType=\"PT_DM\"><![CDATA[ \n\t ]]></PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node : PortId Node is empty\n"},
      {"no attribute", "<Modem><Name>A</Name><PortId>USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node : PortID Node does not constain a PortType "
       "attribute\n"},
      {"PortType with a blank",
       "<Modem><Name>A</Name><PortId PortType=\" "
       "PT_DM\">USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node : PortID Node constains an unsupported PortType "
       "attribute ( PT_DM)\n"},
      {"PortType in lower case",
       "<Modem><Name>A</Name><PortId "
       "PortType=\"pt_dm\">USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node : PortID Node constains an unsupported PortType "
       "attribute (pt_dm)\n"},
      {"attribute before PortType",
       "<Modem><Name>A</Name><PortId Kind=\"x\" "
       "PortType=\"PT_DM\">USB\\VID_9999&amp;PID_0001</PortId></Modem>",
       "ERROR: Port Map Update XML Modem Node : PortID Node constains an unsupported attribute "
       "(Kind)\n"},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.label);
    reset_port_map();
    MessageCapture capture;
    const size_t rebuilds = mask_rebuilds();
    const std::string doc = config(modem("Good", "USB\\VID_8888&amp;PID_0001") + c.bad_modem +
                                   modem("Later", "USB\\VID_8888&amp;PID_0002"));
    EXPECT_EQ(ZqUmtsKavPortMapUpdate(doc.c_str()), 368);
    EXPECT_THAT(capture.messages(),
                ElementsAre(kAdded, details("USB\\VID_8888&PID_0001", "Good", "PT_DM", "Both"),
                            c.message + (c.shown.empty() ? c.bad_modem : c.shown) + "\n"));
    EXPECT_THAT(entry("USB\\VID_8888&PID_0001"), IsEntry("Good", PT_DM, Both)) << "kept";
    EXPECT_FALSE(entry("USB\\VID_9999&PID_0001").has_value()) << "the broken Modem applies nothing";
    EXPECT_FALSE(entry("USB\\VID_8888&PID_0002").has_value()) << "the update stopped";
    EXPECT_EQ(mask_rebuilds(), rebuilds + 1);
  }
}

TEST_F(PortMapUpdateTest, AttributeAfterAValidPortTypeIsRefusedAfterTheEntryIsApplied) {
  const std::string bad =
      "<Modem><Name>A</Name><PortId PortType=\"PT_DM\" "
      "Speed=\"fast\">USB\\VID_7777&amp;PID_0001</PortId></Modem>";
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(config(bad).c_str()), 368);
  EXPECT_THAT(capture.messages(),
              ElementsAre(kAdded, details("USB\\VID_7777&PID_0001", "A", "PT_DM", "Both"),
                          "ERROR: Port Map Update XML Modem Node : PortID Node constains an "
                          "unsupported attribute (Speed)\n" +
                              bad + "\n"));
  EXPECT_THAT(entry("USB\\VID_7777&PID_0001"), IsEntry("A", PT_DM, Both));
}

TEST_F(PortMapUpdateTest, LaterPortIdOfTheSameModemFailsAfterEarlierOnesApplied) {
  const std::string bad =
      "<Modem><Name>A</Name><PortId "
      "PortType=\"PT_AT\">USB\\VID_7777&amp;PID_0001&amp;MI_00</PortId>"
      "<PortId PortType=\"PT_XX\">USB\\VID_7777&amp;PID_0001&amp;MI_01</PortId></Modem>";
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(config(bad).c_str()), 368);
  EXPECT_THAT(capture.messages(),
              ElementsAre(kAdded, details("USB\\VID_7777&PID_0001&MI_00", "A", "PT_AT", "Both"),
                          "ERROR: Port Map Update XML Modem Node : PortID Node constains an "
                          "unsupported PortType attribute (PT_XX)\n" +
                              bad + "\n"));
}

TEST_F(PortMapUpdateTest, ModemTextIsTheElementSerialisedWithoutAddedWhiteSpace) {
  // Indentation between elements goes, the white space inside text stays; attributes are
  // written with double quotes; escapes, CDATA and comments come out in XML form.
  const std::string doc =
      "<?xml version=\"1.0\"?>\n<UmtsKavConfig>\n  <Modem  family = 'vorla' >\n"
      "    <!-- the hotspot -->\n    <Name> A &amp; B &lt;x&gt; </Name>\n"
      "    <Note><![CDATA[<raw & text>]]></Note>\n    <Empty/>\n"
      "    <PortId Kind=\"1\">\n USB\\VID_1111&amp;PID_2222 </PortId>\n  "
      "</Modem>\n</UmtsKavConfig>\n";
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(doc.c_str()), 368);
  EXPECT_THAT(
      capture.messages(),
      ElementsAre("ERROR: Port Map Update XML Modem Node : PortID Node constains an unsupported "
                  "attribute (Kind)\n<Modem family=\"vorla\"><!-- the hotspot --><Name> A &amp; B "
                  "&lt;x&gt; </Name><Note><![CDATA[<raw & text>]]></Note><Empty/><PortId "
                  "Kind=\"1\">\n USB\\VID_1111&amp;PID_2222 </PortId></Modem>\n"));
}

TEST_F(PortMapUpdateTest, DocumentWithoutModemGives368) {
  for (const char* doc : {"<UmtsKavConfig/>", "<UmtsKavConfig><modem/><Modems/></UmtsKavConfig>"}) {
    SCOPED_TRACE(doc);
    MessageCapture capture;
    EXPECT_EQ(ZqUmtsKavPortMapUpdate(doc), 368);
    EXPECT_THAT(capture.messages(),
                ElementsAre("ERROR: Port Map Update XML file does not contain any Modem nodes.\n"));
  }
  EXPECT_EQ(mask_rebuilds(), 2u);
}

TEST_F(PortMapUpdateTest, MissingFileFailsToLoadWith367AndStillRebuildsTheMask) {
  const std::string path = dir_.file("absent.xml");
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(path.c_str()), 367);
  EXPECT_THAT(capture.messages(),
              ElementsAre("Reading from Port Map Update XML file\n\t\"" + path + "\".\n",
                          kLoadFailed, kInternal));
  EXPECT_EQ(mask_rebuilds(), 1u);
}

// A document path naming a FIFO, a device or an oversized file is refused unread, at once.
TEST_F(PortMapUpdateTest, FileThatIsNoRegularFileOrTooLargeIsRefusedWith367) {
  const std::string fifo = dir_.file("fifo.xml");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = dir_.file("big.xml");
  write_file(big, kCommandDocument);
  ASSERT_EQ(truncate(big.c_str(), kMaxDocumentFileBytes + 1), 0);
  const std::pair<std::string, std::string> cases[] = {
      {fifo, "it is not a regular file."},
      {"/dev/zero", "it is not a regular file."},
      {big, "it is larger than " + std::to_string(kMaxDocumentFileBytes) + " bytes."}};
  for (const auto& [path, why] : cases) {
    MessageCapture capture;
    alarm(10);
    EXPECT_EQ(ZqUmtsKavPortMapUpdate(path.c_str()), 367);
    alarm(0);
    EXPECT_THAT(capture.messages(), ElementsAre(HasSubstr("Reading from Port Map Update XML file"),
                                                "ERROR: Port Map Update XML file \"" + path +
                                                    "\" is refused: " + why + "\n"));
  }
}

TEST_F(PortMapUpdateTest, FileSourceIsReadFromItsFullPath) {
  write_file(dir_.file("doc.xml"), kCommandDocument);
  std::filesystem::create_directory(dir_.file("sub"));
  const std::string written = dir_.path() + "/sub/..//./doc.xml";
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(written.c_str()), 0);
  const std::vector<std::string> messages = capture.messages();
  ASSERT_EQ(messages.size(), 7u);
  EXPECT_EQ(messages[0],
            "Reading from Port Map Update XML file\n\t\"" + dir_.file("doc.xml") + "\".\n");
  EXPECT_EQ(messages[1], kAdded);
  EXPECT_THAT(entry("USB\\VID_3E94&PID_D41B&MI_01"), IsEntry("ZQTL Halvern", PT_DM, Both));
  EXPECT_EQ(mask_rebuilds(), 1u);
}

TEST_F(PortMapUpdateTest, RelativeFileNameIsTakenFromTheCurrentDirectory) {
  std::filesystem::create_directory(dir_.file("work"));
  write_file(dir_.file("work/map.xml"),
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<UmtsKavConfig>\r\n  " +
                 modem("Relative", "USB\\VID_4444&amp;PID_0001") + "\r\n</UmtsKavConfig>\r\n");
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.file("work"));
  MessageCapture capture;
  const ZqUmtsKavStatusEnum result = ZqUmtsKavPortMapUpdate("map.xml");
  std::filesystem::current_path(previous);
  EXPECT_EQ(result, 0);
  ASSERT_FALSE(capture.messages().empty());
  EXPECT_EQ(capture.messages()[0], "Reading from Port Map Update XML file\n\t\"" +
                                       std::filesystem::canonical(dir_.file("work")).string() +
                                       "/map.xml\".\n");
  EXPECT_THAT(entry("USB\\VID_4444&PID_0001"), IsEntry("Relative", PT_DM, Both));
}

TEST_F(PortMapUpdateTest, NameWithoutFullPathGives40WithoutReadingOrRebuilding) {
  const std::string too_long = "/" + std::string(300, 'x') + ".xml";
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(too_long.c_str()), 40);
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(nullptr), 40) << "no source names no file";
  EXPECT_THAT(capture.messages(),
              ElementsAre("ERROR: ZqUmtsKavPortMapUpdate: unable to get full path name.\n",
                          "ERROR: ZqUmtsKavPortMapUpdate: unable to get full path name.\n"));
  EXPECT_EQ(mask_rebuilds(), 0u);
  EXPECT_THAT(entry("USB\\VID_05C6&PID_9008"), IsEntry("QCOM Emergency Boot", PT_DM, Both))
      << "the built-in rows are filled before the name is looked at";
}

TEST_F(PortMapUpdateTest, MalformedDocumentsFailToLoadWith367AndApplyNothing) {
  const std::string good = modem("Good", "USB\\VID_5555&amp;PID_0001");
  const std::vector<std::string> docs = {
      "<UmtsKavConfig>" + good,                // root never closed
      "<UmtsKavConfig>" + good + "</Config>",  // wrong end tag
      config(good) + config(good),             // two roots
      config(good) + "trailing text",          // text outside the root
      "text first" + config(good),
      "<![CDATA[x]]>" + config(good),
      config("<Modem><Name>A</Name><PortId PortType=\"PT_DM\" PortType=\"PT_AT\">USB\\VID_5555&amp;"
             "PID_0002</PortId></Modem>"),                                       // attribute twice
      config("<Modem><Name>A</Name><PortId PortType=PT_DM>X</PortId></Modem>"),  // no quotes
      "<UmtsKavConfig><Modem><Name>A</Name></Modem",                             // cut short
      "<>",
      "<!-- only a comment -->",
      "<",
  };
  for (const std::string& doc : docs) {
    SCOPED_TRACE(doc);
    reset_port_map();
    MessageCapture capture;
    const size_t rebuilds = mask_rebuilds();
    EXPECT_EQ(ZqUmtsKavPortMapUpdate(doc.c_str()), 367);
    EXPECT_THAT(capture.messages(), ElementsAre(kLoadFailed, kInternal));
    EXPECT_FALSE(entry("USB\\VID_5555&PID_0001").has_value());
    EXPECT_FALSE(entry("USB\\VID_5555&PID_0002").has_value());
    EXPECT_EQ(mask_rebuilds(), rebuilds + 1);
  }
}

TEST_F(PortMapUpdateTest, MalformedFileFailsToLoad) {
  write_file(dir_.file("bad.xml"), "<UmtsKavConfig><Modem>");
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(dir_.file("bad.xml").c_str()), 367);
  EXPECT_THAT(capture.messages(), ElementsAre(HasSubstr("Reading from Port Map Update XML file"),
                                              kLoadFailed, kInternal));
}

TEST_F(PortMapUpdateTest, HugeDocumentIsReadToTheEnd) {
  // About 50 MB of elements that are not Modem elements, then one Modem.
  std::string doc = "<UmtsKavConfig>";
  const std::string filler = "<Filler a=\"12345678\">some text &amp; more</Filler>";
  while (doc.size() < 50u * 1024 * 1024) doc += filler;
  doc += modem("Last", "USB\\VID_6666&amp;PID_0001") + "</UmtsKavConfig>";
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(doc.c_str()), 0);
  EXPECT_THAT(capture.messages(),
              ElementsAre(kAdded, details("USB\\VID_6666&PID_0001", "Last", "PT_DM", "Both")));
}

TEST_F(PortMapUpdateTest, HugeModemTextIsReportedWhole) {
  const std::string name(4u * 1024 * 1024, 'n');
  const std::string bad = "<Modem><Name>" + name + "</Name></Modem>";
  MessageCapture capture;
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(config(bad).c_str()), 368);
  EXPECT_THAT(capture.messages(),
              ElementsAre("ERROR: Port Map Update XML Modem Node does not constain any PortId "
                          "Nodes\n" +
                          bad + "\n"));
}

// `levels` nested elements in all, the innermost a Name inside a Modem.
std::string nested(size_t levels) {
  std::string doc;
  for (size_t i = 0; i + 2 < levels; ++i) doc += "<W>";
  doc +=
      "<Modem><Name>Deep</Name><PortId "
      "PortType=\"PT_DM\">USB\\VID_6666&amp;PID_0002</PortId></Modem>";
  for (size_t i = 0; i + 2 < levels; ++i) doc += "</W>";
  return doc;
}

TEST_F(PortMapUpdateTest, NestingUpToTheLimitIsAcceptedAndDeeperRefusedWith367) {
  ASSERT_EQ(kMaxDocumentDepth, 1000u);
  EXPECT_EQ(ZqUmtsKavPortMapUpdate(nested(1000).c_str()), 0);
  EXPECT_THAT(entry("USB\\VID_6666&PID_0002"), IsEntry("Deep", PT_DM, Both));

  reset_port_map();
  for (size_t levels : {size_t{1001}, size_t{100000}}) {
    SCOPED_TRACE(levels);
    MessageCapture capture;
    EXPECT_EQ(ZqUmtsKavPortMapUpdate(nested(levels).c_str()), 367);
    EXPECT_THAT(
        capture.messages(),
        ElementsAre("ERROR: Port Map Update XML document is nested deeper than 1000 levels.\n",
                    kInternal));
    EXPECT_FALSE(entry("USB\\VID_6666&PID_0002").has_value());
  }
  EXPECT_EQ(mask_rebuilds(), 3u);
}

TEST_F(PortMapUpdateTest, DeepDocumentHelpersDoNotRecurse) {
  // The walks used for texts and Modem look-up run over a tree far deeper than any stack could
  // take recursively; the document is destroyed at the end of the scope.
  constexpr size_t kLevels = 200000;
  std::string doc;
  for (size_t i = 0; i < kLevels; ++i) doc += "<a>x";
  for (size_t i = 0; i < kLevels; ++i) doc += "</a>";
  pugi::xml_document parsed;
  ASSERT_EQ(load_port_map_document(parsed, doc, false), LoadOutcome::kTooDeep);
  EXPECT_EQ(element_text(parsed.document_element()).size(), kLevels);
  EXPECT_EQ(elements_named(parsed, "a").size(), kLevels);
  EXPECT_EQ(element_xml(parsed.document_element()).size(), doc.size());
}

}  // namespace
}  // namespace kav::test
