#include "image/text_form.h"

#include <cstring>

#include "image/header_handle.h"
#include "platform/number_text.h"

namespace vorn::image {

namespace {

uint32_t parse_uint32(std::string_view value) {
  // Lower-case "0x" only; hex_prefix then skips it and stops at the first non-hex character.
  if (!value.starts_with("0x")) return 0;
  return platform::hex_prefix(value);
}

uint32_t parse_string(std::string_view value, char* out, uint32_t capacity) {
  if (capacity == 0) return 0;
  uint32_t stored = 0;
  if (value.starts_with('"')) {
    value.remove_prefix(1);
    const size_t end = value.find_first_of("\"\r\n");
    const std::string_view text = value.substr(0, end);
    stored = static_cast<uint32_t>(std::min<size_t>(text.size(), capacity - 1));
    std::memcpy(out, text.data(), stored);
  }
  out[stored] = '\0';
  return stored;
}

uint32_t parse_binary(std::string_view value, uint8_t* out, uint32_t size) {
  if (platform::decimal_prefix(value) != static_cast<int64_t>(size)) return 0;
  const size_t comma = value.find(',');
  if (comma == std::string_view::npos) return 0;
  const std::string_view digits = value.substr(comma + 1);
  uint32_t decoded = 0;
  for (; decoded < size; ++decoded) {
    const size_t at = 2 * static_cast<size_t>(decoded);
    if (at + 1 >= digits.size()) break;
    const int high = platform::hex_digit(digits[at]);
    const int low = platform::hex_digit(digits[at + 1]);
    if (high < 0 || low < 0) break;
    out[decoded] = static_cast<uint8_t>(high << 4 | low);
  }
  return decoded;
}

}  // namespace

uint32_t text_find_in(std::string_view text, std::string_view tag, uint32_t type, void* out,
                      uint32_t capacity) {
  if (tag.empty()) return 0;
  const size_t at = text.find(tag);
  const bool found = at != std::string_view::npos;
  const std::string_view value = found ? text.substr(at + tag.size()) : std::string_view();
  switch (type) {
    case FIELD_UINT32: {
      const uint32_t number = found ? parse_uint32(value) : 0;
      if (out != nullptr && capacity >= sizeof(number)) std::memcpy(out, &number, sizeof(number));
      return number;
    }
    case FIELD_STRING:
      if (out == nullptr) return 0;
      return parse_string(found ? value : std::string_view(), static_cast<char*>(out), capacity);
    case FIELD_BINARY:
      if (out == nullptr || !found) return 0;
      return parse_binary(value, static_cast<uint8_t*>(out), capacity);
    default:
      return 0;
  }
}

uint32_t text_find_field(const char* text, const char* tag, uint32_t type, void* out,
                         uint32_t capacity) {
  if (text == nullptr || tag == nullptr) return 0;
  return text_find_in(text, tag, type, out, capacity);
}

}  // namespace vorn::image
