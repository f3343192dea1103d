// Paths, directories and wildcard search of the platform layer.
#include "lib/platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lib/platform/error.h"
#include "tests/support/test_env.h"

namespace kav::platform {
namespace {

using test::TempDir;
using test::write_file;
using ::testing::UnorderedElementsAre;

TEST(FullPath, NormalisesAbsolutePathsLexically) {
  EXPECT_EQ(full_path("/a/b/../c/./d"), "/a/c/d");
  EXPECT_EQ(full_path("//a///b//"), "/a/b/");
  EXPECT_EQ(full_path("/a/../../.."), "/");
  EXPECT_EQ(full_path("/no/such/dir/x.txt"), "/no/such/dir/x.txt");  // need not exist
}

TEST(FullPath, ResolvesRelativePathsAgainstTheCurrentDirectory) {
  TempDir dir;
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(full_path("x/../y.txt"), std::string(cwd) + "/y.txt");
  EXPECT_EQ(full_path("."), std::string(cwd));
  EXPECT_EQ(full_path(".."), std::string(cwd).substr(0, std::string(cwd).rfind('/')));
  ASSERT_EQ(chdir(saved), 0);
}

TEST(FullPath, RejectsResultsThatDoNotFit) {
  const std::string long_path = "/" + std::string(300, 'a');
  set_last_error(0);
  EXPECT_EQ(full_path(long_path), std::nullopt);
  EXPECT_EQ(last_error(), ENAMETOOLONG);
  // The bound is on the normalised result: ".." can bring a long text within it.
  EXPECT_EQ(full_path(long_path + "/.."), "/");
  EXPECT_EQ(full_path("/abcd", 6), "/abcd");
  EXPECT_EQ(full_path("/abcde", 6), std::nullopt);
}

TEST(FindFiles, MatchesStarAndQuestionMark) {
  TempDir dir;
  for (const char* name :
       {"nv_items.dat", "nv_items.bak", "nv_item.dat", "other.dat", ".hidden.dat"})
    write_file(dir.file(name), "x");
  std::vector<std::string> names;
  ASSERT_EQ(find_files(dir.file("*.dat"), &names), 0);
  EXPECT_THAT(names, UnorderedElementsAre("nv_items.dat", "nv_item.dat", "other.dat"));
  ASSERT_EQ(find_files(dir.file("nv_item?.*"), &names), 0);
  EXPECT_THAT(names, UnorderedElementsAre("nv_items.dat", "nv_items.bak"));
  ASSERT_EQ(find_files(dir.file("other.dat"), &names), 0);
  EXPECT_THAT(names, UnorderedElementsAre("other.dat"));
}

TEST(FindFiles, NoMatchOrNoDirectoryIsENOENT) {
  TempDir dir;
  write_file(dir.file("a.txt"), "x");
  std::vector<std::string> names{"stale"};
  EXPECT_EQ(find_files(dir.file("*.dat"), &names), ENOENT);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(last_error(), ENOENT);
  EXPECT_EQ(find_files(dir.file("missing/*"), &names), ENOENT);
}

TEST(MakeDirectory, CreatesOneLevelAndReportsFailures) {
  TempDir dir;
  EXPECT_TRUE(make_directory(dir.file("one")));
  EXPECT_TRUE(path_exists(dir.file("one")));
  EXPECT_FALSE(make_directory(dir.file("one")));
  EXPECT_EQ(last_error(), EEXIST);
  EXPECT_FALSE(make_directory(dir.file("two/three")));  // parents are not made
  EXPECT_EQ(last_error(), ENOENT);
  EXPECT_FALSE(path_exists(dir.file("two")));
}

TEST(Environment, RootAndModuleDirectoryFollowTheVariables) {
  setenv("UMTS_KAV_ROOT", "/tmp/root", 1);
  EXPECT_EQ(root_path("sys/class/tty"), "/tmp/root/sys/class/tty");
  setenv("UMTS_KAV_ROOT", "", 1);
  EXPECT_EQ(root_dir(), "/");
  setenv("UMTS_KAV_MODULE_DIR", "/opt/kav", 1);
  const std::optional<std::string> module = module_file_name();
  ASSERT_TRUE(module);
  EXPECT_EQ(module->rfind("/opt/kav/", 0), 0u);
  EXPECT_EQ(module->find('/', 9), std::string::npos);
}

// An installed program keeps its module files per user, whoever runs it; a program anywhere
// else (a build tree, a copy in another directory) beside itself; UMTS_KAV_MODULE_DIR wins.
TEST(Environment, ModuleFileOfAnInstalledProgramIsPerUser) {
  test::ScopedEnv data("XDG_DATA_HOME", "/home/ann/.data");
  struct Case {
    const char* exe;
    const char* module_dir;
    const char* bindir;
    const char* expected;
  };
  const Case cases[] = {
      {"/usr/bin/kelnorset", "", "/usr/bin", "/home/ann/.data/umts_kav_lib/kelnorset"},
      {"/usr/bin/kelnorset", "", "/usr/bin/", "/home/ann/.data/umts_kav_lib/kelnorset"},
      {"/usr/bin/kelnorset", "/opt/kav/", "/usr/bin", "/opt/kav/kelnorset"},
      {"/usr/bin/kelnorset", "/", "/usr/bin", "/kelnorset"},
      {"/usr/local/bin/kelnorset", "", "/usr/bin", "/usr/local/bin/kelnorset"},
      {"/usr/bin/sub/kelnorset", "", "/usr/bin", "/usr/bin/sub/kelnorset"},
      {"/work/build/tool/kelnorset", "", "/usr/local/bin", "/work/build/tool/kelnorset"},
      {"/usr/bin/kelnorset", "", "", "/usr/bin/kelnorset"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(module_file_for(c.exe, c.module_dir, c.bindir), c.expected)
        << c.exe << " with \"" << c.module_dir << "\", bindir \"" << c.bindir << "\"";
  }
}

}  // namespace
}  // namespace kav::platform

namespace kav::platform {
namespace {

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, lstat(path.c_str(), &st));
  return st.st_mode;
}

// A rewrite keeps the file's mode, a new file gets 0666 less the umask, and a link planted at
// the name is replaced, never written through; no temporary file stays behind.
TEST(ReplaceFile, WritesWholeFilesWithoutFollowingLinks) {
  TempDir dir;
  const std::string file = dir.file("db");
  const mode_t old_mask = umask(027);
  ASSERT_EQ(0, replace_file(file, "one"));
  umask(old_mask);
  EXPECT_EQ(0640u, mode_of(file) & 07777);
  ASSERT_EQ(0, chmod(file.c_str(), 0600));
  ASSERT_EQ(0, replace_file(file, "two"));
  EXPECT_EQ("two", test::read_file(file));
  EXPECT_EQ(0600u, mode_of(file) & 07777);
  const std::string target = dir.file("target");
  write_file(target, "victim");
  ASSERT_EQ(0, chmod(target.c_str(), 0640));
  ASSERT_EQ(0, unlink(file.c_str()));
  ASSERT_EQ(0, symlink(target.c_str(), file.c_str()));
  ASSERT_EQ(0, replace_file(file, "three"));
  EXPECT_EQ("victim", test::read_file(target));
  EXPECT_TRUE(S_ISREG(mode_of(file)));
  EXPECT_EQ(0666u & ~old_mask, mode_of(file) & 07777);
  EXPECT_EQ(std::vector<std::string>({"db", "target"}), test::list_dir(dir.path()));
  bool created = true;
  EXPECT_EQ(ENOENT, replace_file(dir.file("missing/db"), "x", &created));
  EXPECT_FALSE(created);
}

// A new file appears whole under a free name or not at all: a taken name, a planted link among
// them, is left as it was, and no temporary file stays behind.
TEST(CreateFileWhole, TakesOnlyAFreeName) {
  TempDir dir;
  write_file(dir.file("taken"), "old");
  ASSERT_EQ(0, symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()));
  ASSERT_EQ(0, symlink(dir.file("taken").c_str(), dir.file("link").c_str()));
  const mode_t old_mask = umask(027);
  const struct {
    const char* name;
    int error;
  } cases[] = {{"new", 0}, {"taken", EEXIST}, {"dangling", EEXIST}, {"link", EEXIST}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error, create_file_whole(dir.file(c.name), "text"));
  }
  umask(old_mask);
  EXPECT_EQ("text", test::read_file(dir.file("new")));
  EXPECT_EQ(0640u, mode_of(dir.file("new")) & 07777);
  EXPECT_EQ("old", test::read_file(dir.file("taken")));
  EXPECT_EQ(std::vector<std::string>({"dangling", "link", "new", "taken"}),
            test::list_dir(dir.path()));
  EXPECT_EQ(ENOENT, create_file_whole(dir.file("missing/new"), "x"));
}

TEST(ReadWholeFile, RefusesFilesAboveTheLimit) {
  TempDir dir;
  write_file(dir.file("f"), std::string(100, 'x'));
  std::string text;
  EXPECT_EQ(0, read_whole_file(dir.file("f"), &text, 100));
  EXPECT_EQ(100u, text.size());
  EXPECT_EQ(kErrorFileTooLarge, read_whole_file(dir.file("f"), &text, 99));
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(ENOENT, read_whole_file(dir.file("none"), &text));
}

}  // namespace
}  // namespace kav::platform
