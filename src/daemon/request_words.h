#pragma once

#include <array>
#include <span>
#include <string_view>

namespace vorn::daemon {

inline constexpr int MAX_REQUEST_WORDS = 8;
inline constexpr int WORDS_TOO_MANY = -1;

// The words of one request, pointing into the request buffer; words[count] is null.
struct RequestWords {
  int count = 0;
  std::array<char*, MAX_REQUEST_WORDS + 1> words{};
};

// Splits the text in place: white space (space, tab, newline, vertical tab, form feed, carriage
// return) becomes NUL and every word start is recorded. The text ends at its first NUL, which
// the span must hold (the request's terminator) so that the last word is terminated too. Returns
// the word count (0 to 8), or WORDS_TOO_MANY when a ninth word starts (out then holds the first
// eight).
[[nodiscard]] int split_words(std::span<char> text, RequestWords& out);

// The request text as the log shows it: a URL without its user information and query string,
// which may hold a password or a token. Cut at the end of out. Returns the text.
std::string_view request_for_log(const char* request, std::span<char> out);

}  // namespace vorn::daemon
