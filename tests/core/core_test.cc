#include <gtest/gtest.h>

#include <array>
#include <string>

#include "core/hardware_tag.h"
#include "core/reply_buffer.h"

namespace vorn::core {
namespace {

// A cut tag could match another model: it is refused and left empty.
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
}  // namespace vorn::core
