#pragma once

// A binary VIF header under construction. Every field is written by name through the same field
// table the system reads with, and a value that does not fit its slot is refused, never cut.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "image/field_table.h"
#include "image/header_handle.h"

namespace vorn::mkvif {

// The text of a refusal; empty on success.
using Refusal = std::string;

class HeaderBuilder {
 public:
  HeaderBuilder() { bytes_.fill(0); }

  Refusal set_u32(std::string_view name, uint32_t value);
  // Refuses a string that does not leave room for the NUL of its slot, or that the text form
  // could not carry: a double quote, CR, LF or NUL, or a field tag (it would shadow that field).
  Refusal set_string(std::string_view name, std::string_view value);
  // The value must have exactly the field's size.
  Refusal set_binary(std::string_view name, std::span<const uint8_t> value);
  // From command-line text: a uint32 as a decimal or 0x-hex number, a string as is, a binary
  // value as hex pairs.
  Refusal set_from_text(std::string_view name, std::string_view value);

  [[nodiscard]] uint32_t get_u32(std::string_view name) const;

  [[nodiscard]] std::span<const uint8_t, image::HEADER_SIZE> bytes() const { return bytes_; }

 private:
  // The row of that name and type, or a refusal text in *why.
  const image::HeaderFieldDesc* row_for(std::string_view name, image::FieldType type,
                                        Refusal* why) const;

  std::array<uint8_t, image::HEADER_SIZE> bytes_;
};

// A whole decimal or 0x-hex number that fits 32 bits; nothing otherwise.
[[nodiscard]] std::optional<uint32_t> parse_u32(std::string_view text);

// Hex pairs (upper or lower case) into bytes; nothing for an odd count or a non-hex character.
[[nodiscard]] std::optional<std::string> parse_hex(std::string_view text);

}  // namespace vorn::mkvif
