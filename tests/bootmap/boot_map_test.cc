#include "bootmap/boot_map.h"

#include <gtest/gtest.h>

namespace vorn::bootmap {
namespace {

TEST(BootMap, Placeholder) { EXPECT_EQ(bootmap_region_count(), 0); }

}  // namespace
}  // namespace vorn::bootmap
