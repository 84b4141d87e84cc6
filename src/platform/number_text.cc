#include "platform/number_text.h"

#include <climits>

namespace vorn::platform {

int decimal_prefix(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

uint32_t hex_prefix(std::string_view text) {
  // Saturates: a value past 32 bits (or past 64) reads as 0xFFFFFFFF.
  const std::optional<uint64_t> value = hex_prefix64(text);
  return !value || *value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(*value);
}

std::optional<int> plain_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return std::nullopt;
  }
  return static_cast<int>(value);
}

std::optional<uint64_t> hex_prefix64(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  uint64_t value = 0;
  for (char c : text) {
    const int d = hex_digit(c);
    if (d < 0) break;
    if (value > (UINT64_MAX >> 4)) return std::nullopt;
    value = value * 16 + static_cast<uint64_t>(d);
  }
  return value;
}

}  // namespace vorn::platform
