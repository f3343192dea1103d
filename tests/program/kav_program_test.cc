// kav run as a process against simulated modems in a private device root: each subcommand's
// standard output, standard error and exit status, its --json document read back by Python's
// json module, a backup and restore round trip, and the bad-input cases.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/device_tree.h"
#include "sim/modem.h"
#include "tests/program/program_run.h"
#include "tests/support/test_env.h"

namespace kav::test {
namespace {

using sim::ModemConfig;

// The test build of kav: the shipped program's code with a library version that reads the
// time-outs file below, so that port waits and reset delays take a fraction of their defaults.
const char kKav[] = "tests/kav-timeouts-ini";

const char kTimeoutsFile[] =
    "[GENERAL]\n"
    "ZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT=3000\n"
    "ZQUMTSKAVCONNECT_TEASER_DELAY=300\n"
    "POST_OPEN_DELAY=300\n"
    "FAST_PROBE_RESPONSE_WAIT=100\n"
    "RESPONSE_WAIT=500\n"
    "RESET_MH_REATTACH_DELAY=1000\n"
    "RESET_BOTH_SETTLE_DELAY=1000\n"
    "MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN=1000\n";

const char kImei[] = "356938035643809";
const char kFirmware[] = "6290:1.2.3.0";

// A quick simulated Vorla (its array items are those of the default NV item database).
ModemConfig quick_modem() {
  ModemConfig config;
  config.reenumerate_gap_ms = 150;
  config.leave_delay_ms = 20;
  return config;
}

std::vector<uint8_t> bytes_of(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

class KavProgramTest : public ::testing::Test {
 protected:
  KavProgramTest()
      : machine_(dir_.path()),
        root_env_("UMTS_KAV_ROOT", dir_.path()),
        module_env_("UMTS_KAV_MODULE_DIR", dir_.file("module")),
        registry_env_("UMTS_KAV_REGISTRY", dir_.file("module/user.reg")) {
    write_file_with_dirs(dir_.file("module/umts_kav_lib_timeouts.ini"), kTimeoutsFile);
  }

  sim::Modem& plug_in(ModemConfig config = quick_modem()) {
    modems_.push_back(std::make_unique<sim::Modem>(dir_.path(), std::move(config)));
    modems_.back()->start();
    return *modems_.back();
  }

  ProgramRun kav(std::vector<std::string> args) {
    args.insert(args.begin(), built_program(kKav));
    return run_command(args);
  }

  // `args` on the fixed port COM1.
  ProgramRun kav_com1(std::vector<std::string> args) {
    args.insert(args.end(), {"--port", "COM1"});
    return kav(args);
  }

  std::string nv_store() { return read_file(dir_.file("kav-modem-sim-nv.txt")); }

  TempDir dir_;
  sim::DeviceTree machine_;
  ScopedEnv root_env_;
  ScopedEnv module_env_;
  ScopedEnv registry_env_;
  std::vector<std::unique_ptr<sim::Modem>> modems_;
};

// The values of Python expressions over the JSON document `d`, each as json.dumps shows it. A
// document that Python cannot read fails the test.
std::vector<std::string> json_values(const std::string& document,
                                     const std::vector<std::string>& expressions) {
  TempDir dir;
  write_file(dir.file("doc.json"), document);
  std::vector<std::string> args = {"/usr/bin/python3", "-c",
                                   "import json, sys\n"
                                   "d = json.load(open(sys.argv[1]))\n"
                                   "for e in sys.argv[2:]: print(json.dumps(eval(e)))\n",
                                   dir.file("doc.json")};
  args.insert(args.end(), expressions.begin(), expressions.end());
  const ProgramRun run = run_command(args);
  EXPECT_EQ(0, run.status) << "not one JSON document:\n" << document << run.err;
  return split_lines(run.out);
}

void expect_run(const ProgramRun& run, const std::string& out, int status) {
  EXPECT_EQ(out, run.out) << run.err;
  EXPECT_EQ(status, run.status) << run.err;
}

TEST_F(KavProgramTest, InfoShowsTheIdentityAsTextAndAsJson) {
  plug_in();
  expect_run(kav_com1({"info"}),
             std::string("IMEI:              ") + kImei +
                 "\n"
                 "MEID:              Not Defined\n"
                 "Factory ID:        Not Defined\n"
                 "Model:             U370\n"
                 "Hardware revision: REV 3\n"
                 "Firmware:          6290:1.2.3.0\n"
                 "Firmware version:  1.2.3.0\n"
                 "OpenZumi version:  OZ-2.4.1\n"
                 "Mode:              DM\n"
                 "Port:              COM1 (" +
                 dir_.file("dev/ttyUSB0") + ")\n",
             0);
  // Without --port the scanner finds the port.
  const ProgramRun json = kav({"info", "--json"});
  EXPECT_EQ(0, json.status) << json.err;
  EXPECT_EQ(std::vector<std::string>({"\"info\"", "true", std::string("\"") + kImei + "\"", "null",
                                      "\"6290:1.2.3.0\"", "\"DM\"", "1"}),
            json_values(json.out, {"d['command']", "d['ok']", "d['imei']", "d['meid']",
                                   "d['firmware']", "d['mode']", "d['com_port']"}));
  EXPECT_NE(std::string::npos, json.err.find("# IMEI        : 356938035643809")) << json.err;
}

// kav each over three modems, the third refusing the item: one line per modem as it finishes,
// a summary, status 1; the two others hold the value; with --json one document per modem.
TEST_F(KavProgramTest, EachRunsTheCommandOnEveryModemAndNamesTheOneThatFailed) {
  const struct {
    const char* busport;
    int dm_tty;
    const char* imei;
    bool refuses;
  } modems[] = {{"1-2", 0, "356938035643809", false},
                {"1-3", 2, "356938035643817", false},
                {"1-4", 6, "356938035643825", true}};
  for (const auto& m : modems) {
    ModemConfig config = quick_modem();
    config.busport = m.busport;
    config.dm_tty = m.dm_tty;
    config.at_tty = m.dm_tty + 1;
    config.status.imei = m.imei;
    config.nv_file = dir_.file(std::string("nv-") + m.busport + ".txt");
    if (m.refuses) config.nv_status[5078] = 4;
    plug_in(config);
  }
  const ProgramRun run =
      kav({"each", "--parallel", "2", "--", "nv", "write", "5078", "--text", "Tarvell"});
  EXPECT_EQ(1, run.status) << run.err;
  const std::vector<std::string> lines = split_lines(run.out);
  ASSERT_EQ(4u, lines.size()) << run.out;
  for (const auto& m : modems) {
    const auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(m.imei) != std::string::npos;
    });
    ASSERT_NE(line, lines.end()) << m.imei;
    EXPECT_EQ(line->rfind("COM" + std::to_string(m.dm_tty + 1) + " ", 0), 0u) << *line;
    EXPECT_NE(line->find(m.refuses ? "FAILED" : " ok "), std::string::npos) << *line;
    if (m.refuses) {
      EXPECT_NE(line->find("nv write: "), std::string::npos) << *line;
    }
    const std::string store = read_file(dir_.file(std::string("nv-") + m.busport + ".txt"));
    EXPECT_EQ(!m.refuses, store.find("5078") != std::string::npos) << store;
  }
  EXPECT_EQ(lines[3].rfind("3 modems: 2 ok, 1 failed in ", 0), 0u) << lines[3];

  // The refusing modem refuses reads of the item too.
  const ProgramRun json = kav({"each", "--json", "--", "nv", "read", "5078"});
  EXPECT_EQ(1, json.status) << json.err;
  const std::vector<std::string> documents = split_lines(json.out);
  ASSERT_EQ(3u, documents.size()) << json.out;
  for (const std::string& document : documents) {
    const auto values = json_values(document, {"d['imei']", "d['ok']", "d['result']['command']"});
    ASSERT_EQ(3u, values.size());
    const bool refusing = values[0] == "\"356938035643825\"";
    EXPECT_EQ(values[1], refusing ? "false" : "true") << document;
    EXPECT_EQ(values[2], "\"nv read\"") << document;
  }
  expect_run(kav({"each", "--", "ports"}), "", 2);
}

// The station with two modems, the second slow to take its write: killed (-9) when the first is
// done, its log holds every step that had ended, each a whole JSON line, and no end for the
// second. A restarted station leaves the provisioned modem alone.
TEST_F(KavProgramTest, StationLogKeepsEveryFinishedStepThroughAKill) {
  ModemConfig fast = quick_modem();
  fast.nv_file = dir_.file("nv-fast.txt");
  plug_in(fast);
  ModemConfig slow = quick_modem();
  slow.busport = "1-3";
  slow.dm_tty = 2;
  slow.at_tty = 3;
  slow.status.imei = "356938035643817";
  slow.nv_file = dir_.file("nv-slow.txt");
  slow.faults.push_back(
      {.kind = sim::FaultKind::Delay, .command = 0x27, .count = -1, .delay_ms = 1500});
  plug_in(slow);
  const std::string recipe = dir_.file("recipe.txt");
  write_file(recipe,
             "# two steps\nexpect 5078 --inactive\nnv write 5078 --text \"Tarvell\"\n"
             "expect 5078 --text Tarvell\n");
  const std::vector<std::string> args = {built_program(kKav), "station", recipe};
  const ProgramRun run = run_command_signalled(args, "COM1 ", SIGKILL);
  EXPECT_EQ(-1, run.status) << run.out << run.err;
  std::map<std::string, std::vector<std::string>> steps;  // by IMEI
  std::set<std::string> done;
  for (const std::string& line : split_lines(read_file(recipe + ".log.jsonl"))) {
    const auto v = json_values(line, {"d['imei']", "d.get('step', '')", "d.get('done', False)"});
    ASSERT_EQ(3u, v.size()) << line;
    if (v[2] == "true") done.insert(v[0]);
    if (v[2] != "true") steps[v[0]].push_back(v[1]);
  }
  EXPECT_EQ(done, (std::set<std::string>{"\"356938035643809\""}));
  EXPECT_EQ(steps["\"356938035643809\""].size(), 4u);
  // The second modem's write was still waiting for its answer: its identity and first check are
  // in the log, nothing after them.
  EXPECT_EQ(steps["\"356938035643817\""],
            (std::vector<std::string>{"\"info\"", "\"expect 5078 --inactive\""}));

  const ProgramRun again = run_command_signalled(args, "COM1 ", SIGTERM);
  EXPECT_NE(again.out.find("already provisioned"), std::string::npos) << again.out;
}

// A recipe with a bad line is refused, naming the line, before any modem hears a byte.
TEST_F(KavProgramTest, StationRefusesABadRecipeBeforeTouchingAModem) {
  sim::Modem& modem = plug_in();
  const std::string recipe = dir_.file("recipe.txt");
  for (const char* bad : {"nv write 5078\n", "expect 5078\n", "ports\n",
                          "nv read 5078 --port COM1\n", "nv write 5078 --text \"open\n"}) {
    write_file(recipe, std::string("info\n") + bad);
    const ProgramRun run =
        run_command({built_program(kKav), "station", recipe}, std::chrono::seconds(10));
    EXPECT_EQ(2, run.status) << bad;
    EXPECT_NE(run.err.find(recipe + ":2: "), std::string::npos) << run.err;
  }
  EXPECT_TRUE(modem.history().empty());
}

TEST_F(KavProgramTest, PortsListsTheSimulatedModemAsJson) {
  plug_in();
  const ProgramRun run = kav({"ports", "--json"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(std::vector<std::string>({"1", "1", "true", "\"" + dir_.file("dev/ttyUSB0") + "\"",
                                      "\"ZQTL Vorla\"", "false"}),
            json_values(run.out,
                        {"d['dm_ports']", "d['ports'][0]['com_port']", "d['ports'][0]['dm']",
                         "d['ports'][0]['node']", "d['ports'][0]['name']", "d['ports'][1]['dm']"}));
}

// NV reads and writes, one after the other on one modem.
TEST_F(KavProgramTest, NvReadAndWriteByNameNumberAndIndex) {
  sim::Modem& modem = plug_in();
  const struct {
    std::vector<std::string> args;
    std::string out;
  } steps[] = {
      {{"nv", "read", "NV_PRODUCT_TAG_I"}, "NV_PRODUCT_TAG_I (5078) is inactive (never written)\n"},
      {{"nv", "write", "NV_PRODUCT_TAG_I", "--text", "Tarvell"},
       "NV_PRODUCT_TAG_I (5078) written and verified: 54 61 72 76 65 6c 6c \"Tarvell\"\n"},
      {{"nv", "read", "5078", "-q"}, "54 61 72 76 65 6c 6c\n"},
      {{"nv", "write", "NV_ACCOLC_I", "--index", "1", "--hex", "0x01,0x02", "ff"},
       "NV_ACCOLC_I[1] (37) written and verified: 01 02 ff\n"},
      {{"nv", "read", "NV_ACCOLC_I", "--index", "1"}, "NV_ACCOLC_I[1] (37) = 01 02 ff\n"},
      {{"nv", "read", "NV_ACCOLC_I"}, "NV_ACCOLC_I[0] (37) is inactive (never written)\n"},
      {{"nv", "write", "5000", "--hex", "4142"}, "item 5000 written and verified: 41 42 \"AB\"\n"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args[1] + " " + step.args[2]);
    expect_run(kav_com1(step.args), step.out, 0);
  }
  sim::NvValue tag{};
  std::memcpy(tag.data(), "Tarvell", 8);
  EXPECT_EQ(tag, modem.nv().read(5078, 0));

  const ProgramRun json = kav_com1({"nv", "read", "NV_PRODUCT_TAG_I", "--json"});
  EXPECT_EQ(std::vector<std::string>({"\"NV_PRODUCT_TAG_I\"", "5078", "null", "\"active\"",
                                      "\"54 61 72 76 65 6c 6c\"", "\"Tarvell\""}),
            json_values(json.out, {"d['item']", "d['id']", "d['index']", "d['state']", "d['hex']",
                                   "d['text']"}));
}

TEST_F(KavProgramTest, SendShowsTheWholeResponse) {
  ModemConfig config = quick_modem();
  config.nv_presets.push_back({5078, {0x5A}});
  plug_in(config);
  // An NV read of item 5078 (0x13D6): the echo, the 128 data bytes and nv_stat 0.
  std::string response = "26 d6 13 5a";
  for (int i = 0; i < 127 + 2; ++i) response += " 00";
  expect_run(kav_com1({"send", "26", "d6", "13"}), response + "\n", 0);
  const ProgramRun json = kav_com1({"send", "26d613", "--json"});
  EXPECT_EQ(std::vector<std::string>({"\"26 d6 13\"", "\"" + response + "\""}),
            json_values(json.out, {"d['request']", "d['response']"}));
  // The session ends before the result: the library's closing line comes before it, not
  // after kav's last line (both streams into one pipe).
  const ProgramRun merged = run_command(
      {"/bin/sh", "-c", "exec \"$0\" send 26 d6 13 --port COM1 2>&1", built_program(kKav)});
  EXPECT_EQ(0, merged.status);
  EXPECT_LT(merged.out.find("Closing the Modem Connection.\n"), merged.out.find(response));
  EXPECT_TRUE(merged.out.ends_with(response + "\n")) << merged.out;
  // Longer than an NV packet: the 181-byte status record.
  const ProgramRun status = kav_com1({"send", "4b", "fa", "00", "00"});
  EXPECT_EQ(0, status.status) << status.err;
  EXPECT_EQ(181u * 3, status.out.size());
  EXPECT_EQ(0u, status.out.find("4b fa 00 00 06 "));
}

TEST_F(KavProgramTest, ModeAndResetMoveTheModemAcrossReEnumeration) {
  plug_in();
  expect_run(kav({"mode", "dl"}),
             "Mode changed: mode DL, COM5 (" + dir_.file("dev/ttyUSB4") + ")\n", 0);
  const ProgramRun dm = kav({"mode", "dm", "--json"});
  EXPECT_EQ(std::vector<std::string>({"true", "\"DM\"", "1"}),
            json_values(dm.out, {"d['ok']", "d['mode']", "d['com_port']"}));
  expect_run(kav({"reset", "-q"}), "DM\n", 0);
}

// On a fixed port the modem that re-enumerates under another COM number is followed there and
// the move is said: it did go to DL mode.
TEST_F(KavProgramTest, AFixedPortModeChangeSaysWhereTheModemWent) {
  plug_in();
  const ProgramRun run = kav_com1({"mode", "dl"});
  EXPECT_EQ("Mode changed: mode DL, COM5 (" + dir_.file("dev/ttyUSB4") + "); it left COM1\n",
            run.out)
      << run.err;
  EXPECT_EQ(0, run.status);
}

TEST_F(KavProgramTest, RestoreWritesBackExactlyTheChangedItem) {
  plug_in();
  ASSERT_EQ(0, kav_com1({"nv", "write", "5078", "--text", "Tarvell"}).status);
  ASSERT_EQ(0, kav_com1({"nv", "write", "5000", "--hex", "41"}).status);
  const std::string backup = dir_.file("backup.txt");
  expect_run(kav_com1({"nv", "backup", backup, "--ids", "5000-5001"}),
             "Saved 112 NV items of firmware 6290:1.2.3.0 to " + backup +
                 " (110 inactive, 0 unreadable).\n",
             0);
  const std::vector<std::string> lines = split_lines(read_file(backup));
  ASSERT_GE(lines.size(), 9u);
  EXPECT_EQ(std::string("imei ") + kImei, lines[5]);
  EXPECT_EQ(std::string("firmware ") + kFirmware, lines[8]);
  EXPECT_EQ("end 112", lines.back());
  const std::string saved = nv_store();

  expect_run(kav_com1({"nv", "write", "NV_PRODUCT_TAG_I", "--text", "Other", "-q"}),
             "4f 74 68 65 72\n", 0);
  ASSERT_NE(saved, nv_store());
  expect_run(kav_com1({"nv", "restore", backup}),
             "Restored NV_PRODUCT_TAG_I (5078): 4f 74 68 65 72 -> 54 61 72 76 65 6c 6c\n"
             "1 changed, 1 unchanged, 110 skipped, 0 failed.\n",
             0);
  EXPECT_EQ(saved, nv_store());
  const ProgramRun again = kav_com1({"nv", "restore", backup, "--json"});
  EXPECT_EQ(std::vector<std::string>({"true", "[]", "2"}),
            json_values(again.out, {"d['ok']", "d['changed']", "d['unchanged']"}));
  // A backup is never written over an existing file without --force.
  const ProgramRun refused = kav_com1({"nv", "backup", backup});
  EXPECT_EQ(2, refused.status);
  EXPECT_EQ("kav nv backup: " + backup + " exists: give --force to replace it\n", refused.err);
}

TEST_F(KavProgramTest, RestoreRefusesTheBackupOfAnotherModemUnlessForced) {
  ModemConfig first = quick_modem();
  first.nv_presets = {{5078, bytes_of("Tarvell")}};
  plug_in(first);
  const std::string backup = dir_.file("backup.txt");
  ASSERT_EQ(0, kav_com1({"nv", "backup", backup, "-q"}).status);
  modems_.clear();  // unplugged

  ModemConfig second = quick_modem();
  second.status.imei = "490154203237518";
  second.nv_file = dir_.file("second-nv.txt");
  second.nv_presets = {{5078, bytes_of("Zz")}};
  sim::Modem& other = plug_in(second);
  const ProgramRun refused = kav_com1({"nv", "restore", backup});
  EXPECT_EQ(1, refused.status);
  EXPECT_EQ("", refused.out);
  EXPECT_NE(std::string::npos,
            refused.err.find(std::string("\nkav nv restore: the backup is of IMEI ") + kImei +
                             ", the modem has 490154203237518: not restored without --force\n"))
      << refused.err;
  EXPECT_EQ('Z', (*other.nv().read(5078, 0))[0]);

  const ProgramRun forced = kav_com1({"nv", "restore", backup, "--force"});
  EXPECT_EQ(0, forced.status) << forced.err;
  EXPECT_EQ("Restored NV_PRODUCT_TAG_I (5078): 5a 7a -> 54 61 72 76 65 6c 6c",
            split_lines(forced.out).at(0));
  EXPECT_EQ('T', (*other.nv().read(5078, 0))[0]);
}

// A backup whose lines mean other items on the modem's firmware than they say is refused whole,
// before anything is written, with each line named.
TEST_F(KavProgramTest, RestoreRefusesLinesTheDatabaseDisagreesWith) {
  plug_in();
  const std::string backup = dir_.file("backup.txt");
  ASSERT_EQ(0, kav_com1({"nv", "backup", backup, "-q"}).status);
  std::string text;
  for (const std::string& line : split_lines(read_file(backup))) {
    if (line.compare(0, 5, "item ") != 0 && line.compare(0, 4, "end ") != 0) text += line + "\n";
  }
  const int first = static_cast<int>(split_lines(text).size()) + 1;
  const std::vector<std::pair<std::string, std::string>> lines = {
      {"item - 5000 - 41", ""},
      {"item NV_ACCOLC_I 5078 - 41",
       "item 5078 is NV_PRODUCT_TAG_I for firmware 6290:1.2.3.0, the backup says NV_ACCOLC_I"},
      {"item NV_NOSUCH_I 5001 - 41",
       "the NV item database has no item 5001 (NV_NOSUCH_I) for firmware 6290:1.2.3.0"},
      {"item NV_PRODUCT_TAG_I 5078 0 41",
       "NV_PRODUCT_TAG_I is no array item, the line gives index 0"},
      {"item NV_ACCOLC_I 37 - 01", "NV_ACCOLC_I is an array item, the line gives no index"},
      {"item NV_ACCOLC_I 37 2 01", "index 2 is beyond the 2 elements of NV_ACCOLC_I"},
  };
  std::string expected;
  for (size_t i = 0; i < lines.size(); ++i) {
    text += lines[i].first + "\n";
    if (!lines[i].second.empty()) {
      expected += "kav nv restore: " + backup + " line " + std::to_string(first + i) + ": " +
                  lines[i].second + "\n";
    }
  }
  write_file(backup, text + "end " + std::to_string(lines.size()) + "\n");
  const std::string before = nv_store();
  const ProgramRun run = kav_com1({"nv", "restore", backup});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_NE(std::string::npos, run.err.find(expected)) << run.err;
  EXPECT_TRUE(run.err.ends_with(
      "kav nv restore: 5 item lines disagree with the NV item database: nothing restored\n"))
      << run.err;
  EXPECT_EQ(before, nv_store());
}

// A restore cut short, by a stop signal or by the modem going away, still says each change it
// made and a summary, exits 1, and stops: the signal lets the item being written finish, a
// modem that is gone ends it at once.
TEST_F(KavProgramTest, AnInterruptedRestoreLeavesItsRecord) {
  constexpr int kItems = 40;
  const struct {
    sim::FaultKind fault;
    const char* why;
  } cases[] = {{sim::FaultKind::Delay, "stopped by SIGTERM after "},
               {sim::FaultKind::Unplug, "the modem went away after 1 of 40 items"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    modems_.clear();
    ModemConfig config = quick_modem();
    config.nv_file = dir_.file(std::string("nv-") + (c.fault == sim::FaultKind::Delay ? "a" : "b"));
    sim::Modem& modem = plug_in(config);
    const std::string backup = dir_.file("backup.txt");
    std::remove(backup.c_str());
    ASSERT_EQ(0, kav_com1({"nv", "backup", backup, "-q"}).status);
    std::string text;
    for (const std::string& line : split_lines(read_file(backup))) {
      if (line.compare(0, 5, "item ") != 0 && line.compare(0, 4, "end ") != 0) text += line + "\n";
    }
    for (int i = 0; i < kItems; ++i) text += "item - " + std::to_string(6000 + i) + " - 41\n";
    text += "end " + std::to_string(kItems) + "\n";
    write_file(backup, text);
    modem.add_fault({.kind = c.fault, .command = 0x27, .count = -1, .delay_ms = 150});

    std::vector<std::string> args = {
        built_program(kKav), "nv", "restore", backup, "--port", "COM1"};
    const ProgramRun run = run_command_signalled(args, "Restored ", SIGTERM);
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.why)) << run.err;
    const std::vector<std::string> lines = split_lines(run.out);
    ASSERT_FALSE(lines.empty());
    const size_t changed = lines.size() - 1;
    EXPECT_EQ(std::to_string(changed) + " changed, 0 unchanged, 0 skipped, " +
                  (changed == 0 ? "1" : "0") + " failed.",
              lines.back());
    EXPECT_LT(changed, static_cast<size_t>(kItems));
    EXPECT_LT(run.elapsed, std::chrono::seconds(10));
    if (c.fault == sim::FaultKind::Delay) {
      EXPECT_GE(changed, 1u);
      // The record matches the modem: the items said are written, the rest are not.
      EXPECT_TRUE(modem.nv().read(6000 + static_cast<int>(changed) - 1, 0).has_value());
      EXPECT_FALSE(modem.nv().read(6000 + static_cast<int>(changed), 0).has_value());
    }
  }
}

// A database that cannot be loaded (here a bad file that cannot be moved aside, as its
// .rejected name is a directory) is said to be unavailable, status 1, after one load: not taken
// for an unknown item, nor for a backup of nothing but --ids.
TEST_F(KavProgramTest, AnUnavailableDatabaseIsSaidSo) {
  plug_in();
  write_file_with_dirs(dir_.file("module/umts_kav_lib.nvi_db"), "not a database\n");
  write_file_with_dirs(dir_.file("module/umts_kav_lib.nvi_db.rejected/keep"), "");
  const std::vector<std::string> commands[] = {{"nv", "read", "NV_PRODUCT_TAG_I"},
                                               {"nv", "backup", dir_.file("b.txt")}};
  for (const auto& command : commands) {
    SCOPED_TRACE(command[1]);
    const ProgramRun run = kav_com1(command);
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos,
              run.err.find("kav nv " + command[1] + ": NV item database unavailable\n"))
        << run.err;
    size_t loads = 0;
    for (size_t at = 0;
         (at = run.err.find("Rejected existing nvi_db file.", at)) != std::string::npos; ++at) {
      ++loads;
    }
    EXPECT_EQ(1u, loads) << run.err;
  }
  EXPECT_FALSE(file_exists(dir_.file("b.txt")));
}

// With --json every usage error is also one document on standard output: "ok" false and, as
// "error", what kav says on standard error.
TEST_F(KavProgramTest, UsageErrorsWithJsonGiveAFailureDocument) {
  plug_in();
  const std::vector<std::string> cases[] = {
      {"nv", "read", "--bogus", "--json"},
      {"nv", "read", "--json"},
      {"nv", "read", "5078", "--port", "COM0", "--json"},
      {"nv", "write", "5078", "--hex", "0g", "--json", "--port", "COM1"},
      {"nv", "write", "NV_FOO_I", "--text", "x", "--json", "--port", "COM1"},
      {"bogus", "--json"},
      {"nv", "bogus", "--json"},
  };
  for (const auto& args : cases) {
    std::string trace;
    for (const std::string& arg : args) trace += arg + " ";
    SCOPED_TRACE(trace);
    const ProgramRun run = kav(args);
    EXPECT_EQ(2, run.status);
    write_file(dir_.file("err.txt"), run.err);
    EXPECT_EQ(std::vector<std::string>({"false", "true"}),
              json_values(run.out, {"d['ok']", "d['error'] != '' and d['error'] in open('" +
                                                   dir_.file("err.txt") + "').read()"}));
  }
}

// Each bad input: exit status 2 (1 for the read-only item), nothing on standard output, and
// one line of kav's own naming the problem on standard error (the only line at all when kav
// stops before connecting; else among the library's messages).
TEST_F(KavProgramTest, BadInputIsNamedInOneLine) {
  plug_in();
  write_file(dir_.file("bad-backup.txt"),
             "kav-nv-backup 1\nimei 1\nmeid -\nmodel U370\nfirmware F\nitem NV_A_I 5 - 01\n"
             "item NV_B_I x - 01\n");
  write_file(dir_.file("not-a-backup.txt"), "hello\n");
  ASSERT_EQ(0, symlink(dir_.file("nowhere").c_str(), dir_.file("dangling").c_str()));
  const std::string too_long_hex(129 * 2, 'a');
  const std::string bytes_128(128 * 2, 'b');
  const struct {
    std::vector<std::string> args;
    int status;
    bool alone;
    std::string line;
  } cases[] = {
      {{"nv", "read", "NV_FOO_I", "--port", "COM1"},
       2,
       false,
       "kav nv read: unknown NV item \"NV_FOO_I\" for firmware 6290:1.2.3.0"},
      {{"nv", "write", "1", "--hex", "01", "0g"},
       2,
       true,
       "kav nv write: --hex: \"0g\" is not hexadecimal bytes (two digits per byte, as in 0a 1b)"},
      {{"nv", "write", "1", "--hex", too_long_hex},
       2,
       true,
       "kav nv write: the value is 129 bytes; an NV item holds at most 128"},
      {{"nv", "write", "1", "--text", std::string(128, 'x')},
       2,
       true,
       "kav nv write: the value is 129 bytes; an NV item holds at most 128"},
      {{"nv", "write", "NV_ACCOLC_I", "--hex", bytes_128, "--port", "COM1"},
       2,
       false,
       "kav nv write: the value is 128 bytes; an element of NV_ACCOLC_I holds at most 127"},
      {{"nv", "write", "1", "--text", "a", "--hex", "01"},
       2,
       true,
       "kav nv write: give the value with either --text TEXT or --hex BYTES"},
      {{"nv", "read", "NV_PRODUCT_TAG_I", "--index", "1", "--port", "COM1"},
       2,
       false,
       "kav nv read: NV_PRODUCT_TAG_I is no array item: --index does not apply"},
      {{"nv", "read", "NV_ACCOLC_I", "--index", "2", "--port", "COM1"},
       2,
       false,
       "kav nv read: --index 2 is beyond the 2 elements of NV_ACCOLC_I"},
      {{"nv", "restore", dir_.file("bad-backup.txt")},
       2,
       true,
       "kav nv restore: " + dir_.file("bad-backup.txt") + " line 7: id \"x\" is not 0..65535"},
      {{"nv", "restore", dir_.file("not-a-backup.txt")},
       2,
       true,
       "kav nv restore: " + dir_.file("not-a-backup.txt") +
           " line 1: not a kav NV backup (it starts \"kav-nv-backup 2\")"},
      {{"nv", "backup", "b.txt", "--ids", "9-3"},
       2,
       true,
       "kav nv backup: --ids 9-3: not a range A-B of ids from 0 to 65535, A <= B"},
      // The backup's destination is checked before the modem is read.
      {{"nv", "backup", dir_.file("dangling"), "--port", "COM1"},
       2,
       true,
       "kav nv backup: " + dir_.file("dangling") + " exists: give --force to replace it"},
      {{"nv", "backup", dir_.file("missing/b.txt"), "--port", "COM1"},
       2,
       true,
       "kav nv backup: cannot write in " + dir_.file("missing") + ": No such file or directory"},
      {{"nv", "backup", dir_.file("not-a-backup.txt/b.txt"), "--port", "COM1"},
       2,
       true,
       "kav nv backup: cannot write in " + dir_.file("not-a-backup.txt") + ": Not a directory"},
      {{"nv", "backup", "", "--port", "COM1"}, 2, true, "kav nv backup: no file name in \"\""},
      {{"send", "4b", "zz"},
       2,
       true,
       "kav send: \"zz\" is not hexadecimal bytes (two digits per byte, as in 0a 1b)"},
      {{"mode", "up"}, 2, true, "kav mode: the mode is dm or dl, not \"up\""},
      {{"info", "--port", "COM0"},
       2,
       true,
       "kav info: --port COM0: not COM<n>, /dev/ttyUSB<k>, /dev/ttyACM<k> or /dev/wwan<n>qcdm<m>"},
      {{"info", "--port", "COM480"},  // between the ttyACM and the PCIe ranges
       2,
       true,
       "kav info: --port COM480: not COM<n>, /dev/ttyUSB<k>, /dev/ttyACM<k> or "
       "/dev/wwan<n>qcdm<m>"},
      {{"info", "--bogus"}, 2, true, "kav info: unknown option \"--bogus\""},
      {{"nv", "bogus"}, 2, false, "kav nv: unknown subcommand \"bogus\""},
      {{"frobnicate"}, 2, true, "kav: unknown command \"frobnicate\"; kav --help lists them"},
      {{"nv", "write", "5597", "--hex", "01", "--port", "COM1"},
       1,
       false,
       "kav nv write: item 5597 is read-only: not written"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const ProgramRun run = kav(c.args);
    EXPECT_EQ(c.status, run.status);
    EXPECT_EQ("", run.out);
    const std::vector<std::string> err = split_lines(run.err);
    std::vector<std::string> own;  // kav's lines among the library's messages
    for (const std::string& line : err) {
      if (line.rfind("kav", 0) == 0) own.push_back(line);
    }
    EXPECT_EQ(std::vector<std::string>{c.line}, own) << run.err;
    if (c.alone) {
      EXPECT_EQ(1u, err.size()) << run.err;
    }
    if (c.status == 1) {  // the library's own refusal comes first
      EXPECT_NE(std::string::npos,
                run.err.find("Skipping write of read-only NV item (item 5597)\n"));
    }
  }
}

// A database with two firmware entries; line 1 is its digest.
const char kDbBody[] =
    "NVI_DB_VERSION: 5\n"
    "2,2,1,3\n"
    "9X15:1.0.0.0,0,0,9X15:1.1.0.0,1,0,\n"
    "NV_ALPHA_I,10,10,1,\n"
    "NV_BETA_I,20,-1,1,\n"
    "NV_GAMMA_I,30,31,4,\n";

// kav nvdb sign run by a user in a directory anyone may write: a write-protected file, or one
// of another user's, is neither replaced nor handed to the user.
TEST_F(KavProgramTest, NvdbSignLeavesProtectedAndOthersFilesAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "running kav as another user needs root";
  constexpr uid_t kUser = 4243;
  const struct {
    mode_t mode;
    uid_t owner;
    const char* why;
  } cases[] = {{0444, kUser, "is write-protected"},
               {0644, 0, "is write-protected"},
               {0666, 0, "belongs to another user and would become yours"}};
  const std::string shared = dir_.file("shared");
  ASSERT_EQ(0, mkdir(shared.c_str(), 0777));
  ASSERT_EQ(0, chmod(shared.c_str(), 0777));  // writable by all, no sticky bit
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string db = shared + "/edit.nvi_db";
    write_file(db, kDbBody);
    ASSERT_EQ(0, chown(db.c_str(), c.owner, c.owner));
    ASSERT_EQ(0, chmod(db.c_str(), c.mode));
    const ProgramRun run = run_command({"/usr/bin/setpriv", "--reuid=4243", "--regid=4243",
                                        "--clear-groups", built_program(kKav), "nvdb", "sign", db});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("kav nvdb sign: " + db + " " + c.why + ": not signed\n", run.err);
    EXPECT_EQ(kDbBody, read_file(db));
    struct stat st {};
    ASSERT_EQ(0, stat(db.c_str(), &st));
    EXPECT_EQ(c.owner, st.st_uid);
    unlink(db.c_str());
  }
}

TEST_F(KavProgramTest, NvdbChecksSignsAndLists) {
  const std::string db = dir_.file("edit.nvi_db");
  // Written without a digest line; sign puts one on and keeps the file's mode.
  write_file(db, kDbBody);
  chmod(db.c_str(), 0640);
  expect_run(
      kav({"nvdb", "check", db}),
      db + ":1: the digest line holds 0 of the 16 \"%3d,\" numbers\n" + db + ": 1 problem.\n", 1);
  expect_run(kav({"nvdb", "sign", db}), "Signed " + db + ".\n", 0);
  struct stat st {};
  ASSERT_EQ(0, stat(db.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
  expect_run(kav({"nvdb", "check", db}), db + ": good: 2 firmware entries, 3 items.\n", 0);
  expect_run(kav({"nvdb", "list", db, "--firmware", "9X15:1.1.0.0"}),
             "9X15:1.1.0.0 (id map 1, array-size map 0): 2 items\n"
             "  NV_ALPHA_I                                  10     1\n"
             "  NV_GAMMA_I                                  31     4\n",
             0);
  const ProgramRun list = kav({"nvdb", "list", db, "--json"});
  EXPECT_EQ(std::vector<std::string>({"2", "\"NV_BETA_I\"", "20", "2"}),
            json_values(list.out,
                        {"len(d['firmware'])", "d['firmware'][0]['items'][1]['name']",
                         "d['firmware'][0]['items'][1]['id']", "len(d['firmware'][1]['items'])"}));

  // A hand edit that breaks the file in several places: every problem with its line.
  std::string text = read_file(db);
  const auto edit = [&](const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
  };
  edit("NV_BETA_I,20,", "NV_BETA_I,10,");        // id 10 twice in map 0
  edit("9X15:1.1.0.0,1,0", "9X15:1.1.0.0,2,0");  // no id map 2
  edit("NV_GAMMA_I", "NV_AAA_I");                // out of order
  text += "NV_ZETA_I,1,1,1,\n";                  // one item line more than counted
  write_file(db, text);
  const ProgramRun check = kav({"nvdb", "check", db});
  expect_run(check,
             db + ":1: the digest does not match lines 2 to the end\n" + db +
                 ":4: firmware entry 2 (9X15:1.1.0.0): map index missing or out of range\n" + db +
                 ":6: item NV_BETA_I: id 10 in map 0 is also that of line 5\n" + db +
                 ":7: item NV_AAA_I is not after NV_BETA_I (line 6): names must ascend\n" + db +
                 ":8: more item lines than the 3 counted\n" + db + ": 5 problems.\n",
             1);
  const ProgramRun json = kav({"nvdb", "check", db, "--json"});
  EXPECT_EQ(std::vector<std::string>({"false", "[1, 4, 6, 7, 8]"}),
            json_values(json.out, {"d['ok']", "[p['line'] for p in d['problems']]"}));
  // Signing does not hide the other problems: the file stays as it is.
  const ProgramRun sign = kav({"nvdb", "sign", db});
  EXPECT_EQ(2, sign.status);
  EXPECT_EQ("kav nvdb sign: " + db + " has 4 problems besides its digest: not signed",
            split_lines(sign.err).back());
  EXPECT_EQ(text, read_file(db));
  const ProgramRun list_bad = kav({"nvdb", "list", db, "--firmware", "none"});
  EXPECT_EQ(2, list_bad.status);
}

}  // namespace
}  // namespace kav::test
