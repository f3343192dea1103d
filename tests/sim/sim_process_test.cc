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
  const pid_t pid = launch({"--set", "colour=red", "--root", dir.path()}, dir.file("out.txt"));
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(2, WEXITSTATUS(status));
  const pid_t no_root = launch({}, dir.file("out.txt"));
  waitpid(no_root, &status, 0);
  EXPECT_EQ(2, WEXITSTATUS(status));
  EXPECT_FALSE(kav::test::file_exists(dir.file(".ready")));
}

TEST(SimProcessTest, FailsWhenItsOutputCannotBeWritten) {
  const pid_t pid = launch({"--help"}, "/dev/full");
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(1, WEXITSTATUS(status));
}

}  // namespace
}  // namespace kav::sim::test
