#include "daemon/request_words.h"

namespace vorn::daemon {

namespace {

constexpr bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

int split_words(std::span<char> text, RequestWords& out) {
  out = RequestWords{};
  bool in_word = false;
  for (char& c : text) {
    if (c == '\0') break;
    if (is_blank(c)) {
      c = '\0';
      in_word = false;
    } else if (!in_word) {
      if (out.count == MAX_REQUEST_WORDS) return WORDS_TOO_MANY;
      out.words[static_cast<size_t>(out.count++)] = &c;
      in_word = true;
    }
  }
  return out.count;
}

}  // namespace vorn::daemon
