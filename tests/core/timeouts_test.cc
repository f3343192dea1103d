// The time-outs: defaults, the version gate and reading the time-outs file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/platform/ini.h"
#include "tests/core/core_fixture.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::test {
namespace {

using ::testing::HasSubstr;

class TimeoutsTest : public CoreTest {
 protected:
  void write_ini(const std::string& body) {
    write_file_with_dirs(dir_.file("module/umts_kav_lib_timeouts.ini"), "[general]\n" + body);
  }
  std::vector<std::string> timeout_lines() {
    std::vector<std::string> found;
    for (const std::string& line : split_lines(read_file(comm_log_name()))) {
      if (line.rfind("Timeout value ", 0) == 0) found.push_back(line);
    }
    return found;
  }
};

TEST_F(TimeoutsTest, DefaultsAreInForceAtStart) {
  EXPECT_EQ(timeout(Timeout::PROBE_RESPONSE_WAIT), 2000);
  EXPECT_EQ(timeout(Timeout::FAST_PROBE_RESPONSE_WAIT), 500);
  EXPECT_EQ(timeout(Timeout::PROG_RESPONSE_WAIT), 120000);
  EXPECT_EQ(timeout(Timeout::NRL_MAX_WINDOW_SIZE), 32);
  EXPECT_EQ(timeout(Timeout::MAX_WAIT_FOR_PRE_REENUMERATION_RESPONSE), 7);
  EXPECT_EQ(timeout(Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL), 10000);
  EXPECT_EQ(timeout(Timeout::ZQUMTSKAVCONNECT_TEASER_DELAY), 4000);
  EXPECT_STREQ(timeout_name(Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN),
               "MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN");
}

TEST_F(TimeoutsTest, VersionGateWantsAPositiveFourthNumber) {
  EXPECT_FALSE(timeouts_file_used("3.22"));
  EXPECT_FALSE(timeouts_file_used("3.22.1"));
  EXPECT_FALSE(timeouts_file_used("3.22.1.0"));
  EXPECT_FALSE(timeouts_file_used("3.22.1.-4"));
  EXPECT_TRUE(timeouts_file_used("3.22.1.7"));
  EXPECT_TRUE(timeouts_file_used("3 22\r1\n2"));
  EXPECT_FALSE(timeouts_file_used(""));
  EXPECT_FALSE(timeouts_file_used(nullptr));
  EXPECT_FALSE(timeouts_file_used(std::string(300, '.').c_str()));
}

TEST_F(TimeoutsTest, TheLibraryVersionNeverReadsTheFile) {
  enable_logs();
  write_ini("RESPONSE_WAIT=1\nPOST_OPEN_DELAY=2\n");
  DllMain(1);
  EXPECT_EQ(timeout(Timeout::RESPONSE_WAIT), 2000);
  EXPECT_EQ(timeout(Timeout::POST_OPEN_DELAY), 4000);
  EXPECT_TRUE(timeout_lines().empty());
  DllMain(0);
}

TEST_F(TimeoutsTest, FourNumberVersionReadsAndLogsEveryKeyInOrder) {
  enable_logs();
  write_ini(
      "response_wait = 1500ms\n"
      "PROBE_RESPONSE_WAIT=abc\n"
      "FAST_PROBE_RESPONSE_WAIT=-300\n"
      "EXTENDED_PROBE_RESPONSE_WAIT=777\n"
      "MODE_CHANGE_WAIT=99999999999999\n"
      "[OTHER]\nOFFLINE_WAIT=5\n");
  DllMain(1);
  reset_timeouts();  // forget the decision that attach made for "3.22"
  load_timeouts("3.22.0.1");
  EXPECT_EQ(timeout(Timeout::RESPONSE_WAIT), 1500);
  EXPECT_EQ(timeout(Timeout::PROBE_RESPONSE_WAIT), 2000) << "a value starting with a letter";
  EXPECT_EQ(timeout(Timeout::FAST_PROBE_RESPONSE_WAIT), 500) << "a value starting with a minus";
  EXPECT_EQ(timeout(Timeout::EXTENDED_PROBE_RESPONSE_WAIT), 777);
  EXPECT_EQ(timeout(Timeout::MODE_CHANGE_WAIT), INT32_MAX) << "held, not wrapped";
  EXPECT_EQ(timeout(Timeout::OFFLINE_WAIT), 10000) << "keys of other sections are not read";
  const std::vector<std::string> lines = timeout_lines();
  ASSERT_EQ(lines.size(), 28u);
  EXPECT_EQ(lines[0], "Timeout value EXTENDED_PROBE_RESPONSE_WAIT = 777");
  EXPECT_EQ(lines[1], "Timeout value PROBE_RESPONSE_WAIT = 2000");
  EXPECT_EQ(lines[2], "Timeout value FAST_PROBE_RESPONSE_WAIT = 500");
  EXPECT_EQ(lines[3], "Timeout value EXTENDED_PROBE_RESPONSE_WAIT = 777");
  EXPECT_EQ(lines[6], "Timeout value RESPONSE_WAIT = 1500");
  EXPECT_EQ(lines[27], "Timeout value ZQUMTSKAVCONNECT_TEASER_DELAY = 4000");
  DllMain(0);
}

TEST_F(TimeoutsTest, MissingFileLeavesDefaultsAndStillLogsThem) {
  enable_logs();
  DllMain(1);
  reset_timeouts();
  load_timeouts("1.2.3.4");
  const std::vector<std::string> lines = timeout_lines();
  ASSERT_EQ(lines.size(), 28u);
  EXPECT_EQ(lines[15], "Timeout value POST_OPEN_DELAY = 4000");
  DllMain(0);
}

// A time-outs file that is a FIFO or too large is refused unread, with its path named; the
// defaults stay and are logged.
TEST_F(TimeoutsTest, FileThatIsNoRegularFileOrTooLargeIsRefused) {
  const std::string path = dir_.file("module/umts_kav_lib_timeouts.ini");
  std::filesystem::create_directories(dir_.file("module"));
  enable_logs();
  DllMain(1);
  for (const bool fifo : {true, false}) {
    std::filesystem::remove(path);
    if (fifo) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    } else {
      write_ini("PROBE_RESPONSE_WAIT=5\n");
      ASSERT_EQ(truncate(path.c_str(), platform::kMaxProfileFileBytes + 1), 0);
    }
    reset_timeouts();
    ::testing::internal::CaptureStderr();
    alarm(10);
    load_timeouts("1.2.3.4");
    alarm(0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("time-outs file \"" + path + "\" cannot be read"));
    EXPECT_THAT(err, HasSubstr(fifo ? "not a regular file" : "too large"));
    EXPECT_EQ(timeout(Timeout::PROBE_RESPONSE_WAIT), 2000);
  }
  EXPECT_EQ(timeout_lines().size(), 56u);
  DllMain(0);
}

TEST_F(TimeoutsTest, SetValuesAreSeenEverywhereAndResetRestoresDefaults) {
  set_timeout(Timeout::RESPONSE_WAIT, 25);
  EXPECT_EQ(timeout(Timeout::RESPONSE_WAIT), 25);
  reset_timeouts();
  EXPECT_EQ(timeout(Timeout::RESPONSE_WAIT), 2000);
}

// The example file shipped with the documentation names every key, each with its default.
TEST(TimeoutsExample, ListsEveryKeyWithItsDefault) {
  const std::string example = KAV_SOURCE_DIR "/doc/examples/umts_kav_lib_timeouts.ini";
  for (int i = 0; i < static_cast<int>(Timeout::kCount); ++i) {
    const Timeout key = static_cast<Timeout>(i);
    int error = 0;
    const std::string value = platform::get_private_profile_string("GENERAL", timeout_name(key),
                                                                   "missing", 32, example, &error);
    ASSERT_EQ(error, 0) << example;
    EXPECT_EQ(value, std::to_string(timeout_default(key))) << timeout_name(key);
  }
}

}  // namespace
}  // namespace kav::test
