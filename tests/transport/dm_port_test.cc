// Opening, closing and reopening the DM port over pseudo-terminals: messages and comm-log
// records, the spacing after a close, a port held by another process, configuration failures,
// and the fixed-port reopen.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>

#include "lib/discovery/com_port_scanner.h"
#include "lib/platform/device_holders.h"
#include "tests/support/port_holder.h"
#include "tests/transport/transport_fixture.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::test {
namespace {

using ::testing::HasSubstr;

class DmPortTest : public TransportTest {};

TEST_F(DmPortTest, OpenConfiguresThePortAndRecordsIt) {
  sim::Pty& modem = plug_modem(4);
  MessageCapture messages;
  DmPortHandle port = open_com_port(5);
  ASSERT_TRUE(port);
  EXPECT_TRUE(port->is_open());
  EXPECT_EQ(messages.text(), "COM5 opened\n");
  const std::vector<CommRecord> open = records_tagged("OPEN: \\\\.\\COM5");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].count, 0);
  EXPECT_EQ(current_com_port(), 5);
  EXPECT_NE(last_close_time(), 0u);  // the first open stamps it
  EXPECT_EQ(port->timeouts().read_first_byte_ms, 10u);
  EXPECT_EQ(port->timeouts().write_per_byte_ms, 1u);
  EXPECT_EQ(port->timeouts().write_constant_ms, 5000u);
  // open_com_port leaves the connection's handle to its caller.
  EXPECT_FALSE(dm_port_handle());
  // The line is raw: bytes pass both ways untouched.
  ASSERT_TRUE(modem.write(bytes_of({0x0D, 0x0A, 0x11})));
  uint8_t in[8];
  size_t got = 0;
  platform::sleep_ms(20);
  ASSERT_TRUE(port->read(in, sizeof in, &got));
  EXPECT_EQ(hex({in, in + got}), "0D 0A 11 ");
}

TEST_F(DmPortTest, OpenAfterACloseWaitsOutTheSpacing) {
  set_timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 1500);
  plug_modem();
  uint32_t start = platform::tick_count();
  ASSERT_TRUE(connect());
  EXPECT_LT(platform::tick_count() - start, 300u);  // the first open does not wait
  const uint32_t closed = platform::tick_count();   // at or before the close's own stamp
  ASSERT_EQ(close_com_port(), 0);
  platform::sleep_ms(1000);
  start = platform::tick_count();
  ASSERT_TRUE(connect());
  const uint32_t waited = platform::tick_count() - start;
  EXPECT_GE(waited, 400u);
  EXPECT_LT(waited, 800u);
  EXPECT_GE(platform::tick_count() - closed, 1500u);
}

TEST_F(DmPortTest, SecondOpenSoonAfterTheFirstWaitsToo) {
  set_timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 600);
  plug_modem(0);
  plug_modem(1);
  ASSERT_TRUE(open_com_port(1));
  const uint32_t start = platform::tick_count();
  ASSERT_TRUE(open_com_port(2));
  EXPECT_GE(platform::tick_count() - start, 550u);
}

TEST_F(DmPortTest, SettleDelayIsTheExcessOfPostOpenOverTeaser) {
  set_timeout(Timeout::POST_OPEN_DELAY, 700);
  set_timeout(Timeout::ZQUMTSKAVCONNECT_TEASER_DELAY, 400);
  plug_modem();
  const uint32_t start = platform::tick_count();
  ASSERT_TRUE(open_com_port(1));
  const uint32_t took = platform::tick_count() - start;
  EXPECT_GE(took, 300u);
  EXPECT_LT(took, 500u);
}

TEST_F(DmPortTest, PortHeldByAnotherProcessIsTriedFiveTimes) {
  sim::Pty& modem = plug_modem();
  test::PortHolder holder(modem.slave_path(), "kav-dm-holder");
  ASSERT_TRUE(holder.held());
  const pid_t child = holder.pid();
  set_open_retry_pause_ms(200);
  MessageCapture messages;
  const uint32_t start = platform::tick_count();
  EXPECT_FALSE(open_com_port(1));
  const uint32_t took = platform::tick_count() - start;
  holder.release();
  EXPECT_GE(took, 800u);  // four pauses
  EXPECT_LT(took, 1200u);
  const std::vector<std::string> lines = messages.messages();
  ASSERT_EQ(lines.size(), 6u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(lines[i].rfind(
                  "ERROR: " + root_->path() + "/dev/ttyUSB0: Device or resource busy (held by ", 0),
              0u)
        << lines[i];
    EXPECT_THAT(lines[i], HasSubstr("kav-dm-holder, pid " + std::to_string(child)));
    EXPECT_EQ(lines[i].back(), '\n');
  }
  EXPECT_EQ(lines[5], "ERROR: open_com_port: Failed to open comm port.\n");
  EXPECT_TRUE(records_tagged("OPEN: \\\\.\\COM1").empty());
  // Released, the port opens.
  EXPECT_TRUE(open_com_port(1));
}

TEST_F(DmPortTest, PermanentOpenErrorsAreGivenAtOnceNamingTheNode) {
  set_open_retry_pause_ms(200);
  set_timeout(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 0);
  const std::string node = root_->path() + "/dev/ttyUSB2";
  struct Case {
    const char* what;
    void (*make)(const std::string& node);
    const char* text;
  };
  const Case cases[] = {
      {"missing", [](const std::string&) {}, "No such file or directory"},
      {"regular file", [](const std::string& n) { write_file(n, ""); },
       "Inappropriate ioctl for device"},
      {"directory", [](const std::string& n) { ASSERT_EQ(0, mkdir(n.c_str(), 0755)); },
       "Is a directory"},
      {"link loop", [](const std::string& n) { ASSERT_EQ(0, symlink(n.c_str(), n.c_str())); },
       "Too many levels of symbolic links"},
  };
  for (const Case& c : cases) {
    std::remove(node.c_str());
    c.make(node);
    MessageCapture messages;
    const uint32_t start = platform::tick_count();
    EXPECT_FALSE(open_com_port(3)) << c.what;
    EXPECT_LT(platform::tick_count() - start, 150u) << c.what << ": no pause, no retry";
    const std::vector<std::string> lines = messages.messages();
    ASSERT_EQ(lines.size(), 2u) << c.what;
    EXPECT_EQ(lines[0], "ERROR: " + node + ": " + c.text + "\n");
    EXPECT_EQ(lines[1], "ERROR: open_com_port: Failed to open comm port.\n");
  }
}

TEST_F(DmPortTest, RefusedLineSettingsCloseTheNewHandle) {
  plug_modem();
  ZqUmtsKavSetConnectSettings(12345, false, 0);  // not a speed the line knows
  MessageCapture messages;
  EXPECT_FALSE(open_com_port(1));
  EXPECT_EQ(messages.text(), "COM1 opened\nERROR: open_com_port: Failed to SetCommState.\n");
  EXPECT_EQ(current_com_port(), 0);
  // Nothing holds the port: the next open gets it at once.
  ZqUmtsKavSetConnectSettings(115200, false, 0);
  messages.clear();
  EXPECT_TRUE(open_com_port(1));
  EXPECT_EQ(messages.text(), "COM1 opened\n");
}

TEST_F(DmPortTest, CloseWithoutPortReturns17Silently) {
  MessageCapture messages;
  EXPECT_EQ(close_com_port(), 17);
  EXPECT_TRUE(messages.messages().empty());
  EXPECT_TRUE(records_tagged("CLOSE").empty());
  EXPECT_EQ(last_close_time(), 0u);
}

TEST_F(DmPortTest, CloseReleasesThePortAndForgetsTheMode) {
  sim::Pty& modem = plug_modem();
  DmPortHandle port = connect();
  ASSERT_TRUE(port);
  set_current_comm_mode(ZqUmtsKavCommMode_DM);
  control_tx_keep_awake_pinger(kPingerStart);
  MessageCapture messages;
  ASSERT_EQ(close_com_port(), 0);
  EXPECT_EQ(messages.text(), "Closing the Modem Connection.\n");
  EXPECT_EQ(records_tagged("CLOSE").size(), 1u);
  EXPECT_FALSE(dm_port_handle());
  EXPECT_FALSE(port->is_open());  // a copy held elsewhere sees the close
  EXPECT_EQ(current_comm_mode(), ZqUmtsKavCommMode_Unknown);
  const uint32_t closed_at = last_close_time();
  EXPECT_LE(platform::tick_count() - closed_at, 50u);
  // The slave is free again: someone else can open it.
  platform::SerialPort other;
  EXPECT_TRUE(other.open(modem.slave_path())) << platform::open_error_text();
  EXPECT_EQ(close_com_port(), 17);
}

TEST_F(DmPortTest, DetachClosesTheConnection) {
  plug_modem();
  ASSERT_TRUE(connect());
  MessageCapture messages;
  EXPECT_EQ(DllMain(0), 1);
  EXPECT_EQ(messages.text(), "Closing the Modem Connection.\n");
  EXPECT_FALSE(dm_port_handle());
}

TEST_F(DmPortTest, ConnectSettingsAreStored) {
  EXPECT_EQ(baud_rate(), 115200u);
  EXPECT_FALSE(fixed_port_mode());
  EXPECT_EQ(requested_com_port(), 0);
  ZqUmtsKavSetConnectSettings(921600, true, 7);
  EXPECT_EQ(baud_rate(), 921600u);
  EXPECT_TRUE(fixed_port_mode());
  EXPECT_EQ(requested_com_port(), 7);
}

TEST_F(DmPortTest, FixedPortReopenNeverAsksTheScanner) {
  // The device is not in the port map and the scanner has never run: only the fixed-port
  // path can find it again.
  sim::Pty& first = plug_modem(2);
  DmPortHandle port = connect(3);
  ASSERT_TRUE(port);
  set_fixed_port_mode(true);
  unplug_modem(first, 2);
  sim::Pty& second = plug_modem(2);
  MessageCapture messages;
  const uint32_t start = platform::tick_count();
  ASSERT_EQ(minimal_port_close_and_reopen(&port), 0);
  EXPECT_GE(platform::tick_count() - start, 250u);
  ASSERT_TRUE(port);
  EXPECT_EQ(port, dm_port_handle());
  EXPECT_THAT(messages.text(), HasSubstr("Opening the Modem Connection on COM3\n\t"));
  EXPECT_EQ(records_tagged("CLOSE_mpcar").size(), 1u);
  // The new port is the new device, and the pinger was started again.
  EXPECT_EQ(hex(read_master(second, 1, 600)), "7E ");
}

TEST_F(DmPortTest, FixedPortReopenFailsWith16WhenTheDeviceStaysAway) {
  sim::Pty& first = plug_modem();
  DmPortHandle port = connect();
  set_fixed_port_mode(true);
  unplug_modem(first);
  MessageCapture messages;
  EXPECT_EQ(minimal_port_close_and_reopen(&port), 16);
  EXPECT_FALSE(port);
  EXPECT_FALSE(dm_port_handle());
  EXPECT_THAT(messages.text(), HasSubstr("ERROR: open_com_port: Failed to open comm port.\n"));
}

// Without fixed-port mode the scanner says where the modem came back, possibly under another
// COM number.
TEST_F(DmPortTest, ScannerReopenFollowsTheModemToItsNewPort) {
  registry_monitor_started_event().set();
  sim::Pty& first = plug_modem(0, 0x05C6, 0x9008);
  update_com_port_mask("TEST");
  DmPortHandle port = connect(1);
  ASSERT_TRUE(port);
  unplug_modem(first, 0);
  sim::Pty& second = plug_modem(3, 0x05C6, 0x9008);
  update_com_port_mask("TEST");
  MessageCapture messages;
  ASSERT_EQ(minimal_port_close_and_reopen(&port), 0);
  EXPECT_EQ(current_com_port(), 4);
  EXPECT_EQ(port, dm_port_handle());
  EXPECT_THAT(messages.text(),
              HasSubstr("Opening the Modem Connection on COM4\n\t" + port_description(4) + ".\n"));
  EXPECT_FALSE(port_description(4).empty());
  EXPECT_EQ(hex(read_master(second, 1, 600)), "7E ");  // pinger started on the new port
}

TEST_F(DmPortTest, ScannerReopenFailsWith16WhenNoDmPortIsBack) {
  registry_monitor_started_event().set();
  sim::Pty& first = plug_modem(0, 0x05C6, 0x9008);
  update_com_port_mask("TEST");
  DmPortHandle port = connect(1);
  ASSERT_TRUE(port);
  unplug_modem(first, 0);
  update_com_port_mask("TEST");
  EXPECT_EQ(minimal_port_close_and_reopen(&port), 16);
  EXPECT_FALSE(port);
  EXPECT_FALSE(dm_port_handle());
  EXPECT_THAT(read_file(comm_log_name()),
              HasSubstr("minimal_port_close_and_reopen: get_dm_port_wait returned zero"));
  EXPECT_EQ(records_tagged("OPEN: \\\\.\\COM1").size(), 1u);  // no second open
}

// The mask still names COM1 (the monitors have not caught up) but its tty now belongs to
// another device: the reopen must not talk to that device.
TEST_F(DmPortTest, ScannerReopenRefusesATtyNumberTakenByAnotherDevice) {
  registry_monitor_started_event().set();
  sim::Pty& first = plug_modem(0, 0x05C6, 0x9008);
  update_com_port_mask("TEST");
  DmPortHandle port = connect(1);
  ASSERT_TRUE(port);
  unplug_modem(first, 0);
  sim::Pty& other = plug_modem(0, 0x1D6B, 0x0104);  // not in the port map
  EXPECT_EQ(minimal_port_close_and_reopen(&port), 16);
  EXPECT_FALSE(port);
  EXPECT_FALSE(dm_port_handle());
  EXPECT_THAT(read_file(comm_log_name()),
              HasSubstr("minimal_port_close_and_reopen: COM1 is no longer a DM port"));
  EXPECT_TRUE(read_master(other, 1, 600).empty()) << "nothing is sent to the other device";
}

}  // namespace
}  // namespace kav::test

namespace kav::test {
namespace {

// The udev entry of the pseudo-terminal behind COM<index + 1>, written with `text`.
void write_udev_entry(DeviceRoot& root, sim::Pty& modem, const std::string& text) {
  struct stat st;
  ASSERT_EQ(stat(modem.slave_path().c_str(), &st), 0);
  root.write("run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" +
                 std::to_string(minor(st.st_rdev)),
             text);
}

size_t lines_with(const std::vector<std::string>& lines, const std::string& part) {
  size_t n = 0;
  for (const std::string& line : lines) n += line.find(part) != std::string::npos;
  return n;
}

// ModemManager is let past the exclusive mark; the open says so once per node, unless udev
// told ModemManager to leave the port alone.
TEST_F(DmPortTest, RunningModemManagerIsPointedAtTheRulesOnce) {
  sim::Pty elsewhere;  // what the stand-in ModemManager holds
  const struct {
    bool modem_manager;
    const char* entry;
    size_t warnings;
  } rows[] = {
      {false, "E:ID_MM_CANDIDATE=1\n", 0},
      {true, "E:ID_MM_CANDIDATE=1\n", 1},
      {true, nullptr, 1},
      {true, "E:ID_MM_CANDIDATE=1\nE:ID_MM_PORT_IGNORE=1\n", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.modem_manager ? "ModemManager, " : "") +
                 (row.entry ? row.entry : "no entry"));
    // Another test's stand-in (or a real one) would answer for the one this row leaves out.
    if (!row.modem_manager && platform::process_running("ModemManager")) continue;
    reset_dm_port();
    set_open_retry_pause_ms(20);
    root_.reset();  // before the next, which would otherwise restore a root that is gone
    root_ = std::make_unique<DeviceRoot>();
    sim::Pty& modem = plug_modem();
    if (row.entry) write_udev_entry(*root_, modem, row.entry);
    std::unique_ptr<PortHolder> mm;
    if (row.modem_manager) {
      mm = std::make_unique<PortHolder>(elsewhere.slave_path(), "ModemManager", HoldStyle::kPlain);
      ASSERT_TRUE(mm->held());
    }
    MessageCapture messages;
    for (int i = 0; i < 2; ++i) {
      DmPortHandle port = open_com_port(1);
      ASSERT_TRUE(port);
      port->close();
    }
    EXPECT_EQ(lines_with(messages.messages(), "kav ports --udev-rules"), row.warnings);
    EXPECT_EQ(lines_with(messages.messages(), "ModemManager runs"), row.warnings);
  }
}

// Run as root, a process that opens the port after us is named after the next garbled frame,
// and only once.
TEST_F(DmPortTest, AsRootANewcomerIsNamedAfterAGarbledFrame) {
  if (geteuid() != 0) GTEST_SKIP() << "only root sees every holder";
  sim::Pty& modem = plug_modem();
  ASSERT_TRUE(connect());
  PortHolder prober(modem.slave_path(), "kav-prober", HoldStyle::kPlain);
  ASSERT_TRUE(prober.held());
  MessageCapture messages;
  const std::vector<uint8_t> garbled = bytes_of({0x41, 0x42, 0x43, 0x44, 0x7E});
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(modem.write(garbled));
    const uint8_t* data = nullptr;
    int32_t length = 0;
    int32_t time_left = 300;
    ZqUmtsKavResponseDMCom(&data, &length, &time_left);
  }
  const std::string named = "opened beside us by kav-prober, pid " + std::to_string(prober.pid());
  EXPECT_EQ(lines_with(messages.messages(), named), 1u);
  prober.release();
}

}  // namespace
}  // namespace kav::test
