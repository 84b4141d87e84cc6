#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorn::platform {

// atoi(3) over a view: leading blanks, an optional sign, then decimal digits up to the first
// non-digit; 0 when there is none. Values beyond the int range saturate.
[[nodiscard]] int decimal_prefix(std::string_view text);

// Hexadecimal digits from the start of the text (an optional "0x"/"0X" is skipped), up to the
// first non-hex character; 0 when there is none; saturates at 0xFFFFFFFF.
[[nodiscard]] uint32_t hex_prefix(std::string_view text);

// The value of a text that is one or more decimal digits and nothing else (no blank, sign or
// prefix), at most INT_MAX; nullopt for anything else, so that a typo never reads as a number.
[[nodiscard]] std::optional<int> plain_decimal(std::string_view text);

// As hex_prefix, over 64 bits; nullopt when the value does not fit 64 bits.
[[nodiscard]] std::optional<uint64_t> hex_prefix64(std::string_view text);

// Value of one hex digit, or -1.
[[nodiscard]] constexpr int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace vorn::platform
