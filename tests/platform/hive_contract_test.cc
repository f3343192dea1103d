// The behaviour every RegistryHive shares, run against the .reg file hive and against the
// in-memory FakeRegistry that other tests use in its place, so the fake cannot drift from the
// real hive; then the fake's own failure injection and counters.
#include <cerrno>
#include <functional>
#include <memory>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lib/platform/reg_file.h"
#include "tests/support/fake_registry.h"
#include "tests/support/test_env.h"

namespace kav::platform {
namespace {

using ::testing::ElementsAre;

struct HiveMaker {
  const char* name;
  std::function<std::unique_ptr<RegistryHive>(const std::string& dir)> make;
};

class HiveContractTest : public ::testing::TestWithParam<HiveMaker> {
 protected:
  void SetUp() override { hive_ = GetParam().make(dir_.path()); }
  test::TempDir dir_;
  std::unique_ptr<RegistryHive> hive_;
};

TEST_P(HiveContractTest, KeysAreCreatedOnDemandWithTheirParents) {
  EXPECT_EQ(hive_->open_key("Software\\A\\B", false), ENOENT);
  EXPECT_EQ(hive_->open_key("Software\\A\\B", true), 0);
  EXPECT_EQ(hive_->open_key("SOFTWARE\\a\\b", false), 0);
  EXPECT_EQ(hive_->open_key("software\\A", false), 0);
  EXPECT_EQ(hive_->open_key("Software\\A\\C", false), ENOENT);
}

TEST_P(HiveContractTest, DwordsRoundTripWithoutCase) {
  RegValue v;
  EXPECT_EQ(hive_->query_value("Software\\X", "Val", &v), ENOENT);
  ASSERT_EQ(hive_->set_dword("Software\\X", "Val", 0x12345678), 0);
  ASSERT_EQ(hive_->query_value("SOFTWARE\\x", "VAL", &v), 0);
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_THAT(v.data, ElementsAre(0x78, 0x56, 0x34, 0x12));
  ASSERT_EQ(hive_->set_dword("software\\x", "val", 0), 0);
  ASSERT_EQ(hive_->query_value("Software\\X", "Val", &v), 0);
  EXPECT_THAT(v.data, ElementsAre(0, 0, 0, 0));
  EXPECT_EQ(hive_->query_value("Software\\X", "Other", &v), ENOENT);
  EXPECT_EQ(hive_->open_key("Software\\X", false), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Hives, HiveContractTest,
    ::testing::Values(HiveMaker{"RegFile",
                                [](const std::string& dir) -> std::unique_ptr<RegistryHive> {
                                  return std::make_unique<RegFileHive>(dir + "/user.reg");
                                }},
                      HiveMaker{"Fake",
                                [](const std::string&) -> std::unique_ptr<RegistryHive> {
                                  return std::make_unique<test::FakeRegistry>();
                                }}),
    [](const ::testing::TestParamInfo<HiveMaker>& info) { return std::string(info.param.name); });

TEST(FakeRegistry, HoldsValuesOfAnyTypeAndNamesWithBackslashes) {
  test::FakeRegistry fake;
  fake.set_string("HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\ZqSer0", "COM7");
  fake.set_value("K", "Bin", RegValue{kRegBinary, {1, 2}});
  RegValue v;
  ASSERT_EQ(fake.query_value("hardware\\devicemap\\serialcomm", "\\device\\zqser0", &v), 0);
  EXPECT_EQ(v.type, kRegSz);
  EXPECT_THAT(v.data, ElementsAre('C', 'O', 'M', '7', 0));
  EXPECT_EQ(fake.query_value("HARDWARE\\DEVICEMAP\\SERIALCOMM", "Device\\ZqSer0", &v), ENOENT);
  ASSERT_EQ(fake.query_value("k", "bin", &v), 0);
  EXPECT_EQ(v.type, kRegBinary);
  fake.remove_value("K", "BIN");
  EXPECT_EQ(fake.query_value("K", "Bin", &v), ENOENT);
  EXPECT_TRUE(fake.has_key("K"));
}

TEST(FakeRegistry, FailsOpensOnDemandAndCountsCalls) {
  test::FakeRegistry fake;
  fake.set_dword_value("A", "x", 1);
  fake.add_key("B");
  fake.fail_opens_of("a", EACCES);
  RegValue v;
  EXPECT_EQ(fake.open_key("A", false), EACCES);
  EXPECT_EQ(fake.query_value("A", "x", &v), EACCES);
  EXPECT_EQ(fake.set_dword("A", "x", 2), EACCES);
  EXPECT_EQ(fake.open_key("B", false), 0);
  fake.fail_opens_of("A", 0);
  ASSERT_EQ(fake.query_value("A", "x", &v), 0);
  EXPECT_THAT(v.data, ElementsAre(1, 0, 0, 0));  // the failed write changed nothing

  fake.fail_opens(EIO);
  EXPECT_EQ(fake.open_key("B", true), EIO);
  EXPECT_EQ(fake.open_key("New", true), EIO);
  EXPECT_FALSE(fake.has_key("New"));
  fake.fail_opens(0);
  EXPECT_EQ(fake.open_key("New", true), 0);

  EXPECT_EQ(fake.open_calls(), 5);
  EXPECT_EQ(fake.query_calls(), 2);
  EXPECT_EQ(fake.set_calls(), 1);
}

}  // namespace
}  // namespace kav::platform
