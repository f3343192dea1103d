// Attach and detach, the registry settings, the logging directory and open_with_dirs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "lib/core/messages.h"
#include "lib/discovery/monitors.h"
#include "lib/platform/registry.h"
#include "tests/core/core_fixture.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

platform::RegValue query(const char* name) {
  platform::RegValue value;
  EXPECT_EQ(platform::user_hive().query_value(kSettingsKey, name, &value), 0) << name;
  return value;
}

uint32_t dword_of(const platform::RegValue& value) {
  uint32_t dword = 0xDEADBEEF;
  if (value.data.size() == 4) std::memcpy(&dword, value.data.data(), 4);
  return dword;
}

TEST_F(CoreTest, FirstAttachCreatesTheFourFlagsAtZeroAndNoLoggingDirectory) {
  ASSERT_FALSE(file_exists(registry_file()));
  EXPECT_EQ(DllMain(1), 1);
  for (const char* name : {"Message Logging", "Comm Logging", "Purge Successful Msg Log",
                           "Purge Successful Comm Log"}) {
    const platform::RegValue value = query(name);
    EXPECT_EQ(value.type, platform::kRegDword) << name;
    EXPECT_EQ(dword_of(value), 0u) << name;
  }
  platform::RegValue directory;
  EXPECT_NE(platform::user_hive().query_value(kSettingsKey, "Logging Directory", &directory), 0);
  EXPECT_THAT(read_file(registry_file()), Not(HasSubstr("Logging Directory")));
  EXPECT_FALSE(message_logging());
  EXPECT_FALSE(comm_logging());
  EXPECT_EQ(DllMain(0), 1);
}

TEST_F(CoreTest, TextValueOneCountsAsOffAndIsReplacedByDwordZero) {
  write_settings(
      "\"Message Logging\"=\"1\"\r\n\"Comm Logging\"=dword:00000002\r\n"
      "\"Purge Successful Msg Log\"=hex:01,02\r\n"
      "\"Logging Directory\"=\"" +
      dir_.file("logs") + "\"");
  ::testing::internal::CaptureStderr();
  DllMain(1);
  const std::string replaced = "; it is replaced by dword:00000000 and counts as off.\n";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ERROR: umts_kav_lib: settings file \"" + registry_file() +
                "\": value \"Message Logging\" is \"1\", not a dword" + replaced +
                "ERROR: umts_kav_lib: settings file \"" + registry_file() +
                "\": value \"Purge Successful Msg Log\" is hex:01,02, not a dword" + replaced);
  EXPECT_FALSE(message_logging());
  EXPECT_TRUE(comm_logging());
  const platform::RegValue value = query("Message Logging");
  EXPECT_EQ(value.type, platform::kRegDword);
  EXPECT_EQ(dword_of(value), 0u);
  EXPECT_EQ(dword_of(query("Comm Logging")), 2u) << "a set flag is left as the user wrote it";
  DllMain(0);
}

TEST_F(CoreTest, PurgeFlagsAreReadButChangeNothing) {
  write_settings("\"Purge Successful Msg Log\"=dword:00000001");
  DllMain(1);
  EXPECT_TRUE(purge_successful_msg_log());
  EXPECT_FALSE(purge_successful_comm_log());
  DllMain(0);
}

TEST_F(CoreTest, LoggingDirectoryGetsOneTrailingSeparator) {
  write_settings("\"Logging Directory\"=\"/var/tmp/kav\"");
  EXPECT_EQ(logging_directory(), "/var/tmp/kav/");
  write_settings("\"Logging Directory\"=\"/var/tmp/kav/\"");
  EXPECT_EQ(logging_directory(), "/var/tmp/kav/");
  write_settings("\"Logging Directory\"=\"\"");
  EXPECT_EQ(logging_directory(), "");
  write_settings("\"Logging Directory\"=dword:00000001");
  EXPECT_EQ(logging_directory(), "") << "a value that is not text is no directory";
}

TEST_F(CoreTest, LoggingDirectoryIsEmptyWithoutTheKey) {
  EXPECT_EQ(logging_directory(), "");
  EXPECT_FALSE(file_exists(registry_file())) << "reading the directory creates nothing";
}

TEST_F(CoreTest, OpenWithDirsCreatesThreeLevelsTopDown) {
  const std::string path = dir_.file("one/two/three/file.txt");
  std::FILE* file = open_with_dirs(path, "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_TRUE(file_exists(dir_.file("one/two/three/file.txt")));
  struct stat info {};
  ASSERT_EQ(stat(dir_.file("one/two").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(CoreTest, OpenWithDirsReportsTheLevelItCannotMake) {
  write_file(dir_.file("plain"), "not a directory");
  MessageCapture capture;
  EXPECT_EQ(open_with_dirs(dir_.file("plain/sub/file.txt"), "w"), nullptr);
  EXPECT_EQ(capture.text(),
            "ERROR: Make directory failed for \"" + dir_.file("plain/sub") + "\"\n");
}

TEST_F(CoreTest, InvalidReasonsAreRefusedOnStandardError) {
  for (uint32_t reason : {2u, 3u}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(DllMain(reason), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ERROR: umts_kav_lib:DllMain invalid ul_reason_for_call (" + std::to_string(reason) +
                  ").\n");
  }
  EXPECT_FALSE(file_exists(registry_file())) << "an invalid reason does nothing else";
}

TEST_F(CoreTest, UnparsableSettingsFileIsReportedAndLeftAsItWas) {
  const std::string garbage = "this is not a registry export\n[unterminated\n\"x\"=what:ever\n";
  write_file(registry_file(), garbage);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(DllMain(1), 1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr(registry_file()));
  EXPECT_THAT(err, HasSubstr("cannot be read"));
  EXPECT_EQ(read_file(registry_file()), garbage);
  EXPECT_FALSE(message_logging());
  MessageCapture capture;  // the library goes on working without logs
  show_msg("still %s\n", "here");
  EXPECT_EQ(capture.text(), "still here\n");
  DllMain(0);
  EXPECT_EQ(read_file(registry_file()), garbage);
}

// A settings path that is a device or a FIFO is refused at once and a planted lock link is
// not followed; either is said on standard error, naming the path.
TEST_F(CoreTest, SettingsThatCannotBeUsedAreReportedWithTheirPath) {
  const std::string lock = registry_file() + ".lock";
  ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0600), 0);
  struct Case {
    std::string settings;
    std::function<void()> plant;
    std::string says;
  };
  const Case cases[] = {
      {"/dev/zero", [] {}, "\"/dev/zero\" cannot be read (/dev/zero: It is not a regular file)"},
      {dir_.file("fifo"), [] {}, "fifo: It is not a regular file)"},
      {registry_file(), [&] { ASSERT_EQ(symlink(dir_.file("victim").c_str(), lock.c_str()), 0); },
       "cannot be written (" + lock + ": the lock file is a symbolic link and is not followed)"},
  };
  for (const Case& c : cases) {
    ScopedEnv settings("UMTS_KAV_REGISTRY", c.settings);
    c.plant();
    ::testing::internal::CaptureStderr();
    alarm(10);
    EXPECT_EQ(DllMain(1), 1);
    alarm(0);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(c.says));
    EXPECT_FALSE(message_logging());
    DllMain(0);
  }
  EXPECT_FALSE(file_exists(dir_.file("victim")));
  EXPECT_FALSE(file_exists("/dev/zero.lock"));
}

TEST_F(CoreTest, AttachKeepsOtherKeysAndValuesOfTheSettingsFile) {
  write_file(registry_file(),
             "Windows Registry Editor Version 5.00\r\n\r\n"
             "[HKEY_CURRENT_USER\\SOFTWARE\\Other Vendor\\Tool]\r\n"
             "\"Blob\"=hex:01,02,03\r\n\"Name\"=\"value with \\\"quotes\\\"\"\r\n\r\n"
             "[HKEY_CURRENT_USER\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\r\n"
             "\"Custom\"=hex(2):41,00,00,00\r\n");
  DllMain(1);
  const std::string after = read_file(registry_file());
  EXPECT_THAT(after, HasSubstr("\"Blob\"=hex:01,02,03"));
  EXPECT_THAT(after, HasSubstr("\"Name\"=\"value with \\\"quotes\\\"\""));
  EXPECT_THAT(after, HasSubstr("\"Custom\"=hex(2):41,00,00,00"));
  EXPECT_THAT(after, HasSubstr("\"Comm Logging\"=dword:00000000"));
  DllMain(0);
}

TEST_F(CoreTest, DetachClearsTheSinkAndClosesTheLogs) {
  enable_logs();
  DllMain(1);
  ASSERT_TRUE(message_log_open());
  ASSERT_TRUE(comm_log_open());
  MessageCapture capture;
  DllMain(0);
  EXPECT_FALSE(message_log_open());
  EXPECT_FALSE(comm_log_open());
  show_msg("after detach\n");
  EXPECT_TRUE(capture.messages().empty()) << "detach removes the host's sink";
}

TEST_F(CoreTest, ExitRoutineStopsTheThreadsWithoutOpeningANewPairOfLogs) {
  const std::string logs = enable_logs();
  set_monitors_enabled(true);  // their shutting-down reports come after detach
  DllMain(1);
  umts_kav_lib_detach();
  EXPECT_EQ(list_dir(logs), (std::vector<std::string>{"umts_kav_lib_comm_log_001.txt",
                                                      "umts_kav_lib_msg_log_001.txt"}));
}

TEST_F(CoreTest, LogNameOfExactly259CharactersFitsAndOneMoreDoesNot) {
  // "umts_kav_lib_msg_log_001.txt" has 28 characters, the comm log's name 29.
  std::string directory = dir_.path() + "/";
  directory += std::string(259 - 28 - directory.size() - 1, 'd') + "/";
  ASSERT_EQ(directory.size() + 28, 259u);
  write_settings(
      "\"Message Logging\"=dword:00000001\r\n\"Comm Logging\"=dword:00000001\r\n"
      "\"Logging Directory\"=\"" +
      directory + "\"");
  DllMain(1);
  MessageCapture capture;
  EXPECT_EQ(message_log_name(), directory + "umts_kav_lib_msg_log_001.txt");
  EXPECT_EQ(comm_log_name(), "");
  close_log_files();
  open_log_files();  // opening again reports the comm log's name, cut where the name buffer ends
  EXPECT_EQ(capture.text(), "ERROR: Unable to determine full path name for \"" + directory +
                                "umts_kav_lib_comm_log_002.tx\"\n");
  DllMain(0);
}

TEST_F(CoreTest, ImpossibleLogDirectoryGivesTheMessageAndTheLibraryWorksOn) {
  write_file(dir_.file("blocker"), "a file where a directory should be");
  write_settings("\"Message Logging\"=dword:00000001\r\n\"Logging Directory\"=\"" +
                 dir_.file("blocker/logs") + "\"");
  DllMain(1);
  EXPECT_FALSE(message_log_open());
  MessageCapture capture;
  // The directory failed at attach; later writes do not try it again (and say nothing of it).
  show_msg("hello\n");
  show_msg("again\n");
  EXPECT_THAT(capture.messages(), ::testing::ElementsAre("hello\n", "again\n"));
  EXPECT_FALSE(message_log_open());
  DllMain(0);
}

}  // namespace
}  // namespace kav::test
