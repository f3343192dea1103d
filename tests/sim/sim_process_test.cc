#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/sim/sim_fixture.h"

namespace kav::sim::test {
namespace {

std::string binary() {
  const char* dir = std::getenv("KAV_TEST_BINARY_DIR");
  return std::string(dir ? dir : ".") + "/sim/kav-modem-sim";
}

// Starts the simulator with its standard output in `out_file`.
pid_t launch(const std::vector<std::string>& args, const std::string& out_file) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out_file.c_str(), "w", stdout)) _exit(126);
    std::vector<char*> argv;
    std::string path = binary();
    argv.push_back(path.data());
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

bool wait_for_file(const std::string& path, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (kav::test::file_exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int stop(pid_t pid, int sig) {
  kill(pid, sig);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// The exit status of `pid` once it ends; -1 when it still runs after `ms` (it is then killed).
int exit_status_within(pid_t pid, int ms) {
  int status = 0;
  for (int waited = 0; waited < ms; waited += 10) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop(pid, SIGKILL);
  return -1;
}

TEST(SimProcessTest, PrintsPortsServesAndCleansUpOnSigterm) {
  kav::test::TempDir dir;
  const std::string root = dir.path() + "/root";  // created by the simulator
  const pid_t pid = launch({"--root", root}, dir.file("out.txt"));
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_for_file(root + "/.ready", 5000));
  const auto lines = kav::test::split_lines(kav::test::read_file(dir.file("out.txt")));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(0u, lines[0].find("COM1 " + root + "/dev/ttyUSB0 -> /dev/pts/"));
  EXPECT_NE(std::string::npos, lines[0].find(" (DM)"));
  EXPECT_EQ(0u, lines[1].find("COM2 " + root + "/dev/ttyUSB1 -> /dev/pts/"));
  {
    RawClient dm(root + "/dev/ttyUSB0");
    EXPECT_EQ((std::vector<uint8_t>{0x13, 0x06}), dm.ask({0x06}));
    ASSERT_TRUE(dm.ask(bytes_of(nv_request(0x27, 5078, {'T'}))));
  }
  const int status = stop(pid, SIGTERM);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(std::vector<std::string>{"kav-modem-sim-nv.txt"}, kav::test::list_dir(root));

  // A second run sees the first run's write; SIGINT ends it the same way.
  const pid_t again = launch({"--root", root, "--set", "dm_tty=3", "--set", "at_interface=-1"},
                             dir.file("out2.txt"));
  ASSERT_TRUE(wait_for_file(root + "/.ready", 5000));
  EXPECT_EQ(1u, kav::test::split_lines(kav::test::read_file(dir.file("out2.txt"))).size());
  {
    RawClient dm(root + "/dev/ttyUSB3");
    const NvItemPacket answer = packet_of(*dm.ask(bytes_of(nv_request(0x26, 5078))));
    EXPECT_EQ(0, answer.nv_stat);
    EXPECT_EQ('T', answer.data[0]);
  }
  EXPECT_EQ(0, WEXITSTATUS(stop(again, SIGINT)));
  EXPECT_EQ(std::vector<std::string>{"kav-modem-sim-nv.txt"}, kav::test::list_dir(root));
}

TEST(SimProcessTest, RejectsABadCommandLine) {
  kav::test::TempDir dir;
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"--set", "colour=red", "--root", dir.path()}, 2},
      {{}, 2},  // no root
      {{"--set", "dm_tty=999999", "--root", dir.path()}, 2},
      {{"--set", "vid=0x1FFFFF", "--root", dir.path()}, 2},
      {{"--set", "fault=delay delay=-5", "--root", dir.path()}, 2},
      {{"--trace", dir.file("no-dir/trace.txt"), "--root", dir.path()}, 1},
  };
  for (const auto& c : cases) {
    const pid_t pid = launch(c.args, dir.file("out.txt"));
    EXPECT_EQ(c.status, exit_status_within(pid, 5000)) << (c.args.empty() ? "" : c.args[1]);
    EXPECT_EQ(std::vector<std::string>{"out.txt"}, kav::test::list_dir(dir.path()));
  }
}

// Waits until the run writing `out_file` has printed its `lines` port lines and made .ready.
bool wait_until_up(const std::string& root, const std::string& out_file, size_t lines) {
  for (int waited = 0; waited < 5000; waited += 10) {
    if (kav::test::split_lines(kav::test::read_file(out_file)).size() == lines) {
      return wait_for_file(root + "/.ready", 5000);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(SimProcessTest, TakesOverTheRootOfAKilledRunAndRefusesALiveOne) {
  kav::test::TempDir dir;
  const std::string root = dir.path() + "/root";
  const pid_t killed = launch({"--root", root}, dir.file("out1.txt"));
  ASSERT_TRUE(wait_until_up(root, dir.file("out1.txt"), 2));
  stop(killed, SIGKILL);  // leaves .ready and every device entry behind

  const pid_t again = launch({"--root", root}, dir.file("out2.txt"));
  ASSERT_TRUE(wait_until_up(root, dir.file("out2.txt"), 2));
  {
    RawClient dm(root + "/dev/ttyUSB0");
    EXPECT_EQ((std::vector<uint8_t>{0x13, 0x06}), dm.ask({0x06}));
  }
  const pid_t second = launch({"--root", root}, dir.file("out3.txt"));
  EXPECT_EQ(1, exit_status_within(second, 5000));
  EXPECT_TRUE(kav::test::file_exists(root + "/.ready")) << "the live run is left alone";

  EXPECT_EQ(0, WEXITSTATUS(stop(again, SIGHUP)));
  EXPECT_TRUE(kav::test::list_dir(root).empty());
}

TEST(SimProcessTest, FailsWhenItsOutputCannotBeWritten) {
  const pid_t pid = launch({"--help"}, "/dev/full");
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(1, WEXITSTATUS(status));
}

}  // namespace
}  // namespace kav::sim::test
