#include "main/process_state.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace vorn {
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

TEST(HardwareTag, HoldsAtMost127Characters) {
  EXPECT_TRUE(hardware_tag_set(std::string(127, 'x')));
  EXPECT_EQ(std::string(hardware_tag()).size(), 127u);
  EXPECT_FALSE(hardware_tag_set(std::string(128, 'x')));
  EXPECT_STREQ(hardware_tag(), "");
  hardware_tag_clear();
}

TEST(ReplyBuffer, AppendsAndCutsAtTheEndWithoutOverflow) {
  std::array<char, REPLY_BUFFER_SIZE + 8> storage{};
  storage.fill('#');
  std::span<char> reply(storage.data(), REPLY_BUFFER_SIZE);
  reply[0] = '\0';
  set_reply_buffer(reply);
  EXPECT_TRUE(reply_append("abc"));
  EXPECT_TRUE(reply_append("|def"));
  EXPECT_STREQ(reply.data(), "abc|def");
  EXPECT_FALSE(reply_append(std::string(600, 'z')));
  EXPECT_EQ(std::string(reply.data()).size(), REPLY_BUFFER_SIZE - 1);
  for (size_t i = REPLY_BUFFER_SIZE; i < storage.size(); ++i) EXPECT_EQ(storage[i], '#');
  set_reply_buffer({});
  EXPECT_TRUE(reply_append("ignored"));
}

}  // namespace
}  // namespace vorn
