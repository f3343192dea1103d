// Compiled-in resources: look-up by type and id, and the test overrides.
#include "lib/platform/resources.h"

#include <gtest/gtest.h>

#include "lib/platform/error.h"

namespace kav::platform {
namespace {

TEST(Resources, FindsCompiledInBlocksAndReportsMissingOnes) {
  restore_resources();
  const auto block = find_resource("UMTS_KAV_LIB_DEFAULT_DB", 28544);
  ASSERT_TRUE(block);
  EXPECT_GT(block->size, 0u);
  EXPECT_FALSE(find_resource("UMTS_KAV_LIB_DEFAULT_DB", 28545));
  EXPECT_EQ(kErrorResourceNameNotFound, last_error());
  EXPECT_FALSE(find_resource("NO_SUCH_TYPE", 28544));
  EXPECT_EQ(kErrorResourceTypeNotFound, last_error());

  override_resource("UMTS_KAV_LIB_DEFAULT_DB", 28544, std::string("abc"));
  const auto replaced = find_resource("UMTS_KAV_LIB_DEFAULT_DB", 28544);
  ASSERT_TRUE(replaced);
  EXPECT_EQ("abc", std::string(reinterpret_cast<const char*>(replaced->data), replaced->size));
  override_resource("UMTS_KAV_LIB_DEFAULT_DB", 28544, std::nullopt);
  EXPECT_FALSE(find_resource("UMTS_KAV_LIB_DEFAULT_DB", 28544));
  restore_resources();
  const auto again = find_resource("UMTS_KAV_LIB_DEFAULT_DB", 28544);
  ASSERT_TRUE(again);
  EXPECT_EQ(block->data, again->data);
}

}  // namespace
}  // namespace kav::platform
