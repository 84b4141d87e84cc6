#include "upgrade/installed_regions.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn::upgrade {
namespace {

TEST(InstalledRegions, AddJoinsWithCommasAndClearEmpties) {
  installed_regions_clear();
  EXPECT_EQ(installed_regions_add("boot"), 0);
  EXPECT_EQ(installed_regions_add("system~1"), 0);
  EXPECT_STREQ(installed_regions(), "boot,system~1");
  EXPECT_EQ(installed_regions_add(nullptr), -1);
  installed_regions_clear();
  EXPECT_STREQ(installed_regions(), "");
}

TEST(InstalledRegions, RefusesAnIdThatWouldNotFitAndKeepsTheList) {
  installed_regions_clear();
  const std::string long_id(120, 'a');
  ASSERT_EQ(installed_regions_add(long_id.c_str()), 0);
  EXPECT_EQ(installed_regions_add("system~1"), -1);
  EXPECT_EQ(std::string(installed_regions()), long_id);
  const std::string exact(127 - 121, 'b');  // list + "," + id = 127 characters
  EXPECT_EQ(installed_regions_add(exact.c_str()), 0);
  EXPECT_EQ(std::string(installed_regions()).size(), 127u);
  installed_regions_clear();
}

}  // namespace
}  // namespace vorn::upgrade
