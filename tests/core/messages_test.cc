// show_msg, the sink, the two numbered logs, their banners, line prefixes and comm-log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "lib/core/messages.h"
#include "tests/core/core_fixture.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// A time stamp as the logs print it: hours right-aligned in three, then mm:ss.uuuuuu.
const char* const kStamp = "[ 0-9]{2}[0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{6}";

// The lines of a log after its banner (the banner ends with the date line and a blank line).
std::vector<std::string> body_lines(const std::string& path) {
  std::vector<std::string> lines = split_lines(read_file(path));
  EXPECT_GE(lines.size(), 8u);
  return std::vector<std::string>(lines.begin() + std::min<size_t>(8, lines.size()), lines.end());
}

class MessagesTest : public CoreTest {};

TEST_F(MessagesTest, SinkGetsTheFinishedTextUnformattedAgain) {
  MessageCapture capture;
  show_msg("COM%d opened at %s\n", 12, "100% speed");
  show_msg(nullptr);
  show_msg("%s", "");
  EXPECT_THAT(capture.messages(), ElementsAre("COM12 opened at 100% speed\n", "", ""));
}

TEST_F(MessagesTest, LongMessageIsDeliveredWholeAndTheBufferGrowsInSteps) {
  MessageCapture capture;
  const std::string long_text(300, 'x');
  show_msg("%s", long_text.c_str());
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0], long_text);
  EXPECT_EQ(message_buffer_capacity(), 384u);
  show_msg("%s", std::string(127, 'y').c_str());
  EXPECT_EQ(message_buffer_capacity(), 384u) << "the buffer never shrinks";
  EXPECT_EQ(capture.messages()[1], std::string(127, 'y'));
}

TEST_F(MessagesTest, ExactBufferBoundaryNeedsTheNextStep) {
  show_msg("%s", std::string(127, 'a').c_str());
  EXPECT_EQ(message_buffer_capacity(), 128u);
  show_msg("%s", std::string(128, 'a').c_str());
  EXPECT_EQ(message_buffer_capacity(), 256u);
}

TEST_F(MessagesTest, WithBothLogsOffNoFileIsCreated) {
  write_settings("\"Logging Directory\"=\"" + dir_.file("logs") + "\"");
  DllMain(1);
  MessageCapture capture;
  show_msg("only the sink\n");
  comm_log_record("TX", nullptr, 0);
  log_note_both("DBG: nothing\n");
  EXPECT_EQ(capture.text(), "only the sink\n");
  EXPECT_TRUE(list_dir(dir_.file("logs")).empty());
  DllMain(0);
}

TEST_F(MessagesTest, NewPairTakesTheNumberAboveBothStems) {
  const std::string logs = enable_logs();
  write_file_with_dirs(logs + "/umts_kav_lib_msg_log_003.txt", "");
  write_file(logs + "/umts_kav_lib_comm_log_007.txt", "");
  write_file(logs + "/umts_kav_lib_msg_log_12a.txt", "");  // not a number: ignored
  DllMain(1);
  EXPECT_EQ(message_log_name(), logs + "/umts_kav_lib_msg_log_008.txt");
  EXPECT_EQ(comm_log_name(), logs + "/umts_kav_lib_comm_log_008.txt");
  DllMain(0);
}

TEST_F(MessagesTest, NumberSearchRules) {
  const std::string logs = dir_.path() + "/";
  EXPECT_EQ(highest_log_number(logs, "umts_kav_lib_msg_log"), 0) << "no files at all";
  write_file(logs + "umts_kav_lib_msg_log_.txt", "");
  EXPECT_EQ(highest_log_number(logs, "umts_kav_lib_msg_log"), 0) << "an empty number counts 0";
  write_file(logs + "umts_kav_lib_msg_log_x9.txt", "");
  write_file(logs + "umts_kav_lib_msg_log_5.txt", "");
  write_file(logs + "umts_kav_lib_msg_log_0042.txt", "");
  EXPECT_EQ(highest_log_number(logs, "umts_kav_lib_msg_log"), 42);
  write_file(logs + "umts_kav_lib_msg_log_99999999999999999999.txt", "");
  EXPECT_GT(highest_log_number(logs, "umts_kav_lib_msg_log"), 42) << "huge numbers do not wrap";
  EXPECT_LT(highest_log_number(logs, "umts_kav_lib_msg_log"), 1'000'000'000);
  EXPECT_EQ(highest_log_number(logs + std::string(300, 'd') + "/", "umts_kav_lib_msg_log"), 0)
      << "a pattern longer than a path can be finds nothing";
}

TEST_F(MessagesTest, NumberAfter999HasFourDigits) {
  const std::string logs = enable_logs();
  write_file_with_dirs(logs + "/umts_kav_lib_msg_log_999.txt", "");
  DllMain(1);
  EXPECT_EQ(message_log_name(), logs + "/umts_kav_lib_msg_log_1000.txt");
  DllMain(0);
}

TEST_F(MessagesTest, BannerNamesTheVersionAndTheDate) {
  enable_logs();
  DllMain(1);
  const std::vector<std::string> lines = split_lines(read_file(message_log_name()));
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[0], "'UMTS Kavrin LIB 3.22'");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], std::string(94, '#'));
  EXPECT_EQ(lines[5], "");
  EXPECT_THAT(lines[6], MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
  DllMain(0);
}

TEST_F(MessagesTest, EveryLineStartGetsATimeStampAndContinuedLinesNone) {
  enable_logs();
  DllMain(1);
  show_msg("first\nsecond");
  show_msg(" continued\n");
  show_msg("carriage\rreturn\n");
  const std::vector<std::string> lines = body_lines(message_log_name());
  const std::string stamp = std::string(kStamp) + " ";
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_THAT(lines[0], MatchesRegex(stamp + "first"));
  EXPECT_THAT(lines[1], MatchesRegex(stamp + "second continued"));
  EXPECT_THAT(lines[2], MatchesRegex(stamp + "carriage\r" + stamp + "return"));
  DllMain(0);
}

TEST_F(MessagesTest, CommLogLinesCarryCountTagAndDump) {
  enable_logs();
  DllMain(1);
  const uint8_t bytes[] = {0x7E, 0x06, 0x4E};
  comm_log_record("TX", bytes, 3);
  comm_log_record("TX Attempted on NULL handle", bytes, -1);
  comm_log_record("RXTIMEOUT", nullptr, 0);
  comm_log_record("CLOSE", bytes, 0);
  const std::vector<std::string> lines = body_lines(comm_log_name());
  const std::string stamp(kStamp);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines[0], MatchesRegex(stamp + "    3 TX -- 7E 06 4E "));
  EXPECT_THAT(lines[1], MatchesRegex(stamp + "   -1 TX Attempted on NULL handle -- "));
  EXPECT_THAT(lines[2], MatchesRegex(stamp + "    0 RXTIMEOUT -- "));
  EXPECT_THAT(lines[3], MatchesRegex(stamp + "    0 CLOSE -- "));
  DllMain(0);
}

TEST_F(MessagesTest, NoteBothWritesBothFilesButNotTheSink) {
  enable_logs();
  DllMain(1);
  MessageCapture capture;
  log_note_both("DBG: one\nDBG: two\n");
  EXPECT_TRUE(capture.messages().empty());
  const std::string stamp = std::string(kStamp) + " ";
  EXPECT_THAT(body_lines(message_log_name()),
              ElementsAre(MatchesRegex(stamp + "DBG: one"), MatchesRegex(stamp + "DBG: two")));
  EXPECT_THAT(body_lines(comm_log_name()),
              ElementsAre(MatchesRegex(stamp + "DBG: one"), MatchesRegex(stamp + "DBG: two")));
  DllMain(0);
}

TEST_F(MessagesTest, AWriteAfterDetachOpensTheNextPair) {
  const std::string logs = enable_logs();
  DllMain(1);
  EXPECT_EQ(message_log_name(), logs + "/umts_kav_lib_msg_log_001.txt");
  DllMain(0);
  comm_log_record("LATE", nullptr, 0);  // logging is still wanted: a new pair opens
  EXPECT_EQ(comm_log_name(), logs + "/umts_kav_lib_comm_log_002.txt");
  EXPECT_EQ(message_log_name(), logs + "/umts_kav_lib_msg_log_002.txt");
  EXPECT_THAT(read_file(comm_log_name()), HasSubstr("    0 LATE -- "));
  close_log_files();
}

TEST_F(MessagesTest, APlantedNameIsNeverOpenedAndSpentNumbersLeaveTheLogOff) {
  const std::string logs = enable_logs();
  const std::string victim = dir_.file("victim");
  write_file(victim, "precious");
  ASSERT_EQ(0, mkdir(logs.c_str(), 0755));
  ASSERT_EQ(0, symlink(victim.c_str(), (logs + "/umts_kav_lib_msg_log_100000000.txt").c_str()));
  ASSERT_EQ(0, symlink(victim.c_str(), (logs + "/umts_kav_lib_comm_log_100000000.txt").c_str()));
  ::testing::internal::CaptureStderr();
  DllMain(1);
  show_msg("more\n");
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(read_file(victim), "precious");
  EXPECT_FALSE(message_log_open());
  EXPECT_FALSE(comm_log_open());
  EXPECT_EQ(said,
            "ERROR: umts_kav_lib: no log number is left for \"umts_kav_lib_msg_log\" and "
            "\"umts_kav_lib_comm_log\" in \"" +
                logs + "/\"; running without those logs.\n")
      << "said once, naming both";
  DllMain(0);
  // The library's own opener never follows a link either.
  EXPECT_EQ(open_with_dirs(logs + "/umts_kav_lib_msg_log_100000000.txt", "w"), nullptr);
  EXPECT_EQ(read_file(victim), "precious");
}

// Said once on standard error, and tried once: later messages do not try the directory again
// (each try said "Make directory failed" through the sink).
TEST_F(MessagesTest, ALoggingDirectoryThatCannotBeMadeOrWrittenIsSaidOnceOnStandardError) {
  write_file(dir_.file("plain"), "a file, not a directory");
  for (const char* logs : {"plain", "plain/logs"}) {
    enable_logs(logs);
    MessageCapture capture;
    ::testing::internal::CaptureStderr();
    DllMain(1);
    for (int i = 0; i < 20; ++i) {
      show_msg("one\n");
      comm_log_record("TWO", nullptr, 0);
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "ERROR: umts_kav_lib: logging directory \"" + dir_.file(logs) +
                        "\" cannot be made or written (Not a directory); running without logs.\n");
    EXPECT_FALSE(message_log_open());
    const std::vector<std::string> messages = capture.messages();
    EXPECT_LE(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.starts_with("ERROR"); }),
              1);
    DllMain(0);
  }
}

// Logs carry the modem's identity: a logging directory planted as a link, or one of another
// user, gets no log, and one line says why.
TEST_F(MessagesTest, ALoggingDirectoryOfAnotherUserOrALinkGetsNoLogs) {
  const struct {
    const char* logs;
    uid_t owner;  // of the directory; 0 keeps the caller's
    const char* why;
  } cases[] = {{"link", 0, "is a symbolic link"}, {"foreign", 4242, "belongs to another user"}};
  const std::string elsewhere = dir_.file("elsewhere");
  ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0777));
  ASSERT_EQ(0, symlink(elsewhere.c_str(), dir_.file("link").c_str()));
  ASSERT_EQ(0, mkdir(dir_.file("foreign").c_str(), 0777));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logs);
    if (c.owner != 0 && geteuid() != 0) continue;  // only root hands a directory over
    ASSERT_EQ(0, c.owner != 0 ? chown(dir_.file(c.logs).c_str(), c.owner, c.owner) : 0);
    enable_logs(c.logs);
    ::testing::internal::CaptureStderr();
    DllMain(1);
    show_msg("IMEI 490154203237518\n");
    comm_log_record("TWO", nullptr, 0);
    show_msg("three\n");
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "ERROR: umts_kav_lib: logging directory \"" + dir_.file(c.logs) + "\" " +
                        c.why + "; running without logs.\n");
    EXPECT_FALSE(message_log_open());
    EXPECT_FALSE(comm_log_open());
    DllMain(0);
    EXPECT_TRUE(list_dir(dir_.file(c.logs)).empty());
  }
}

TEST_F(MessagesTest, TimestampFormat) {
  EXPECT_THAT(log_timestamp(), MatchesRegex(kStamp));
}

TEST_F(MessagesTest, MessagesFromManyThreadsNeverInterleave) {
  enable_logs();
  DllMain(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) show_msg("thread %d message %d end\n", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::string> lines = body_lines(message_log_name());
  ASSERT_EQ(lines.size(), 800u);
  for (const std::string& line : lines) {
    EXPECT_THAT(line, MatchesRegex(std::string(kStamp) + " thread [0-3] message [0-9]+ end"));
  }
  DllMain(0);
}

}  // namespace
}  // namespace kav::test
