#include "mkvif/info_text.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "image/field_table.h"

namespace vorn::mkvif {

namespace {

bool is_contents_digest(const image::HeaderFieldDesc& row) {
  return row.no_integrity != 0 && std::string_view(row.name).starts_with("contents_");
}

}  // namespace

std::string info_text(const image::HeaderHandle& handle, ContentsDigests digests) {
  std::string text;
  for (const image::HeaderFieldDesc& row : image::FIELD_TABLE) {
    if (digests == ContentsDigests::LEFT_OUT && is_contents_digest(row)) continue;
    std::array<char, image::HEADER_SIZE> value{};
    std::array<char, 16> number{};
    switch (row.type) {
      case image::FIELD_UINT32:
        std::snprintf(number.data(), number.size(), "0x%08x",
                      image::header_get_u32(&handle, row.name));
        text += row.tag + std::string(number.data()) + "\n";
        break;
      case image::FIELD_STRING:
        if (image::header_get_string(&handle, row.name, value.data(), value.size()) != nullptr) {
          text += row.tag + std::string("\"") + value.data() + "\"\n";
        }
        break;
      case image::FIELD_BINARY: {
        auto* bytes = reinterpret_cast<uint8_t*>(value.data());
        const uint32_t length = image::header_get_binary(&handle, row.name, bytes, row.size);
        if (length != row.size) break;
        text += row.tag + std::to_string(length) + ",";
        for (uint32_t i = 0; i < length; ++i) {
          std::snprintf(number.data(), number.size(), "%02X", bytes[i]);
          text += number.data();
        }
        text += "\n";
        break;
      }
    }
  }
  return text;
}

}  // namespace vorn::mkvif
