#include "upgrade/installed_regions.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn::upgrade {
namespace {

// A list that would not fit is refused whole: a cut list would skip a setup script.
TEST(InstalledRegions, JoinsWithCommasAndRefusesWhatWouldNotFit) {
  installed_regions_clear();
  ASSERT_EQ(installed_regions_add("boot"), 0);
  ASSERT_EQ(installed_regions_add(std::string(127 - 5, 's').c_str()), 0);  // exactly 127
  EXPECT_EQ(std::string(installed_regions()), "boot," + std::string(122, 's'));
  EXPECT_EQ(installed_regions_add("x"), -1);
  EXPECT_EQ(installed_regions_add(nullptr), -1);
  EXPECT_EQ(std::string(installed_regions()).size(), 127u);
  installed_regions_clear();
  EXPECT_STREQ(installed_regions(), "");
}

}  // namespace
}  // namespace vorn::upgrade
