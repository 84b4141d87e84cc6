#include "cli/dispatcher.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "cli/dispatch_words.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"

namespace vorn::cli {
namespace {

int run(std::vector<std::string> words, std::span<char> reply = {}) {
  return test::dispatch_words(std::move(words), reply);
}

TEST(Dispatch, MissingOrUnknownWordIsMinusTwo) {
  EXPECT_EQ(run({"vorn"}), DISPATCH_UNKNOWN);
  EXPECT_EQ(run({"vorn", "Help"}), DISPATCH_UNKNOWN);
  EXPECT_EQ(run({"vorn", ""}), DISPATCH_UNKNOWN);
  EXPECT_EQ(run({"vorn", "bogus"}), DISPATCH_UNKNOWN);
}

TEST(Dispatch, InfoHwVersionAnswersTheTagIntoTheReply) {
  core::hardware_tag_set("zt4100.1.0");
  std::array<char, core::REPLY_BUFFER_SIZE> reply{};
  testing::internal::CaptureStdout();
  EXPECT_EQ(run({"vorn", "info", "hw_version"}, reply), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "zt4100.1.0");
  EXPECT_STREQ(reply.data(), "zt4100.1.0");
  EXPECT_EQ(core::verbosity(), core::VERBOSITY_QUIET);
  core::hardware_tag_clear();
}

TEST(Dispatch, InfoWithOtherWordsDoesNothing) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(run({"vorn", "info"}), 0);
  EXPECT_EQ(run({"vorn", "info", "foo"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Dispatch, HelpIsSilentThroughTheDaemon) {
  std::array<char, core::REPLY_BUFFER_SIZE> reply{};
  testing::internal::CaptureStdout();
  EXPECT_EQ(run({"vorn", "help"}, reply), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_STREQ(reply.data(), "");
}

}  // namespace
}  // namespace vorn::cli
