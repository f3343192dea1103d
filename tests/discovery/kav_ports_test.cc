#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/discovery/scanner_fixture.h"

namespace kav::test {
namespace {

struct ToolRun {
  std::string out;
  int status = -1;
};

// Runs the built kav ports with `args` (the test's UMTS_KAV_ROOT is inherited). `redirect`
// says where the error stream goes (or, with "2>&1 >FILE", where the output goes instead).
ToolRun kav_ports(const std::string& args, const std::string& redirect = "2>/dev/null") {
  const char* dir = std::getenv("KAV_TEST_BINARY_DIR");
  EXPECT_NE(nullptr, dir) << "KAV_TEST_BINARY_DIR is set by the test build";
  ToolRun run;
  if (dir == nullptr) return run;
  const std::string command = std::string(dir) + "/tool/kav ports " + args + " " + redirect;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(nullptr, pipe);
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

bool has_line(const std::string& text, const std::string& line) {
  for (const std::string& l : split_lines(text)) {
    if (l == line) return true;
  }
  return false;
}

TEST_F(ScannerTest, KavPortsListsPortsAndMarksTheDmPort) {
  tree().add_device(gobi_modem(4, 5, "1-2"));
  tree().add_device({0x1234, 0x0001, 0x0100, "1-4", 0, {serial_interface(0, 8)}});  // COM 9
  const ToolRun all = kav_ports("");
  EXPECT_EQ(0, all.status) << all.out;
  const std::string dev = root_.path() + "/dev/";
  char line[512];
  std::snprintf(line, sizeof line, "%-3s %-6d %-24s %-7s %-14s %-38s %s", "DM>", 5,
                (dev + "ttyUSB4").c_str(), "PT_DM", "Both", "USB\\VID_05C6&PID_9001&MI_00",
                "Qualcomm Gobi Modem");
  EXPECT_TRUE(has_line(all.out, line)) << all.out;
  EXPECT_NE(std::string::npos, all.out.find("ttyUSB5 ")) << all.out;  // the AT port, COM 6
  std::snprintf(line, sizeof line, "%-3s %-6d %-24s %-7s %-14s %-38s %s", "", 9,
                (dev + "ttyUSB8").c_str(), "PT_OCP", "?????", "USB\\VID_1234&PID_0001",
                "Unrecognized Port");
  EXPECT_TRUE(has_line(all.out, line)) << all.out;

  // The columns line up under the heading, however long the node paths are.
  const std::vector<std::string> lines = split_lines(all.out);
  const size_t type_column = lines.at(0).find("TYPE");
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    EXPECT_EQ(type_column, lines[i].find("PT_")) << all.out;
  }

  const ToolRun dm = kav_ports("--dm-only");
  EXPECT_EQ(0, dm.status);
  EXPECT_EQ(2u, split_lines(dm.out).size()) << dm.out;  // heading and the DM port
  EXPECT_EQ(std::string::npos, dm.out.find("PT_AT")) << dm.out;
}

TEST_F(ScannerTest, KavPortsKnowsTheModemsOfKelnorsetsDocument) {
  // 5C8E:A7E2 is not in the built-in table; kelnorset adds its DM port before it connects.
  tree().add_device(
      {0x5c8e, 0xa7e2, 0x0318, "1-3", 0, {serial_interface(0, 2), serial_interface(1, 3)}});
  const ToolRun dm = kav_ports("--dm-only");
  EXPECT_EQ(0, dm.status) << dm.out;
  const std::vector<std::string> lines = split_lines(dm.out);
  ASSERT_EQ(2u, lines.size()) << dm.out;
  EXPECT_EQ(0u, lines[1].find("DM>")) << lines[1];
  EXPECT_NE(std::string::npos, lines[1].find(" 4 ")) << "ttyUSB3 is COM 4: " << lines[1];
  EXPECT_NE(std::string::npos, lines[1].find("USB\\VID_5C8E&PID_A7E2&MI_01")) << lines[1];
  EXPECT_NE(std::string::npos, lines[1].find("ZQTL Vorla")) << lines[1];
}

TEST_F(ScannerTest, KavPortsDmOnlyFailsWithoutADmPort) {
  tree().add_device({0x1234, 0x0001, 0x0100, "1-4", 0, {serial_interface(0, 8)}});
  const ToolRun dm = kav_ports("--dm-only");
  EXPECT_EQ(1, dm.status);
  EXPECT_EQ("No DM port present.\n", dm.out);
  EXPECT_EQ(2, kav_ports("--bogus").status);
}

TEST(KavPortsRootTest, ADeviceTreeThatCannotBeReadIsNamedAndFails) {
  TempDir dir;
  write_file(dir.file("file"), "");
  write_file_with_dirs(dir.file("no-sys/dev/ttyUSB0"), "");
  const struct {
    std::string root;
    std::string message;
  } cases[] = {
      {dir.file("missing"),
       "the device root " + dir.file("missing") + " (UMTS_KAV_ROOT): No such file or directory"},
      {dir.file("file"),
       "the device root " + dir.file("file") + " (UMTS_KAV_ROOT): Not a directory"},
      {dir.file("no-sys"), dir.file("no-sys") + "/sys: No such file or directory"},
  };
  for (const auto& c : cases) {
    ScopedEnv root("UMTS_KAV_ROOT", c.root);
    const ToolRun run = kav_ports("--dm-only", "2>&1");
    EXPECT_EQ(1, run.status) << c.root;
    EXPECT_EQ("kav ports: cannot read " + c.message + "\n", run.out);
  }
}

TEST(KavPortsOutputTest, AnOutputThatCannotBeWrittenFails) {
  for (const char* args : {"--help", "--udev-rules"}) {
    const ToolRun run = kav_ports(args, "2>&1 >/dev/full");
    EXPECT_EQ(1, run.status) << args;
    EXPECT_EQ("kav: cannot write standard output: No space left on device\n", run.out);
  }
}

TEST(KavPortsRulesTest, OneRulePerDmRowOfTheTableAndOfKelnorsetsDocument) {
  const ToolRun rules = kav_ports("--udev-rules");
  EXPECT_EQ(0, rules.status);
  int count = 3;  // the three DM ports kelnorset adds to the map
  for (const PortMapRow& row : valid_ports_map_initializer()) count += row.port_type == PT_DM;
  for (const PortMapRow& row : pci_port_map_rows()) count += row.port_type == PT_DM;
  int rule_lines = 0;
  for (const std::string& l : split_lines(rules.out)) {
    rule_lines += l.find("ENV{ID_MM_PORT_IGNORE}=\"1\"") != std::string::npos;
  }
  EXPECT_EQ(count, rule_lines);
  // usb_id is imported for USB ttys only: on any other tty it would fail on every event.
  EXPECT_TRUE(has_line(rules.out,
                       "SUBSYSTEMS==\"usb\", ENV{ID_USB_INTERFACE_NUM}!=\"?*\", "
                       "IMPORT{builtin}=\"usb_id\""))
      << rules.out;
  EXPECT_TRUE(has_line(rules.out,
                       "ATTRS{idVendor}==\"05c6\", ATTRS{idProduct}==\"9001\", "
                       "ENV{ID_USB_INTERFACE_NUM}==\"00\", ENV{ID_MM_PORT_IGNORE}=\"1\""))
      << rules.out;
  EXPECT_TRUE(has_line(rules.out,
                       "ATTRS{idVendor}==\"3e94\", ATTRS{idProduct}==\"d41b\", "
                       "ENV{ID_USB_INTERFACE_NUM}==\"01\", ENV{ID_MM_PORT_IGNORE}=\"1\""))
      << rules.out;
  // A revision is matched on the device's bcdDevice.
  EXPECT_TRUE(has_line(rules.out,
                       "ATTRS{idVendor}==\"5c8e\", ATTRS{idProduct}==\"a200\", "
                       "ATTRS{bcdDevice}==\"0001\", ENV{ID_USB_INTERFACE_NUM}==\"00\", "
                       "ENV{ID_MM_PORT_IGNORE}=\"1\""))
      << rules.out;
  // A PCIe modem's QCDM port, matched on the PCI function's ids.
  EXPECT_TRUE(has_line(rules.out,
                       "SUBSYSTEM==\"wwan\", KERNEL==\"wwan*qcdm*\", ATTRS{vendor}==\"0x1eac\", "
                       "ATTRS{device}==\"0x1001\", GROUP=\"dialout\", MODE=\"0660\", "
                       "ENV{ID_MM_PORT_IGNORE}=\"1\""))
      << rules.out;
  // The USB device of a DM port stays out of autosuspend, one rule per device, set on the
  // device (not an interface).
  const std::string awake =
      "ATTR{idVendor}==\"3e94\", ATTR{idProduct}==\"d41b\", ATTR{power/control}=\"on\"";
  EXPECT_TRUE(has_line(rules.out, awake)) << rules.out;
  EXPECT_EQ(rules.out.find(awake), rules.out.rfind(awake));
  EXPECT_TRUE(has_line(rules.out, "ENV{DEVTYPE}!=\"usb_device\", GOTO=\"kav_dm_power_end\""));
  // A row without interface number matches the whole device.
  EXPECT_TRUE(has_line(rules.out,
                       "ATTRS{idVendor}==\"05c6\", ATTRS{idProduct}==\"9008\", "
                       "ENV{ID_MM_PORT_IGNORE}=\"1\""))
      << rules.out;
}

}  // namespace
}  // namespace kav::test
