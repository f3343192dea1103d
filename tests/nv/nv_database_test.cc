#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "lib/platform/files.h"
#include "tests/nv/nv_fixture.h"

namespace kav::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kEmptyBody = "NVI_DB_VERSION: 5\n0,0,0,0\n\n";

TEST_F(NvDbTest, NoFileAndNoDefaultGivesTheEmptyDatabase) {
  hide_default();
  MessageCapture capture;
  NvItemInfo info;
  EXPECT_FALSE(lookup_nv_item("NV_ALPHA_I", "9X15:1.0.0.0", &info));
  EXPECT_THAT(capture.messages(),
              ElementsAre("ERROR: create_db: FindResource => The specified resource type cannot "
                          "be found in the image file..\n",
                          "ERROR: create_db: failure to load default database.\n",
                          "Empty NV Item database created.\n"));
  EXPECT_EQ(with_digest(kEmptyBody), db_text());
  EXPECT_TRUE(db_loaded());
  EXPECT_EQ(-1, info.id);
}

TEST_F(NvDbTest, AnEmptyDefaultResourceIsRefused) {
  platform::override_resource(kDefaultDbResourceType, kDefaultDbResourceId, std::string());
  MessageCapture capture;
  ASSERT_TRUE(load_db());
  EXPECT_THAT(capture.messages(),
              ElementsAre("ERROR: create_db: SizeOfResource.\n",
                          "ERROR: create_db: failure to load default database.\n",
                          "Empty NV Item database created.\n"));
}

// A file that fails its check is moved aside (replacing an older rejected copy), never deleted,
// and the compiled-in default takes its place.
TEST_F(NvDbTest, RejectedFilesAreKeptAndReplacedByTheDefault) {
  std::string changed = with_digest(kTwoFirmwareBody);
  changed[changed.find("NV_BETA_I")] = 'M';
  const struct {
    const char* what;
    std::string text;
    std::vector<std::string> first_messages;
  } cases[] = {
      {"version 4", with_digest("NVI_DB_VERSION: 4\n0,0,0,0\n\n"), {}},
      {"one changed character", changed, {"Found invalid checksum in NVI_DB file.\n"}},
      {"no version line", "garbage\r\n", {"Did not find NVI_DB_VERSION in NVI_DB file.\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reset_nv_database();
    write_file(rejected_path(), "an older rejected file");
    write_db(c.text);
    MessageCapture capture;
    ASSERT_TRUE(load_db());
    std::vector<std::string> expected = c.first_messages;
    expected.push_back("Rejected existing nvi_db file.\n");
    expected.push_back("The rejected NV item database \"" + db_path() + "\" was kept as \"" +
                       rejected_path() + "\".\n");
    expected.push_back("Default NV Item database copied from resource.\n");
    EXPECT_EQ(expected, capture.messages());
    EXPECT_EQ(c.text, read_file(rejected_path()));
    NvItemInfo info;
    EXPECT_TRUE(lookup_nv_item("NV_MEID_I", "6290:1.2.3.0", &info));
    EXPECT_EQ(1943, info.id);
  }
}

// A default that fails its check even with the digest forgiven gives way to the empty
// database; the failing copy is the library's own and is removed.
TEST_F(NvDbTest, RejectedDefaultGivesTheEmptyDatabase) {
  platform::override_resource(kDefaultDbResourceType, kDefaultDbResourceId,
                              with_digest("NVI_DB_VERSION: 4\n0,0,0,0\n\n"));
  MessageCapture capture;
  ASSERT_TRUE(load_db());
  EXPECT_THAT(capture.messages(),
              ElementsAre("Default NV Item database copied from resource.\n",
                          "Rejected default nvi_db file.\n", "Empty NV Item database created.\n"));
  EXPECT_EQ(with_digest(kEmptyBody), db_text());
  EXPECT_FALSE(file_exists(rejected_path()));
}

TEST_F(NvDbTest, DefaultWithWrongDigestIsAcceptedAndRewritten) {
  std::string resource = with_digest(kTwoFirmwareBody, false);
  resource.replace(0, 4, "  0,");  // the first digest byte is now wrong
  platform::override_resource(kDefaultDbResourceType, kDefaultDbResourceId, resource);
  MessageCapture capture;
  ASSERT_TRUE(load_db());
  EXPECT_THAT(capture.messages(), ElementsAre("Default NV Item database copied from resource.\n"));
  EXPECT_EQ(with_digest(kTwoFirmwareBody), db_text());
  // The next process finds a file that passes as it is.
  reset_nv_database();
  capture.clear();
  ASSERT_TRUE(load_db());
  EXPECT_TRUE(capture.messages().empty());
  EXPECT_FALSE(default_db_in_use());
}

// Files another installation or an editor wrote: digests without leading spaces, LF line ends,
// a last line without its line end; ids of -1 repeat freely.
TEST_F(NvDbTest, VariantsOfTheLayoutLoadAsTheyAre) {
  std::string unpadded;
  for (uint8_t byte : platform::md5_digest(kTwoFirmwareBody, std::strlen(kTwoFirmwareBody))) {
    unpadded += std::to_string(byte) + ",";
  }
  const std::string minus_ones = "NVI_DB_VERSION: 5\n1,1,1,2\nX:1,0,0,\nNV_A_I,-1,1,\nNV_B_I,-1,1,";
  const std::string files[] = {
      unpadded + "\r\n" + kTwoFirmwareBody,
      with_digest(kTwoFirmwareBody, false),
      with_digest(minus_ones, false),
  };
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    reset_nv_database();
    write_db(file);
    MessageCapture capture;
    ASSERT_TRUE(load_db());
    EXPECT_TRUE(capture.messages().empty());
    EXPECT_EQ(file, db_text());  // a good file is not rewritten
  }
  EXPECT_EQ(2u, nv_item_database().item_names.size());
}

// A load that fails is not tried again by later look-ups: its messages come once.
TEST_F(NvDbTest, DuplicatedIdInAMapFailsTheLoadOnce) {
  write_db(with_digest("NVI_DB_VERSION: 5\n1,2,1,2\nX:1,1,0,\nNV_A_I,10,10,1,\nNV_B_I,11,10,1,\n"));
  MessageCapture capture;
  EXPECT_FALSE(load_db());
  NvItemInfo info;
  EXPECT_FALSE(lookup_nv_item("NV_A_I", "X:1", &info));
  EXPECT_FALSE(load_db());
  EXPECT_THAT(capture.messages(),
              ElementsAre("ERROR: open_db failure: Item id 10 duplicated in map 1.\n"));
  EXPECT_FALSE(db_loaded());
  EXPECT_TRUE(db_load_failed());
  EXPECT_FALSE(file_exists(rejected_path()));
}

// An error that stays until someone acts is not waited out: a directory where the file should
// be is read once, not five times with pauses, and then kept aside.
TEST_F(NvDbTest, PermanentReadErrorsAreNotRetried) {
  ASSERT_EQ(0, mkdir(dir_.file("module").c_str(), 0755));
  ASSERT_EQ(0, mkdir(db_path().c_str(), 0755));
  set_db_open_retry_pause_ms(300);
  MessageCapture capture;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(load_db());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(capture.messages().at(0), "ERROR: Unable to read NV item database file \"" + db_path() +
                                          "\": It is not a regular file.\n");
  EXPECT_TRUE(std::filesystem::is_directory(rejected_path()));
}

// A full disk leaves no room for a copy of the default: the default is used from memory, and
// the message says why. (A tmpfs of one page, filled, mounted over the module directory in a
// child's own mount namespace.)
TEST_F(NvDbTest, AFullDiskUsesTheDefaultInMemory) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const std::string module = dir_.file("module");
  ASSERT_EQ(0, mkdir(module.c_str(), 0755));
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", module.c_str(), "tmpfs", 0, "size=4k") != 0) {
      _exit(77);
    }
    FILE* filler = std::fopen((module + "/filler").c_str(), "w");
    while (filler && std::fputs(std::string(512, 'x').c_str(), filler) >= 0 &&
           std::fflush(filler) == 0) {
    }
    MessageCapture capture;
    NvItemInfo info;
    const bool found = lookup_nv_item("NV_MEID_I", "6290:1.2.3.0", &info) && info.id == 1943;
    const bool said = capture.text().find(
                          "No space left on device); the built-in default is "
                          "used in memory.") != std::string::npos;
    _exit(found && said ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no tmpfs mount here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Files whose digest is right but whose content breaks the format: refused, kept, and read
// within their bounds (the sanitizer build checks the last part).
TEST_F(NvDbTest, MalformedContentIsRefusedAndKept) {
  const std::string long_name(256, 'N');
  const struct {
    std::string body;
    std::string detail;
  } cases[] = {
      {"-1,0,0,0\n\n", "line 3: the counts line"},
      {"0,0,0,99999999\n\n", "more than the file can hold"},
      {"0,40,1,1\n\nNV_A_I,1,\n" + std::string(60, '\n'), "more than the file can hold"},
      {"0,0,0,2\n\nNV_A_I,\n", "the file ends after 1 of the 2 items"},
      {"1,1,1,0\nX:1,1,0,\n", "map index missing or out of range"},
      {"1,1,1,0\nX:1,0,-2,\n", "map index missing or out of range"},
      {"2,1,1,0\nX:1,0,0,\n\n\n\n\n\n", "1 firmware entries where 2 are counted"},
      {"1,1,1,0\nX:1,0,0,Y:1,0,0,\n", "more firmware entries than the 1 counted"},
      {"0,1,1,1\n\nNV_A_I,9999999999,1,\n", "id 0 missing or not a number"},
      {"0,1,1,1\n\nNV_A_I,12,\n", "array size 0 missing"},
      {"0,1,1,1\n\nNV_A_I,12,1,7,\n", "more fields than the maps counted"},
      {"0,1,1,1\n\nNV_A_I,1x,1,\n", "id 0 missing"},
      {"0,0,0,1\n\n" + long_name + ",\n", "item name empty, unterminated, longer than 255"},
      {"1,0,0,0\n" + long_name + ",-1,-1,\n", "text empty, unterminated, longer than 255"},
      {"0,1,1,1\n\n" + std::string("NV_A\0_I,5,1,\n", 14), "or holding a control character"},
      {"0,1,1,1\n\nNV_A\t_I,5,1,\n", "or holding a control character"},
      {"1,0,0,0\nX:1\x01,-1,-1,\n", "or holding a control character"},
      {"0,0,0\n\n", "is not four counts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    reset_nv_database();
    const std::string file = with_digest("NVI_DB_VERSION: 5\n" + c.body);
    write_db(file);
    MessageCapture capture;
    EXPECT_FALSE(load_db());
    EXPECT_THAT(capture.text(),
                HasSubstr("ERROR: load_db: NV item database \"" + db_path() + "\" refused, "));
    EXPECT_THAT(capture.text(), HasSubstr(c.detail));
    EXPECT_EQ(file, db_text());
    EXPECT_FALSE(db_loaded());
    // Said once: later look-ups of the process do not load again.
    const size_t said = capture.messages().size();
    NvItemInfo info;
    EXPECT_FALSE(lookup_nv_item("NV_A_I", "X:1", &info));
    EXPECT_EQ(said, capture.messages().size());
  }
}

// Content that reads whole and indexes inside its maps loads as it is, however odd; the check
// of `kav nvdb check` still names it.
TEST_F(NvDbTest, OddButReadableContentLoads) {
  const struct {
    std::string body;
    const char* name;  // looked up for firmware "X:1"
    int32_t id;        // 0: not found
    int32_t array_size;
    const char* check_says;
  } cases[] = {
      {"1,1,1,1\nX:1,0,0,\nNV_A_I,5,1,\nNV_B_I,6,1,\n", "NV_A_I", 5, 1, "more item lines"},
      {"1,1,1,1\nX:1,0,0,\nNV_A_I,5,1,\nNV_B_I,6,1,\n", "NV_B_I", 0, 0, "more item lines"},
      {"1,1,1,1\nX:1,0,0,\nNV_A_I,70000,1,\n", "NV_A_I", 70000, 1, "id 70000 in map 0"},
      {"1,1,1,1\nX:1,0,0,\nNV_A_I,-7,1,\n", "NV_A_I", -7, 1, "id -7 in map 0"},
      {"1,1,1,1\nX:1,0,0,\nNV_A_I,5,-3,\n", "NV_A_I", 5, -3, "array size -3 in map 0"},
      {"1,2000000000,2000000000,0\nX:1,1999999999,1999999999,\n", "NV_A_I", 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    reset_nv_database();
    const std::string file = with_digest("NVI_DB_VERSION: 5\n" + c.body);
    write_db(file);
    MessageCapture capture;
    ASSERT_TRUE(load_db());
    EXPECT_TRUE(capture.messages().empty());
    NvItemInfo info;
    EXPECT_EQ(c.id != 0, lookup_nv_item(c.name, "X:1", &info));
    EXPECT_EQ(c.id != 0 ? c.id : -1, info.id);
    EXPECT_EQ(c.array_size, info.array_size);
    EXPECT_EQ(file, db_text());
    NvItemDatabase checked;
    const std::vector<NviDbProblem> problems = check_nvi_db(normalise_line_ends(file), &checked);
    if (c.check_says == nullptr) {
      EXPECT_TRUE(problems.empty());
    } else {
      ASSERT_EQ(1u, problems.size());
      EXPECT_THAT(problems[0].text, HasSubstr(c.check_says));
    }
  }
  // Ids outside 0..65535 count as duplicates like any other.
  reset_nv_database();
  write_db(with_digest("NVI_DB_VERSION: 5\n1,1,1,2\nX:1,0,0,\nNV_A_I,70000,1,\nNV_B_I,70000,1,\n"));
  MessageCapture capture;
  EXPECT_FALSE(load_db());
  EXPECT_THAT(capture.messages(),
              ElementsAre("ERROR: open_db failure: Item id 70000 duplicated in map 0.\n"));
}

// Item lines out of order load (look-ups bisect and may miss them); the load names the first
// such line once.
TEST_F(NvDbTest, ItemsOutOfOrderAreNamedOnce) {
  write_db(
      with_digest("NVI_DB_VERSION: 5\n\n1,1,1,4\nX:1,0,0,\nNV_A_I,1,1,\nNV_C_I,3,1,\nNV_B_I,2,1,\n"
                  "NV_A0_I,4,1,\n"));
  MessageCapture capture;
  ASSERT_TRUE(load_db());
  NvItemInfo info;
  EXPECT_TRUE(lookup_nv_item("NV_A_I", "X:1", &info));
  EXPECT_THAT(capture.messages(),
              ElementsAre("WARNING: NV item database \"" + db_path() +
                          "\" line 8: item NV_B_I is not after NV_C_I; look-ups may miss items "
                          "out of order.\n"));
}

// Many maps of one item each, as many as the file allows, are checked in time that follows the
// file's size (one id table for all maps, not one per map).
TEST_F(NvDbTest, ManyMapsAreCheckedQuickly) {
  std::string item_line = "NV_A_I,";
  for (int i = 0; i < 200000; ++i) item_line += "1,";
  const std::string text = with_digest("NVI_DB_VERSION: 5\n0,200000,0,1\n\n" + item_line + "\n");
  const auto start = std::chrono::steady_clock::now();
  NvItemDatabase db;
  EXPECT_TRUE(check_nvi_db(normalise_line_ends(text), &db).empty());
  EXPECT_EQ(200000u, db.id_maps.size());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Runs `body` in a child process that cannot write where root could (it drops to "nobody" when
// run as root), and returns its exit status.
int run_unprivileged(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

// An installed program run by a user: the module directory cannot be written, so the database
// is read from there when it is good and otherwise kept in the user's data directory.
TEST_F(NvDbTest, ReadOnlyModuleDirectoryUsesThePerUserPlace) {
  const std::string data_home = dir_.file("data");
  ScopedEnv xdg("XDG_DATA_HOME", data_home);
  const std::string user_db = data_home + "/umts_kav_lib/umts_kav_lib.nvi_db";
  write_file_with_dirs(data_home + "/.keep", "");
  chmod(dir_.path().c_str(), 0755);
  chmod(data_home.c_str(), 0777);
  const struct {
    const char* what;
    std::optional<std::string> module_file;
    int found;  // NV_ALPHA_I is only in the file beside the program
    bool user_file_expected;
  } cases[] = {
      {"good file beside the program", with_digest(kTwoFirmwareBody), 1, false},
      {"no file beside the program", std::nullopt, 0, true},
      {"rejected file beside the program", std::string("bad\r\n"), 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(user_db.c_str());
    std::remove(db_path().c_str());
    write_file_with_dirs(dir_.file("module/.keep"), "");
    if (c.module_file) write_db(*c.module_file);
    chmod(dir_.file("module").c_str(), 0555);
    const int status = run_unprivileged([] {
      NvItemInfo info;
      return lookup_nv_item("NV_ALPHA_I", "9X15:1.0.0.0", &info) ? 1 : 0;
    });
    chmod(dir_.file("module").c_str(), 0755);
    EXPECT_EQ(c.found, status);
    EXPECT_EQ(c.user_file_expected, file_exists(user_db));
    if (c.module_file) {
      EXPECT_EQ(*c.module_file, db_text());  // never touched
    }
  }
}

// save_db names the file it could not write, and says so when the file is write-protected.
TEST_F(NvDbTest, SaveFailuresNameTheFile) {
  ASSERT_TRUE(load_db());
  const std::string open_failed =
      "ERROR: save_db failed to open \"" + db_path() + "\" NV item database file.\n";
  const std::string protected_line =
      "ERROR: \"" + db_path() + "\" NV item database file is write-protected.\n";
  // A directory where the file should be: no file can be made there.
  std::filesystem::remove(db_path());
  ASSERT_EQ(0, mkdir(db_path().c_str(), 0755));
  {
    MessageCapture capture;
    EXPECT_FALSE(save_db());
    EXPECT_THAT(capture.messages(), ElementsAre(open_failed));
  }
  std::filesystem::remove(db_path());
  // A file its user may not write, in a directory the user may (as root, checked in a child
  // that is not root).
  write_db("kept");
  chmod(db_path().c_str(), 0444);
  chmod(dir_.path().c_str(), 0755);
  chmod(dir_.file("module").c_str(), 0777);
  const int status = run_unprivileged([&] {
    MessageCapture capture;
    if (!save_db() && capture.messages() == std::vector<std::string>{open_failed, protected_line})
      return 0;
    std::fprintf(stderr, "%s", capture.text().c_str());
    return 1;
  });
  EXPECT_EQ(0, status);
  EXPECT_EQ("kept", db_text());
}

// Two processes loading at once, from no file: both succeed and the file left is sound.
// The user's file kept aside is never replaced by a file of the library's making: a copy of the
// default left by a run killed before its rewrite is replaced, not kept.
TEST_F(NvDbTest, ALeftoverCopyOfTheDefaultDoesNotReplaceTheKeptFile) {
  std::string resource = with_digest(kTwoFirmwareBody, false);
  resource.replace(0, 4, "  0,");  // a wrong digest, as a copy not yet rewritten has
  platform::override_resource(kDefaultDbResourceType, kDefaultDbResourceId, resource);
  write_file_with_dirs(rejected_path(), "the user's own file");
  write_db(resource);
  ASSERT_TRUE(load_db());
  EXPECT_EQ("the user's own file", read_file(rejected_path()));
  EXPECT_EQ(with_digest(kTwoFirmwareBody), db_text());
}

// The temporary files of runs killed before their rename are removed by a later load once they
// are old; a young one may be a live writer's (one outside the lock, as kav nvdb sign is).
TEST_F(NvDbTest, OldTemporaryFilesOfKilledRunsAreRemoved) {
  const std::string old_temp = dir_.file("module/.umts_kav_lib.nvi_db.kav-tmp-a1b2c3");
  const std::string young_temp = dir_.file("module/.umts_kav_lib.nvi_db.kav-tmp-d4e5f6");
  write_file_with_dirs(old_temp, "half a database");
  write_file(young_temp, "half a database");
  std::filesystem::last_write_time(
      old_temp, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  ASSERT_TRUE(load_db());
  EXPECT_FALSE(file_exists(old_temp));
  EXPECT_TRUE(file_exists(young_temp));
}

// A load waits for another process's load (the module directory's lock) before it checks the
// file, so it never judges a file that one is still writing.
TEST_F(NvDbTest, LoadsTakeTurnsOnTheModuleDirectory) {
  write_db("garbage\n");
  std::optional<platform::DirectoryLock> other(std::in_place, dir_.file("module"));
  ASSERT_TRUE(other->locked());
  std::thread loader([] { load_db(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ("garbage\n", db_text()) << "checked while another load held the lock";
  EXPECT_FALSE(file_exists(rejected_path()));
  other.reset();
  loader.join();
  EXPECT_EQ("garbage\n", read_file(rejected_path()));
}

TEST_F(NvDbTest, ConcurrentFirstLoadsLeaveASoundFile) {
  pid_t children[4];
  for (pid_t& child : children) {
    child = fork();
    if (child == 0) _exit(load_db() && !nv_item_database().item_names.empty() ? 0 : 1);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const NviDbHeader header = read_nvi_db_header(normalise_line_ends(db_text()));
  EXPECT_TRUE(header.digest_matches);
  EXPECT_THAT(list_dir(dir_.file("module")), ElementsAre("umts_kav_lib.nvi_db"));
}

}  // namespace
}  // namespace kav::test
