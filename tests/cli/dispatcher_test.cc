#include "cli/dispatcher.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "main/process_state.h"

namespace vorn::cli {
namespace {

int run(std::vector<std::string> words, std::span<char> reply = {}) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  set_verbosity(VERBOSITY_NORMAL);
  set_reply_buffer({});
  return dispatch(static_cast<int>(words.size()), argv.data(), reply);
}

TEST(Dispatch, MissingOrUnknownWordIsMinusTwo) {
  EXPECT_EQ(run({"vorn"}), DISPATCH_UNKNOWN);
  EXPECT_EQ(run({"vorn", "Help"}), DISPATCH_UNKNOWN);
  EXPECT_EQ(run({"vorn", ""}), DISPATCH_UNKNOWN);
  EXPECT_EQ(run({"vorn", "bogus"}), DISPATCH_UNKNOWN);
}

TEST(Dispatch, InfoHwVersionAnswersTheTagIntoTheReply) {
  hardware_tag_set("zt4100.1.0");
  std::array<char, REPLY_BUFFER_SIZE> reply{};
  testing::internal::CaptureStdout();
  EXPECT_EQ(run({"vorn", "info", "hw_version"}, reply), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "zt4100.1.0");
  EXPECT_STREQ(reply.data(), "zt4100.1.0");
  EXPECT_EQ(verbosity(), VERBOSITY_QUIET);
  hardware_tag_clear();
}

TEST(Dispatch, InfoWithOtherWordsDoesNothing) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(run({"vorn", "info"}), 0);
  EXPECT_EQ(run({"vorn", "info", "foo"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Dispatch, HelpIsSilentThroughTheDaemon) {
  std::array<char, REPLY_BUFFER_SIZE> reply{};
  testing::internal::CaptureStdout();
  EXPECT_EQ(run({"vorn", "help"}, reply), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_STREQ(reply.data(), "");
}

}  // namespace
}  // namespace vorn::cli
