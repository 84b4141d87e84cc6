#include <gtest/gtest.h>

#include <array>
#include <string>

#include "core/hardware_tag.h"
#include "core/progress.h"
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

TEST(Progress, OneLineOfWordsPerRecord) {
  const struct {
    Stage stage;
    int position, count;
    std::string alias;
    int64_t total, done;
    std::string line;
  } cases[] = {
      {Stage::INSTALL, 2, 2, "system", 268435456, 1048576, "install 2/2 system 1048576/268435456"},
      {Stage::CHECK, 1, 3, "", 0, 0, "check 1/3 - 0/0"},
      {Stage::VERIFY, 1, 1, "a b\tcdefghijklmnopq", 10, 10, "verify 1/1 a?b?cdefghijklm 10/10"},
      {Stage::SETUP, 5, 5, "app", 0, 0, "setup 5/5 app 0/0"},
      {Stage::IDLE, 0, 0, "", 0, 0, "idle 0/0 - 0/0"},
  };
  for (const auto& c : cases) {
    progress_begin(c.stage, c.position, c.count, c.alias, c.total);
    progress_bytes(c.done);
    std::array<char, 64> line{};
    EXPECT_EQ(progress_line(line), c.line);
  }
  progress_begin(Stage::INSTALL, 1, 1, "boot", 7);
  progress_idle();
  std::array<char, 8> small{};
  EXPECT_EQ(progress_line(small), "idle 0/");
}

}  // namespace
}  // namespace vorn::core
