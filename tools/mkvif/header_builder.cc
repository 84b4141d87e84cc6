#include "mkvif/header_builder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/number_text.h"

namespace vorn::mkvif {

using image::FIELD_BINARY;
using image::FIELD_STRING;
using image::FIELD_TABLE;
using image::FIELD_UINT32;
using image::HeaderFieldDesc;

namespace {

const char* type_name(image::FieldType type) {
  switch (type) {
    case FIELD_STRING:
      return "a string";
    case FIELD_UINT32:
      return "a 32-bit number";
    case FIELD_BINARY:
      return "a binary value";
  }
  return "?";
}

}  // namespace

std::optional<uint32_t> parse_u32(std::string_view text) {
  if (text.empty() || text.front() == '-' || text.front() == '+' || text.front() == ' ') {
    return std::nullopt;
  }
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(copy.c_str(), &end, 0);
  if (errno != 0 || end != copy.c_str() + copy.size() || value > 0xFFFFFFFFull) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::optional<std::string> parse_hex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = platform::hex_digit(text[i]);
    const int low = platform::hex_digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high << 4 | low));
  }
  return bytes;
}

const HeaderFieldDesc* HeaderBuilder::row_for(std::string_view name, image::FieldType type,
                                              Refusal* why) const {
  const HeaderFieldDesc* row = image::field_find(name, image::HEADER_VERSION_MAX);
  if (row == nullptr) {
    *why = "unknown header field '" + std::string(name) + "'";
    return nullptr;
  }
  if (row->type != type) {
    *why = "header field '" + std::string(name) + "' holds " + type_name(row->type);
    return nullptr;
  }
  return row;
}

Refusal HeaderBuilder::set_u32(std::string_view name, uint32_t value) {
  Refusal why;
  const HeaderFieldDesc* row = row_for(name, FIELD_UINT32, &why);
  if (row == nullptr) return why;
  for (uint32_t i = 0; i < image::UINT32_SIZE; ++i) {
    bytes_[row->offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  return {};
}

uint32_t HeaderBuilder::get_u32(std::string_view name) const {
  const HeaderFieldDesc* row = image::field_find(name, image::HEADER_VERSION_MAX);
  if (row == nullptr || row->type != FIELD_UINT32) return 0;
  uint32_t value = 0;
  for (uint32_t i = 0; i < image::UINT32_SIZE; ++i) {
    value |= static_cast<uint32_t>(bytes_[row->offset + i]) << (8 * i);
  }
  return value;
}

Refusal HeaderBuilder::set_string(std::string_view name, std::string_view value) {
  Refusal why;
  const HeaderFieldDesc* row = row_for(name, FIELD_STRING, &why);
  if (row == nullptr) return why;
  const std::string field(name);
  if (value.size() >= row->size) {
    return field + " is " + std::to_string(value.size()) + " characters long; at most " +
           std::to_string(row->size - 1) + " fit";
  }
  if (value.find_first_of(std::string_view("\"\r\n\0", 4)) != std::string_view::npos) {
    return field + " may not hold a double quote, a line break or a NUL";
  }
  for (const HeaderFieldDesc& other : FIELD_TABLE) {
    if (value.find(other.tag) != std::string_view::npos) {
      return field + " may not hold the tag " + other.tag + " of the text form";
    }
  }
  std::memset(&bytes_[row->offset], 0, row->size);
  std::memcpy(&bytes_[row->offset], value.data(), value.size());
  return {};
}

Refusal HeaderBuilder::set_binary(std::string_view name, std::span<const uint8_t> value) {
  Refusal why;
  const HeaderFieldDesc* row = row_for(name, FIELD_BINARY, &why);
  if (row == nullptr) return why;
  if (value.size() != row->size) {
    return std::string(name) + " takes exactly " + std::to_string(row->size) + " bytes, not " +
           std::to_string(value.size());
  }
  std::memcpy(&bytes_[row->offset], value.data(), value.size());
  return {};
}

Refusal HeaderBuilder::set_from_text(std::string_view name, std::string_view value) {
  const HeaderFieldDesc* row = image::field_find(name, image::HEADER_VERSION_MAX);
  if (row == nullptr) return "unknown header field '" + std::string(name) + "'";
  switch (row->type) {
    case FIELD_UINT32: {
      const std::optional<uint32_t> number = parse_u32(value);
      if (!number) {
        return std::string(name) + ": '" + std::string(value) +
               "' is not a number that fits 32 bits";
      }
      return set_u32(name, *number);
    }
    case FIELD_STRING:
      return set_string(name, value);
    case FIELD_BINARY: {
      const std::optional<std::string> bytes = parse_hex(value);
      if (!bytes) return std::string(name) + ": '" + std::string(value) + "' is not hex pairs";
      return set_binary(name, std::span<const uint8_t>(
                                  reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()));
    }
  }
  return "unknown header field '" + std::string(name) + "'";
}

}  // namespace vorn::mkvif
