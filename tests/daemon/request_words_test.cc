#include "daemon/request_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorn::daemon {
namespace {

// Splits a copy of text (with its terminator) and returns the words, or {"<too many>"}.
std::vector<std::string> split(std::string text) {
  text.push_back('\0');
  RequestWords words;
  const int count = split_words(text, words);
  if (count == WORDS_TOO_MANY) return {"<too many>"};
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.emplace_back(words.words[static_cast<size_t>(i)]);
  EXPECT_EQ(words.words[static_cast<size_t>(count)], nullptr);
  return out;
}

using Words = std::vector<std::string>;

TEST(RequestWords, SplitsAtRunsOfWhiteSpace) {
  EXPECT_EQ(split("vorn getprop sys.eth.if"), (Words{"vorn", "getprop", "sys.eth.if"}));
  EXPECT_EQ(split(" \t vorn\n\v\f\rinfo  \r\n"), (Words{"vorn", "info"}));
}

TEST(RequestWords, WhiteSpaceOnlyHasNoWords) {
  EXPECT_EQ(split(" \t\n\v\f\r "), Words{});
  EXPECT_EQ(split(""), Words{});
}

TEST(RequestWords, EightWordsAreAcceptedNineAreNot) {
  EXPECT_EQ(split("1 2 3 4 5 6 7 8"), (Words{"1", "2", "3", "4", "5", "6", "7", "8"}));
  EXPECT_EQ(split("1 2 3 4 5 6 7 8   "), (Words{"1", "2", "3", "4", "5", "6", "7", "8"}));
  EXPECT_EQ(split("1 2 3 4 5 6 7 8 9"), Words{"<too many>"});
}

TEST(RequestWords, TextEndsAtTheFirstNul) {
  EXPECT_EQ(split(std::string("vorn info\0 a b c d e f g h i", 29)), (Words{"vorn", "info"}));
  EXPECT_EQ(split(std::string("\0vorn", 5)), Words{});
}

TEST(RequestWords, WordsPointIntoTheBuffer) {
  char text[] = "appalive set 10 0";
  RequestWords words;
  ASSERT_EQ(split_words(text, words), 4);
  EXPECT_EQ(words.words[0], text);
  EXPECT_EQ(words.words[3], text + 16);
  EXPECT_EQ(text[8], '\0');
}

}  // namespace
}  // namespace vorn::daemon
