#pragma once

// Little-endian integers of our records (image header, boot environment block, socket frames),
// decoded and encoded byte by byte whatever the host's byte order.

#include <cstdint>
#include <span>

namespace vorn::platform {

[[nodiscard]] constexpr uint16_t load_le16(std::span<const uint8_t, 2> bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

[[nodiscard]] constexpr uint32_t load_le32(std::span<const uint8_t, 4> bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

constexpr void store_le16(std::span<uint8_t, 2> out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

constexpr void store_le32(std::span<uint8_t, 4> out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace vorn::platform
