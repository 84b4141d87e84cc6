#include "daemon/request_words.h"

#include <array>
#include <string_view>

#include "platform/fixed_text.h"
#include "storage/url_source.h"

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

std::string_view request_for_log(const char* request, std::span<char> out) {
  platform::copy_text(out, "");
  std::string_view rest = request != nullptr ? request : "";
  while (!rest.empty()) {
    size_t n = 0;
    while (n < rest.size() && !is_blank(rest[n])) ++n;
    std::string_view word = rest.substr(0, n);
    std::array<char, storage::URL_TEXT_SIZE> shown{};
    if (word.starts_with("http://") || word.starts_with("https://")) {
      word = storage::url_shown(word, shown);
    }
    (void)platform::append_text(out, word);
    (void)platform::append_text(out, rest.substr(n, n < rest.size() ? 1 : 0));
    rest.remove_prefix(n < rest.size() ? n + 1 : n);
  }
  return platform::slot_text(out);
}

}  // namespace vorn::daemon
