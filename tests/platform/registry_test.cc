// The user hive kept in a .reg file: reading every value form, rewriting only what a write
// changes, refusing files it cannot parse, and staying whole under concurrent writers.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lib/platform/error.h"
#include "lib/platform/reg_file.h"
#include "lib/platform/registry.h"
#include "tests/support/fake_registry.h"
#include "tests/support/test_env.h"

namespace kav::platform {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kKey = "SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB";

std::vector<uint8_t> bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<uint8_t> sz(const std::string& text) {
  std::vector<uint8_t> out = bytes(text);
  out.push_back(0);
  return out;
}

ino_t inode(const std::string& file) {
  struct stat st {};
  EXPECT_EQ(stat(file.c_str(), &st), 0);
  return st.st_ino;
}

class RegFileTest : public ::testing::Test {
 protected:
  std::string file() const { return dir_.file("user.reg"); }
  TempDir dir_;
};

// ---- reading ---------------------------------------------------------------------------

TEST_F(RegFileTest, ReadsEveryValueFormWithItsType) {
  write_file(file(),
             "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
             "\r\n"
             "; settings of the library\r\n"
             "[HKEY_CURRENT_USER\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\r\n"
             "\"Message Logging\"=dword:0000001f\r\n"
             "\"Logging Directory\"=\"C:\\\\logs\\\\ \\\"x\\\"\"\r\n"
             "@=\"default\"\r\n"
             "\"Blob\"=hex:01,ab,\\\r\n"
             "  ff,00\r\n"
             "\"Expand\"=hex(2):25,00,41,00,\\\r\n"
             "  00,00\r\n"
             "\"Big\"=hex(b):01,00,00,00,00,00,00,80\r\n"
             "\"Empty\"=hex:\r\n");
  RegFileHive hive(file());
  RegValue v;
  ASSERT_EQ(hive.query_value(kKey, "Message Logging", &v), 0) << hive.problem();
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_THAT(v.data, ElementsAre(0x1f, 0, 0, 0));
  ASSERT_EQ(hive.query_value(kKey, "Logging Directory", &v), 0);
  EXPECT_EQ(v.type, kRegSz);
  EXPECT_EQ(v.data, sz("C:\\logs\\ \"x\""));
  ASSERT_EQ(hive.query_value(kKey, "", &v), 0);
  EXPECT_EQ(v.data, sz("default"));
  ASSERT_EQ(hive.query_value(kKey, "Blob", &v), 0);
  EXPECT_EQ(v.type, kRegBinary);
  EXPECT_THAT(v.data, ElementsAre(0x01, 0xab, 0xff, 0x00));
  ASSERT_EQ(hive.query_value(kKey, "Expand", &v), 0);
  EXPECT_EQ(v.type, kRegExpandSz);
  EXPECT_THAT(v.data, ElementsAre('%', 0, 'A', 0, 0, 0));
  ASSERT_EQ(hive.query_value(kKey, "Big", &v), 0);
  EXPECT_EQ(v.type, kRegQword);
  EXPECT_THAT(v.data, ElementsAre(1, 0, 0, 0, 0, 0, 0, 0x80));
  ASSERT_EQ(hive.query_value(kKey, "Empty", &v), 0);
  EXPECT_EQ(v.type, kRegBinary);
  EXPECT_TRUE(v.data.empty());
}

TEST_F(RegFileTest, KeysAndNamesCompareWithoutCaseAndParentsExist) {
  write_file(file(),
             "Windows Registry Editor Version 5.00\n\n"
             "[HKEY_CURRENT_USER\\Software\\Brisco Wireless\\UMTS_KAV_LIB]\n"
             "\"Comm Logging\"=dword:00000001\n"
             "\"comm logging\"=dword:00000002\n");
  RegFileHive hive(file());
  RegValue v;
  ASSERT_EQ(hive.query_value("software\\BRISCO WIRELESS\\umts_kav_lib", "COMM LOGGING", &v), 0);
  // The later line of a repeated value wins, as an import of the file would leave it.
  EXPECT_THAT(v.data, ElementsAre(2, 0, 0, 0));
  EXPECT_EQ(hive.open_key("SOFTWARE\\Brisco Wireless", false), 0);
  EXPECT_EQ(hive.open_key("\\SOFTWARE\\\\brisco wireless\\", false), 0);
  EXPECT_EQ(hive.open_key("SOFTWARE\\Brisco", false), ENOENT);
  EXPECT_EQ(hive.open_key("SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB\\Sub", false), ENOENT);
  EXPECT_EQ(hive.query_value(kKey, "Message Logging", &v), ENOENT);
  EXPECT_EQ(hive.query_value("SOFTWARE", "Comm Logging", &v), ENOENT);
}

TEST_F(RegFileTest, DeletionsAndOtherRootsAreNotPartOfTheHive) {
  write_file(file(),
             "Windows Registry Editor Version 5.00\n\n"
             "[-HKEY_CURRENT_USER\\SOFTWARE\\Gone]\n\n"
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\n"
             "\"Comm Logging\"=dword:00000001\n\n"
             "[HKEY_CURRENT_USER\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\n"
             "\"Message Logging\"=-\n");
  RegFileHive hive(file());
  RegValue v;
  EXPECT_EQ(hive.open_key("SOFTWARE\\Gone", false), ENOENT);
  EXPECT_EQ(hive.query_value(kKey, "Comm Logging", &v), ENOENT);
  EXPECT_EQ(hive.query_value(kKey, "Message Logging", &v), ENOENT);
  EXPECT_EQ(hive.open_key(kKey, false), 0);
}

TEST_F(RegFileTest, MissingFileIsAnEmptyHiveUntilTheFirstWrite) {
  RegFileHive hive(dir_.file("a/b/user.reg"));
  RegValue v;
  EXPECT_EQ(hive.open_key(kKey, false), ENOENT);
  EXPECT_EQ(hive.query_value(kKey, "Comm Logging", &v), ENOENT);
  EXPECT_EQ(hive.open_key("", false), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("a")));

  ASSERT_EQ(hive.set_dword(kKey, "Comm Logging", 0), 0);
  EXPECT_EQ(read_file(dir_.file("a/b/user.reg")),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\n"
            "\"Comm Logging\"=dword:00000000\n");
  ASSERT_EQ(hive.query_value(kKey, "comm logging", &v), 0);
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_THAT(v.data, ElementsAre(0, 0, 0, 0));
}

// ---- writing ---------------------------------------------------------------------------

const char kRichFile[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "; hand-written note\n"
    "[HKEY_CURRENT_USER\\Software\\Other]\n"
    "\"Keep\"=hex(b):01,02,03,04,05,06,07,08\n"
    "\"Multi\"=hex(7):41,00,00,00,\\\n"
    "  00,00\n"
    "\n"
    "[-HKEY_CURRENT_USER\\Software\\Removed]\n"
    "\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\n"
    "\"Message Logging\"=\"1\"\n"
    "\"Logging Directory\"=\"/var/log/kav\"\n"
    "; trailing comment of the key\n"
    "\n"
    "[HKEY_CURRENT_USER\\Software\\Last]\n"
    "@=\"x\"";  // no final line feed

TEST_F(RegFileTest, ChangingAValueRewritesOnlyItsLine) {
  write_file(file(), kRichFile);
  RegFileHive hive(file());
  RegValue v;
  // A REG_SZ "1" is read back as text, not as a number.
  ASSERT_EQ(hive.query_value(kKey, "MESSAGE LOGGING", &v), 0);
  EXPECT_EQ(v.type, kRegSz);
  EXPECT_EQ(v.data, sz("1"));

  ASSERT_EQ(hive.set_dword(kKey, "message logging", 0), 0);
  std::string expected = kRichFile;
  const std::string old_line = "\"Message Logging\"=\"1\"\n";
  expected.replace(expected.find(old_line), old_line.size(),
                   "\"Message Logging\"=dword:00000000\n");
  EXPECT_EQ(read_file(file()), expected);
  ASSERT_EQ(hive.query_value(kKey, "Message Logging", &v), 0);
  EXPECT_EQ(v.type, kRegDword);
}

TEST_F(RegFileTest, NewValuesAndKeysAreAddedWithoutDisturbingTheRest) {
  write_file(file(), kRichFile);
  RegFileHive hive(file());
  ASSERT_EQ(hive.set_dword(kKey, "Comm Logging", 0x1f), 0);
  std::string expected = kRichFile;
  const std::string after = "\"Logging Directory\"=\"/var/log/kav\"\n";
  expected.insert(expected.find(after) + after.size(), "\"Comm Logging\"=dword:0000001f\n");
  EXPECT_EQ(read_file(file()), expected);

  ASSERT_EQ(hive.open_key("Software\\New\\Key", true), 0);
  expected += "\n\n[HKEY_CURRENT_USER\\Software\\New\\Key]\n";
  EXPECT_EQ(read_file(file()), expected);
  EXPECT_EQ(hive.open_key("Software\\New", false), 0);

  ASSERT_EQ(hive.set_dword("Software\\New\\Key", "", 7), 0);
  expected += "@=dword:00000007\n";
  EXPECT_EQ(read_file(file()), expected);

  RegValue v;
  ASSERT_EQ(hive.query_value("Software\\Other", "keep", &v), 0);
  EXPECT_EQ(v.type, kRegQword);
  EXPECT_THAT(v.data, ElementsAre(1, 2, 3, 4, 5, 6, 7, 8));
  ASSERT_EQ(hive.query_value("Software\\Other", "Multi", &v), 0);
  EXPECT_EQ(v.type, kRegMultiSz);
}

TEST_F(RegFileTest, ParentOnlyKeyGetsASectionAndCrLfFilesStayCrLf) {
  write_file(file(),
             "Windows Registry Editor Version 5.00\r\n\r\n"
             "[HKEY_CURRENT_USER\\SOFTWARE\\A\\B]\r\n"
             "\"x\"=dword:00000001\r\n");
  RegFileHive hive(file());
  EXPECT_EQ(hive.open_key("SOFTWARE\\A", true), 0);  // exists as a parent: nothing written
  ASSERT_EQ(hive.set_dword("software\\a", "y\"q\\", 2), 0);
  EXPECT_EQ(read_file(file()),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\A\\B]\r\n"
            "\"x\"=dword:00000001\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER\\software\\a]\r\n"
            "\"y\\\"q\\\\\"=dword:00000002\r\n");
  RegValue v;
  ASSERT_EQ(hive.query_value("SOFTWARE\\A", "Y\"Q\\", &v), 0);
  EXPECT_THAT(v.data, ElementsAre(2, 0, 0, 0));
}

// The registry editor of Windows exports UTF-16LE with a byte order mark: read, and written
// back in UTF-16LE with only the changed line different.
TEST_F(RegFileTest, Utf16FilesAreReadAndWrittenBackAsUtf16) {
  auto utf16 = [](const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t unit : text) {
      out.push_back(static_cast<char>(unit & 0xFF));
      out.push_back(static_cast<char>(unit >> 8));
    }
    return out;
  };
  const std::u16string head =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"; \U0001F600 exported\r\n"
      u"[HKEY_CURRENT_USER\\SOFTWARE\\Brisco Wireless\\UMTS_KAV_LIB]\r\n"
      u"\"Logging Directory\"=\"C:\\\\K\u00e4si\"\r\n";
  write_file(file(), utf16(head + u"\"Comm Logging\"=dword:00000001\r\n"));
  RegFileHive hive(file());
  RegValue v;
  ASSERT_EQ(hive.query_value(kKey, "Logging Directory", &v), 0) << hive.problem();
  EXPECT_EQ(v.data, sz("C:\\K\xC3\xA4si"));
  ASSERT_EQ(hive.set_dword(kKey, "Comm Logging", 0x1f), 0);
  EXPECT_EQ(read_file(file()), utf16(head + u"\"Comm Logging\"=dword:0000001f\r\n"));
  // An unpaired surrogate cannot be written back as it was: refused, with its line.
  write_file(file(), utf16(head + u"\"x\"=\"\xD800\"\r\n"));
  EXPECT_EQ(hive.query_value(kKey, "Comm Logging", &v), kErrorBadHiveFile);
  EXPECT_THAT(hive.problem(), HasSubstr("line 6: UTF-16 text with an unpaired surrogate"));
}

TEST_F(RegFileTest, WriteOfAnUnchangedValueLeavesTheFileAlone) {
  ASSERT_EQ(RegFileHive(file()).set_dword(kKey, "Comm Logging", 5), 0);
  const ino_t before = inode(file());
  RegFileHive hive(file());
  ASSERT_EQ(hive.set_dword(kKey, "COMM LOGGING", 5), 0);
  ASSERT_EQ(hive.open_key(kKey, true), 0);
  EXPECT_EQ(inode(file()), before);
  ASSERT_EQ(hive.set_dword(kKey, "COMM LOGGING", 6), 0);
  EXPECT_NE(inode(file()), before);  // replaced by rename, never written in place
}

TEST_F(RegFileTest, RewritesLeaveNoTemporaryFileAndKeepPermissions) {
  write_file(file(), kRichFile);
  ASSERT_EQ(chmod(file().c_str(), 0600), 0);
  RegFileHive hive(file());
  for (uint32_t i = 0; i < 20; ++i) ASSERT_EQ(hive.set_dword(kKey, "N" + std::to_string(i), i), 0);
  EXPECT_EQ(test::list_dir(dir_.path()), (std::vector<std::string>{"user.reg", "user.reg.lock"}));
  struct stat st {};
  ASSERT_EQ(stat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// ---- hostile and careless file systems ------------------------------------------------------

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

// A lock planted as a link (to a missing or an existing file) or as a FIFO is refused without
// following it, creating anything or waiting, and the problem names the lock.
TEST_F(RegFileTest, LockFileThatIsALinkOrAFifoIsRefused) {
  const std::string lock = file() + ".lock";
  const std::string victim = dir_.file("victim");
  struct Planted {
    std::function<void()> plant;
    int error;
    const char* says;
  };
  const Planted cases[] = {
      {[&] { ASSERT_EQ(symlink(victim.c_str(), lock.c_str()), 0); }, ELOOP, "symbolic link"},
      {[&] {
         write_file(victim, "precious");
         ASSERT_EQ(symlink(victim.c_str(), lock.c_str()), 0);
       },
       ELOOP, "symbolic link"},
      {[&] { ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0); }, kErrorNotRegularFile, "regular"},
  };
  for (const Planted& planted : cases) {
    std::filesystem::remove(lock);
    std::filesystem::remove(victim);
    planted.plant();
    const bool had_victim = std::filesystem::exists(victim);
    RegFileHive hive(file());
    alarm(10);  // a blocking open ends the test instead of hanging it
    EXPECT_EQ(hive.set_dword(kKey, "Comm Logging", 1), planted.error);
    alarm(0);
    EXPECT_THAT(hive.problem(), HasSubstr(lock));
    EXPECT_THAT(hive.problem(), HasSubstr(planted.says));
    EXPECT_EQ(std::filesystem::exists(victim), had_victim);
    if (had_victim) {
      EXPECT_EQ(read_file(victim), "precious");
    }
    EXPECT_FALSE(std::filesystem::exists(file()));
  }
}

// A new settings file and its lock get 0666 less the umask, as an editor's files do.
TEST_F(RegFileTest, NewFilesTakeTheUmask) {
  for (const mode_t mask : {022, 077, 002}) {
    std::filesystem::remove(file());
    std::filesystem::remove(file() + ".lock");
    const mode_t old = umask(mask);
    const int result = RegFileHive(file()).set_dword(kKey, "Comm Logging", 1);
    umask(old);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(stat_of(file()).st_mode & 0777, 0666 & ~mask) << std::oct << mask;
    EXPECT_EQ(stat_of(file() + ".lock").st_mode & 0777, 0666 & ~mask) << std::oct << mask;
  }
}

// Run as root on a user's file: the file keeps its owner, group and mode, a new lock file is
// the user's, and the user can write the file again afterwards.
TEST_F(RegFileTest, RootRewriteLeavesTheFileAndLockToTheirOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  constexpr uid_t kUser = 12345;
  constexpr gid_t kGroup = 23456;
  write_file(file(), kRichFile);
  ASSERT_EQ(chown(dir_.path().c_str(), kUser, kGroup), 0);
  ASSERT_EQ(chown(file().c_str(), kUser, kGroup), 0);
  ASSERT_EQ(chmod(file().c_str(), 0640), 0);
  ASSERT_EQ(RegFileHive(file()).set_dword(kKey, "Comm Logging", 1), 0);
  for (const std::string& path : {file(), file() + ".lock"}) {
    EXPECT_EQ(stat_of(path).st_uid, kUser) << path;
    EXPECT_EQ(stat_of(path).st_gid, kGroup) << path;
  }
  EXPECT_EQ(stat_of(file()).st_mode & 07777, 0640u);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(kGroup) != 0 || setuid(kUser) != 0) _exit(2);
    _exit(RegFileHive(file()).set_dword(kKey, "Comm Logging", 2) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  RegValue v;
  ASSERT_EQ(RegFileHive(file()).query_value(kKey, "Comm Logging", &v), 0);
  EXPECT_THAT(v.data, ElementsAre(2, 0, 0, 0));
}

// A settings path that is a (relative, chained) link: the target is rewritten beside itself,
// the links stay links, and the lock is the target's. A dangling link creates nothing.
TEST_F(RegFileTest, LinkedSettingsFileRewritesTheTarget) {
  std::filesystem::create_directories(dir_.file("dotfiles"));
  std::filesystem::create_directories(dir_.file("config"));
  const std::string target = dir_.file("dotfiles/user.reg");
  const std::string link = dir_.file("config/user.reg");
  ASSERT_EQ(symlink("../dotfiles/user.reg", dir_.file("config/middle").c_str()), 0);
  ASSERT_EQ(symlink("middle", link.c_str()), 0);
  EXPECT_EQ(ENOENT, RegFileHive(link).set_dword(kKey, "Comm Logging", 1));
  EXPECT_TRUE(test::list_dir(dir_.file("dotfiles")).empty());

  write_file(target, kRichFile);
  ASSERT_EQ(RegFileHive(link).set_dword(kKey, "Comm Logging", 2), 0);
  EXPECT_TRUE(S_ISLNK(stat_of(link).st_mode));
  EXPECT_TRUE(S_ISLNK(stat_of(dir_.file("config/middle")).st_mode));
  RegValue v;
  ASSERT_EQ(RegFileHive(target).query_value(kKey, "Comm Logging", &v), 0);
  EXPECT_EQ(v.data[0], 2);
  EXPECT_EQ(test::list_dir(dir_.file("dotfiles")),
            (std::vector<std::string>{"user.reg", "user.reg.lock"}));
  EXPECT_EQ(test::list_dir(dir_.file("config")), (std::vector<std::string>{"middle", "user.reg"}));
}

// A link that another user owns, or that leads into another user's directory, is not followed:
// the file it names stays as it was and no lock appears beside it.
TEST_F(RegFileTest, LinksOfOtherUsersAreNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand files to another user";
  const struct {
    bool link_foreign;
    bool dir_foreign;
    int error;
  } cases[] = {{true, false, EPERM}, {false, true, EPERM}, {false, false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.link_foreign << c.dir_foreign);
    test::TempDir dir;
    const std::string target = dir.file("elsewhere/user.reg");
    test::write_file_with_dirs(target, kRichFile);
    const std::string link = dir.file("user.reg");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(0, c.link_foreign ? lchown(link.c_str(), 4242, 4242) : 0);
    ASSERT_EQ(0, c.dir_foreign ? chown(dir.file("elsewhere").c_str(), 4242, 4242) : 0);
    RegFileHive hive(link);
    EXPECT_EQ(c.error, hive.set_dword(kKey, "Comm Logging", 7));
    EXPECT_EQ(c.error == 0, test::read_file(target) != kRichFile);
    EXPECT_EQ(c.error == 0, test::file_exists(target + ".lock"));
    EXPECT_THAT(hive.problem(), HasSubstr(c.error ? link : ""));
  }
}

// Temporary files of writers killed before their rename are removed by the next writer; other
// files that merely look alike stay.
TEST_F(RegFileTest, TemporaryFilesOfDeadWritersAreRemoved) {
  const struct {
    const char* name;
    bool old;
    bool removed;
  } cases[] = {
      {".user.reg.kav-tmp-a1B2c3", true, true},    // a dead writer's
      {".user.reg.kav-tmp-XXXXXX", true, true},    //
      {".user.reg.kav-tmp-b1C2d3", false, false},  // too young to be sure
      {".user.reg.backup", true, false},           // the user's, six characters after the dot
      {".user.reg.a1B2c3", true, false},           // no marker
      {".user.reg.kav-tmp-1234567", true, false},  // not six characters
      {".other.reg.kav-tmp-abcdef", true, false},  // another file's
      {"user.reg.kav-tmp-abcdef", true, false},    // no leading dot
  };
  const auto long_ago = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  for (const auto& c : cases) {
    write_file(dir_.file(c.name), "half a file");
    if (c.old) std::filesystem::last_write_time(dir_.file(c.name), long_ago);
  }
  ASSERT_EQ(RegFileHive(file()).set_dword(kKey, "Comm Logging", 1), 0);
  for (const auto& c : cases) EXPECT_NE(c.removed, test::file_exists(dir_.file(c.name))) << c.name;
}

// A FIFO, a device, a directory or an oversized file at the settings path is refused at once,
// unread, with the path named; nothing is written over it.
TEST_F(RegFileTest, AnythingButARegularFileOfSaneSizeIsRefused) {
  std::filesystem::create_directory(dir_.file("sub"));
  const std::string fifo = dir_.file("fifo.reg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = dir_.file("big.reg");
  write_file(big, "Windows Registry Editor Version 5.00\n");
  ASSERT_EQ(truncate(big.c_str(), kMaxSettingsFileBytes + 1), 0);
  const std::pair<std::string, int> cases[] = {{fifo, kErrorNotRegularFile},
                                               {"/dev/zero", kErrorNotRegularFile},
                                               {dir_.file("sub"), kErrorNotRegularFile},
                                               {big, kErrorFileTooLarge}};
  for (const auto& [path, error] : cases) {
    RegFileHive hive(path);
    RegValue v;
    alarm(10);
    EXPECT_EQ(hive.query_value(kKey, "Comm Logging", &v), error) << path;
    EXPECT_EQ(hive.set_dword(kKey, "Comm Logging", 1), error) << path;
    alarm(0);
    EXPECT_THAT(hive.problem(), HasSubstr(path));
  }
  EXPECT_EQ(stat_of(big).st_size, static_cast<off_t>(kMaxSettingsFileBytes + 1));
  EXPECT_EQ(test::list_dir(dir_.path()), (std::vector<std::string>{"big.reg", "fifo.reg", "sub"}))
      << "no lock file is made for them";
}

// A long hex list continued over many lines parses in time linear in its length (it once took
// the square: each line lower-cased the whole list read so far).
TEST(RegDocumentTest, LongContinuedHexListParsesInLinearTime) {
  std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\X]\n\"b\"=hex:";
  constexpr size_t kLines = 20000;  // 25 bytes a line, 500 KB of bytes
  for (size_t i = 0; i < kLines; ++i) {
    text += "00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,18";
    text += i + 1 < kLines ? ",\\\n  " : "\n";
  }
  RegDocument doc;
  std::string problem;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(doc.parse(text, &problem)) << problem;
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_EQ(doc.value("X", "b")->data.size(), kLines * 25);
  EXPECT_EQ(doc.render(), text);
}

// ---- files that cannot be parsed ----------------------------------------------------------

struct BadFile {
  const char* name;
  const char* text;
  const char* line;  // "line N" expected in the problem
};

class RegFileBadTest : public RegFileTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(RegFileBadTest, IsReportedByEveryCallAndNeverOverwritten) {
  const std::string text = GetParam().text;
  write_file(file(), text);
  RegFileHive hive(file());
  RegValue v;
  EXPECT_EQ(hive.query_value(kKey, "Comm Logging", &v), kErrorBadHiveFile);
  EXPECT_EQ(last_error(), kErrorBadHiveFile);
  EXPECT_THAT(hive.problem(), HasSubstr(file()));
  EXPECT_THAT(hive.problem(), HasSubstr(GetParam().line));
  EXPECT_EQ(hive.open_key(kKey, false), kErrorBadHiveFile);
  EXPECT_EQ(hive.open_key("Software\\New", true), kErrorBadHiveFile);
  EXPECT_EQ(hive.set_dword(kKey, "Comm Logging", 0), kErrorBadHiveFile);
  EXPECT_EQ(read_file(file()), text);
  const std::vector<std::string> entries = test::list_dir(dir_.path());
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "user.reg"), 1);
  EXPECT_EQ(entries.size(), std::count(entries.begin(), entries.end(), "user.reg.lock") + 1u);

  // Once repaired, the same hive object reads it again.
  write_file(file(), "Windows Registry Editor Version 5.00\n");
  EXPECT_EQ(hive.query_value(kKey, "Comm Logging", &v), ENOENT);
  EXPECT_EQ(hive.problem(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Corrupt, RegFileBadTest,
    ::testing::Values(BadFile{"NoHeader", "[HKEY_CURRENT_USER\\X]\n\"a\"=dword:1\n", "line 1"},
                      BadFile{"Utf16OddLength",
                              "\xFF\xFE"
                              "W",
                              "line 1"},
                      BadFile{"Utf16BigEndian",
                              "\xFE\xFF"
                              "W",
                              "line 1"},
                      BadFile{"ValueBeforeKey",
                              "Windows Registry Editor Version 5.00\n\"a\"=dword:00000001\n",
                              "line 2"},
                      BadFile{"UnclosedKey",
                              "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X\n",
                              "line 2"},
                      BadFile{"DwordTooLong",
                              "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\X]\n"
                              "\"a\"=dword:123456789\n",
                              "line 4"},
                      BadFile{"UnterminatedText",
                              "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n"
                              "\"a\"=\"unterminated\n",
                              "line 3"},
                      BadFile{"UnknownEscape",
                              "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n"
                              "\"a\"=\"C:\\logs\"\n",
                              "line 3"},
                      BadFile{"BadHexByte",
                              "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n"
                              "\"a\"=hex:01,zz\n",
                              "line 3"},
                      BadFile{"HexContinuesPastEnd",
                              "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n"
                              "\"a\"=hex:01,\\\n",
                              "line 3"},
                      BadFile{"UnknownDataForm",
                              "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n"
                              "\"a\"=qword:1\n",
                              "line 3"},
                      BadFile{"UnquotedName",
                              "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n"
                              "a=dword:00000001\n",
                              "line 3"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

// ---- concurrent writers -----------------------------------------------------------------

TEST_F(RegFileTest, WritersInTwoProcessesAndTwoThreadsAllLand) {
  constexpr int kEach = 40;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RegFileHive hive(file());
    int failures = 0;
    for (int i = 0; i < kEach; ++i)
      failures += hive.set_dword(kKey, "child" + std::to_string(i), i) != 0;
    _exit(failures == 0 ? 0 : 1);
  }
  std::thread other([this] {
    RegFileHive hive(file());
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(hive.set_dword(kKey, "thread" + std::to_string(i), i), 0);
  });
  RegFileHive hive(file());
  for (int i = 0; i < kEach; ++i)
    EXPECT_EQ(hive.set_dword(kKey, "parent" + std::to_string(i), i), 0);
  other.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  for (const char* who : {"child", "thread", "parent"}) {
    for (int i = 0; i < kEach; ++i) {
      RegValue v;
      ASSERT_EQ(hive.query_value(kKey, who + std::to_string(i), &v), 0) << who << i;
      EXPECT_THAT(v.data, ElementsAre(i, 0, 0, 0));
    }
  }
  EXPECT_EQ(test::list_dir(dir_.path()), (std::vector<std::string>{"user.reg", "user.reg.lock"}));
}

// ---- the process's user hive ----------------------------------------------------------------

TEST(UserHive, FileComesFromTheEnvironment) {
  setenv("UMTS_KAV_REGISTRY", "/x/settings.reg", 1);
  EXPECT_EQ(user_hive_file(), "/x/settings.reg");
  setenv("UMTS_KAV_REGISTRY", "", 1);
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(user_hive_file(), "/cfg/umts_kav_lib/user.reg");
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(user_hive_file(), "/home/u/.config/umts_kav_lib/user.reg");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(user_hive_file(), "/home/u/.config/umts_kav_lib/user.reg");
}

TEST(UserHive, DefaultFollowsTheEnvironmentAndCanBeReplaced) {
  TempDir dir;
  setenv("UMTS_KAV_REGISTRY", dir.file("first.reg").c_str(), 1);
  ASSERT_EQ(user_hive().set_dword(kKey, "Comm Logging", 1), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.file("first.reg")));
  setenv("UMTS_KAV_REGISTRY", dir.file("second.reg").c_str(), 1);
  EXPECT_EQ(user_hive().location(), dir.file("second.reg"));
  RegValue v;
  EXPECT_EQ(user_hive().query_value(kKey, "Comm Logging", &v), ENOENT);

  test::FakeRegistry fake;
  {
    test::ScopedHive scoped(&set_user_hive, &fake);
    EXPECT_EQ(&user_hive(), &fake);
    ASSERT_EQ(user_hive().set_dword(kKey, "Comm Logging", 3), 0);
    EXPECT_EQ(fake.set_calls(), 1);
  }
  EXPECT_NE(&user_hive(), &fake);
  EXPECT_FALSE(std::filesystem::exists(dir.file("second.reg")));
}

}  // namespace
}  // namespace kav::platform
