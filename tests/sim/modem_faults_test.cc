#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "tests/sim/sim_fixture.h"

namespace kav::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;
using ModemFaultsTest = SimTest;
using Clock = std::chrono::steady_clock;

const Bytes kRead = bytes_of(nv_request(0x26, 5078));

FaultSpec fault(FaultKind kind, int command = -1, int delay_ms = 0) {
  FaultSpec fault;
  fault.kind = kind;
  fault.command = command;
  fault.delay_ms = delay_ms;
  return fault;
}

TEST_F(ModemFaultsTest, NoAnswerOnlyForTheMatchingCommandAndCount) {
  Modem& modem = start();
  FaultSpec silent = fault(FaultKind::NoAnswer, 0x26);
  silent.count = 2;
  modem.add_fault(silent);
  auto dm = client();
  EXPECT_EQ((Bytes{0x13, 0x06}), dm->ask({0x06}));
  EXPECT_FALSE(dm->ask(kRead, 300));
  EXPECT_FALSE(dm->ask(kRead, 300));
  EXPECT_EQ(0x26, dm->ask(kRead)->at(0));
  EXPECT_EQ(0u, modem.faults().pending());
}

TEST_F(ModemFaultsTest, LateAnswerAndSplitFrame) {
  Modem& modem = start();
  modem.add_fault(fault(FaultKind::Delay, -1, 300));
  auto dm = client();
  auto begin = Clock::now();
  EXPECT_FALSE(dm->ask(kRead, 150));
  EXPECT_EQ(0x26, dm->next(1000)->at(0));
  EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(290));

  modem.add_fault(fault(FaultKind::Split, -1, 200));
  ASSERT_TRUE(dm->send(kRead));
  const Bytes first = dm->read_for(120);
  EXPECT_GT(first.size(), 10u);
  EXPECT_EQ(0u, std::count(first.begin(), first.end(), 0x7E));
  dm->keep(first);
  EXPECT_EQ(0x26, dm->next(1000)->at(0));
}

TEST_F(ModemFaultsTest, OtherAnswersComeBeforeTheRealOne) {
  Modem& modem = start();
  modem.add_fault(fault(FaultKind::StaleFirst, 0x26));
  auto dm = client();
  const NvItemPacket stale = packet_of(*dm->ask(kRead));
  EXPECT_EQ(0x26, stale.cmd_code);
  EXPECT_NE(5078, stale.item);
  EXPECT_EQ(0x10, dm->next()->at(0));
  EXPECT_EQ(5078, packet_of(*dm->next()).item);
}

TEST_F(ModemFaultsTest, GarbageAndBadFcsAreDroppedByTheSplitter) {
  Modem& modem = start();
  modem.add_fault(fault(FaultKind::Garbage));
  auto dm = client();
  EXPECT_EQ(5078, packet_of(*dm->ask(kRead)).item);
  EXPECT_EQ(1, dm->bad_frames());
  modem.add_fault(fault(FaultKind::BadFcs));
  EXPECT_FALSE(dm->ask(kRead, 300));
  EXPECT_EQ(2, dm->bad_frames());
  EXPECT_EQ(5078, packet_of(*dm->ask(kRead)).item);
}

TEST_F(ModemFaultsTest, EveryByteEscapedStillDecodes) {
  Modem& modem = start();
  modem.add_fault(fault(FaultKind::EscapeAll));
  auto dm = client();
  ASSERT_TRUE(dm->send({0x06}));
  // 13 06 and the two CRC bytes, each escaped, then the flag; waited for whole under load.
  const Bytes wire = dm->read_for(2000, 9);
  ASSERT_EQ(9u, wire.size());
  EXPECT_EQ((Bytes{0x7D, 0x33, 0x7D, 0x26}), Bytes(wire.begin(), wire.begin() + 4));
  RawClient decoder(root() + "/dev/ttyUSB0");
  modem.add_fault(fault(FaultKind::EscapeAll));
  EXPECT_EQ((Bytes{0x13, 0x06}), decoder.ask({0x06}));
}

TEST_F(ModemFaultsTest, ErrorRepliesReplaceTheAnswer) {
  Modem& modem = start();
  auto dm = client();
  const Bytes write = bytes_of(nv_request(0x27, 5078, {1}));
  for (auto [kind, code] :
       {std::pair{FaultKind::BadLength, 0x15}, std::pair{FaultKind::SecurityLocked, 0x42},
        std::pair{FaultKind::BadCommand, 0x13}}) {
    modem.add_fault(fault(kind, 0x27));
    const Bytes answer = *dm->ask(write);
    EXPECT_EQ(code, answer[0]);
    EXPECT_EQ(write, Bytes(answer.begin() + 1, answer.end()));
  }
  // None of the refused writes reached the store.
  EXPECT_EQ(5, packet_of(*dm->ask(kRead)).nv_stat);
}

TEST_F(ModemFaultsTest, UnplugInTheMiddleOfAnExchange) {
  Modem& modem = start();
  FaultSpec unplug = fault(FaultKind::Unplug, 0x26);
  unplug.return_ms = 200;
  unplug.return_other_tty = true;
  modem.add_fault(unplug);
  auto dm = client();
  EXPECT_FALSE(dm->ask(kRead, 500));
  EXPECT_TRUE(dm->hung_up());
  ASSERT_TRUE(modem.wait_returns(1, 3000));
  EXPECT_EQ(5, modem.dm_com());
  EXPECT_EQ(0x26, client()->ask(kRead)->at(0));

  unplug.return_ms = -1;
  modem.add_fault(unplug);
  EXPECT_FALSE(client()->ask(kRead, 300));
  EXPECT_TRUE(modem.wait_present(false, 1000));
  EXPECT_FALSE(modem.wait_returns(2, 400));
}

TEST_F(ModemFaultsTest, ScenarioTextConfiguresFaultsAndModems) {
  Scenario scenario;
  const std::string text =
      "root = /tmp/x\n"
      "trace = -\n"
      "[modem]\n"
      "pid = 0xA7E2\n"
      "dm_tty = 3\n"
      "zqdmat_answer = error\n"
      "status_subsystem = 50\n"
      "nv = 5078 54 61\n"
      "item_sizes = 5078:4, 550:16\n"
      "hangup_lead_ms = -100\n"
      "dm_port = acm\n"
      "udc = dummy_udc.1\n"
      "fault = unplug command=0x26 return=300 tty=other\n"
      "fault = delay delay=50 count=-1\n"
      "[modem]\n"
      "busport = 1-3\n";
  ASSERT_EQ("", parse_scenario(text, &scenario));
  EXPECT_EQ("/tmp/x", scenario.root);
  ASSERT_EQ(2u, scenario.modems.size());
  const ModemConfig& first = scenario.modems[0];
  EXPECT_EQ(3, first.dm_tty);
  EXPECT_EQ(AtAnswer::Error, first.zqdmat_answer);
  EXPECT_EQ(StatusSubsystem::Alternate, first.status_subsystem);
  ASSERT_EQ(2u, first.faults.size());
  EXPECT_EQ(FaultKind::Unplug, first.faults[0].kind);
  EXPECT_EQ(0x26, first.faults[0].command);
  EXPECT_TRUE(first.faults[0].return_other_tty);
  EXPECT_EQ(-1, first.faults[1].count);
  EXPECT_EQ((Bytes{0x54, 0x61}), first.nv_presets.at(0).second);
  EXPECT_EQ((std::map<uint16_t, size_t>{{5078, 4}, {550, 16}}), first.item_sizes);
  EXPECT_EQ(-100, first.hangup_lead_ms);
  EXPECT_TRUE(first.dm_acm);
  EXPECT_EQ("dummy_udc.1", first.udc);
  EXPECT_EQ("1-3", scenario.modems[1].busport);

  Scenario bad;
  EXPECT_EQ("line 2: unknown key: colour", parse_scenario("[modem]\ncolour = red\n", &bad));
  EXPECT_NE("", parse_scenario("[modem]\nfault = explode\n", &bad));
  EXPECT_NE("", parse_scenario("dm_tty = 1\n", &bad));
  EXPECT_NE("", parse_scenario("[modem]\ndm_tty = one\n", &bad));
  EXPECT_NE("", parse_scenario("[modem]\ndm_port = usb\n", &bad));
  for (const char* imei : {"12345", "3569380356438090", "35693803564380x"}) {
    EXPECT_NE("", parse_scenario(std::string("[modem]\nimei = ") + imei + "\n", &bad)) << imei;
  }
  EXPECT_EQ("", parse_scenario("[modem]\nimei = \n", &bad));  // no identity bytes
  for (const char* sizes : {"5078", "5078:0", "5078:129", "x:4"}) {
    EXPECT_NE("", parse_scenario(std::string("[modem]\nitem_sizes = ") + sizes + "\n", &bad))
        << sizes;
  }
}

}  // namespace
}  // namespace kav::sim::test
