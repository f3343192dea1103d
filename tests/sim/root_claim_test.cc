#include "sim/root_claim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "sim/device_tree.h"
#include "tests/support/device_root.h"
#include "tests/support/test_env.h"

namespace kav::sim {
namespace {

namespace fs = std::filesystem;

// A victim directory outside the root, shaped like the tree below the USB controller, holding
// one file that must survive.
struct Victim {
  explicit Victim(const test::TempDir& dir) : path(dir.file("victim")) {
    test::write_file_with_dirs(path + "/usb1/1-2/precious", "keep me");
  }
  bool untouched() const {
    return fs::exists(path + "/usb1/1-2/precious") && test::list_dir(path).size() == 1 &&
           test::list_dir(path + "/usb1/1-2").size() == 1;
  }
  std::string path;
};

// A link planted where the simulator makes a directory (or as the root itself) is refused,
// and nothing it points at is touched.
TEST(RootClaimTest, RefusesLinksWhereTheTreeGoes) {
  const char* const planted[] = {"",
                                 "sys",
                                 "sys/devices/pci0000:00/0000:00:14.0",
                                 "sys/devices/pci0000:00/0000:00:1c.0",
                                 "sys/class/tty",
                                 "dev"};
  for (const std::string place : planted) {
    SCOPED_TRACE("link at root/" + place);
    test::TempDir dir;
    Victim victim(dir);
    const std::string root = dir.file("root");
    const std::string link = place.empty() ? root : root + "/" + place;
    fs::create_directories(fs::path(link).parent_path());
    fs::create_directory_symlink(victim.path, link);
    EXPECT_THROW(RootClaim claim(root), std::runtime_error);
    EXPECT_TRUE(victim.untouched());
  }
}

TEST(RootClaimTest, RefusesARootOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "handing a directory to another user needs root";
  test::TempDir dir;
  const std::string root = dir.file("root");
  fs::create_directories(root + "/" + kPciBase + "/usb1");
  ASSERT_EQ(0, ::chown(root.c_str(), 4242, 4242));
  EXPECT_THROW(RootClaim claim(root), std::runtime_error);
  EXPECT_TRUE(fs::exists(root + "/" + kPciBase + "/usb1"));
}

// A link planted inside the tree while it runs leads neither writes nor removals out of it.
TEST(RootClaimTest, TreeNeitherWritesNorRemovesThroughALink) {
  test::TempDir dir;
  Victim victim(dir);
  test::DeviceRoot root;
  const std::string base = root.path() + "/" + kPciBase;
  fs::create_directories(fs::path(base).parent_path());
  fs::create_directory_symlink(victim.path, base);
  const UsbDeviceSpec usb{0x05c6, 0x9025, 0x0318, "1-2", 0, {}};
  EXPECT_THROW(root.tree().add_device(usb), std::runtime_error);
  EXPECT_TRUE(victim.untouched());

  fs::remove(base);
  const DeviceHandle handle = root.tree().add_device(usb);
  fs::rename(base, dir.file("moved"));
  fs::create_directory_symlink(victim.path, base);
  EXPECT_TRUE(root.tree().remove_device(handle));
  EXPECT_TRUE(victim.untouched());
}

}  // namespace
}  // namespace kav::sim
