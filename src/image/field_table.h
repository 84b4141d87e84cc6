#pragma once

// The header field table: the one place that maps a field name to its slot in the binary header
// and its tag in the text form. Its row order is the order of the header's integrity stream.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "image/header_handle.h"

namespace vorn::image {

struct HeaderFieldDesc {
  const char* name;        // field name, unique in the table
  uint32_t offset;         // byte offset in the binary header
  const char* tag;         // ".$" name "$=": the key of the field in the text form
  FieldType type;          // FIELD_STRING, FIELD_UINT32 or FIELD_BINARY
  uint32_t size;           // binary: exact length; string: slot size; uint32: 0
  uint32_t no_integrity;   // 1: left out of the header's integrity stream
  uint32_t since_version;  // lowest header version that has the field
};

inline constexpr uint32_t STRING_SLOT_SHORT = 16;  // alias, version: 15 characters and a NUL
inline constexpr uint32_t STRING_SLOT_LONG = 64;   // req_hw, req_sw0..4: 63 characters and a NUL
inline constexpr uint32_t MAGIC_SIZE = 8;
inline constexpr uint32_t SHA1_SIZE = 20;
inline constexpr uint32_t UINT32_SIZE = 4;

inline constexpr size_t FIELD_COUNT = 24;

// clang-format off
inline constexpr std::array<HeaderFieldDesc, FIELD_COUNT> FIELD_TABLE{{
  {.name = "magic",             .offset = 0x000, .tag = ".$magic$=",             .type = FIELD_BINARY, .size = MAGIC_SIZE,        .no_integrity = 0, .since_version = 1},
  {.name = "hdr_type",          .offset = 0x008, .tag = ".$hdr_type$=",          .type = FIELD_UINT32, .size = 0,                 .no_integrity = 0, .since_version = 1},
  {.name = "hdr_version",       .offset = 0x00C, .tag = ".$hdr_version$=",       .type = FIELD_UINT32, .size = 0,                 .no_integrity = 0, .since_version = 1},
  {.name = "hdr_cap",           .offset = 0x010, .tag = ".$hdr_cap$=",           .type = FIELD_UINT32, .size = 0,                 .no_integrity = 0, .since_version = 1},
  {.name = "hdr_size",          .offset = 0x014, .tag = ".$hdr_size$=",          .type = FIELD_UINT32, .size = 0,                 .no_integrity = 0, .since_version = 1},
  {.name = "hdr_checksum",      .offset = 0x018, .tag = ".$hdr_checksum$=",      .type = FIELD_UINT32, .size = 0,                 .no_integrity = 1, .since_version = 1},
  {.name = "hdr_crc32",         .offset = 0x01C, .tag = ".$hdr_crc32$=",         .type = FIELD_UINT32, .size = 0,                 .no_integrity = 1, .since_version = 1},
  {.name = "hdr_sha1",          .offset = 0x020, .tag = ".$hdr_sha1$=",          .type = FIELD_BINARY, .size = SHA1_SIZE,         .no_integrity = 1, .since_version = 1},
  {.name = "alias",             .offset = 0x040, .tag = ".$alias$=",             .type = FIELD_STRING, .size = STRING_SLOT_SHORT, .no_integrity = 0, .since_version = 1},
  {.name = "timestamp",         .offset = 0x050, .tag = ".$timestamp$=",         .type = FIELD_UINT32, .size = 0,                 .no_integrity = 0, .since_version = 1},
  {.name = "tag_setup",         .offset = 0x054, .tag = ".$tag_setup$=",         .type = FIELD_UINT32, .size = 0,                 .no_integrity = 0, .since_version = 1},
  {.name = "req_hw",            .offset = 0x074, .tag = ".$req_hw$=",            .type = FIELD_STRING, .size = STRING_SLOT_LONG,  .no_integrity = 0, .since_version = 1},
  {.name = "req_sw0",           .offset = 0x0B4, .tag = ".$req_sw0$=",           .type = FIELD_STRING, .size = STRING_SLOT_LONG,  .no_integrity = 0, .since_version = 1},
  {.name = "req_sw1",           .offset = 0x0F4, .tag = ".$req_sw1$=",           .type = FIELD_STRING, .size = STRING_SLOT_LONG,  .no_integrity = 0, .since_version = 1},
  {.name = "req_sw2",           .offset = 0x134, .tag = ".$req_sw2$=",           .type = FIELD_STRING, .size = STRING_SLOT_LONG,  .no_integrity = 0, .since_version = 1},
  {.name = "req_sw3",           .offset = 0x174, .tag = ".$req_sw3$=",           .type = FIELD_STRING, .size = STRING_SLOT_LONG,  .no_integrity = 0, .since_version = 1},
  {.name = "req_sw4",           .offset = 0x1B4, .tag = ".$req_sw4$=",           .type = FIELD_STRING, .size = STRING_SLOT_LONG,  .no_integrity = 0, .since_version = 1},
  {.name = "version",           .offset = 0x200, .tag = ".$version$=",           .type = FIELD_STRING, .size = STRING_SLOT_SHORT, .no_integrity = 0, .since_version = 1},
  {.name = "contents_off",      .offset = 0x1F4, .tag = ".$contents_off$=",      .type = FIELD_UINT32, .size = 0,                 .no_integrity = 0, .since_version = 1},
  {.name = "contents_size",     .offset = 0x1F8, .tag = ".$contents_size$=",     .type = FIELD_UINT32, .size = 0,                 .no_integrity = 0, .since_version = 1},
  {.name = "contents_type",     .offset = 0x1FC, .tag = ".$contents_type$=",     .type = FIELD_UINT32, .size = 0,                 .no_integrity = 0, .since_version = 1},
  {.name = "contents_checksum", .offset = 0x210, .tag = ".$contents_checksum$=", .type = FIELD_UINT32, .size = 0,                 .no_integrity = 1, .since_version = 1},
  {.name = "contents_crc32",    .offset = 0x214, .tag = ".$contents_crc32$=",    .type = FIELD_UINT32, .size = 0,                 .no_integrity = 1, .since_version = 1},
  {.name = "contents_sha1",     .offset = 0x218, .tag = ".$contents_sha1$=",     .type = FIELD_BINARY, .size = SHA1_SIZE,         .no_integrity = 1, .since_version = 1},
}};
// clang-format on

// Bytes a field occupies in the binary header.
[[nodiscard]] constexpr uint32_t field_slot_size(const HeaderFieldDesc& row) {
  return row.type == FIELD_UINT32 ? UINT32_SIZE : row.size;
}

// The row of that name visible to a header of the given version; null when there is none.
[[nodiscard]] constexpr const HeaderFieldDesc* field_find(std::string_view name, uint32_t version) {
  const auto* row = std::ranges::find_if(FIELD_TABLE, [&](const HeaderFieldDesc& r) {
    return name == r.name && version >= r.since_version;
  });
  return row == FIELD_TABLE.end() ? nullptr : row;
}

namespace field_table_checks {

constexpr bool names_unique() {
  for (size_t i = 0; i < FIELD_TABLE.size(); ++i) {
    for (size_t j = i + 1; j < FIELD_TABLE.size(); ++j) {
      if (std::string_view(FIELD_TABLE[i].name) == FIELD_TABLE[j].name) return false;
    }
  }
  return true;
}

constexpr bool tags_match_names() {
  for (const HeaderFieldDesc& row : FIELD_TABLE) {
    const std::string_view tag = row.tag;
    const std::string_view name = row.name;
    if (tag.size() != name.size() + 4 || !tag.starts_with(".$") || !tag.ends_with("$=") ||
        tag.substr(2, name.size()) != name) {
      return false;
    }
  }
  return true;
}

// The text form finds a field by a plain substring search, so no tag may contain another.
constexpr bool no_tag_inside_another() {
  for (const HeaderFieldDesc& a : FIELD_TABLE) {
    for (const HeaderFieldDesc& b : FIELD_TABLE) {
      if (&a != &b && std::string_view(a.tag).find(b.tag) != std::string_view::npos) return false;
    }
  }
  return true;
}

constexpr bool slots_inside_header_and_apart() {
  for (size_t i = 0; i < FIELD_TABLE.size(); ++i) {
    const HeaderFieldDesc& a = FIELD_TABLE[i];
    const uint32_t a_end = a.offset + field_slot_size(a);
    if (field_slot_size(a) == 0 || a_end > HEADER_SIZE) return false;
    for (size_t j = i + 1; j < FIELD_TABLE.size(); ++j) {
      const HeaderFieldDesc& b = FIELD_TABLE[j];
      const uint32_t b_end = b.offset + field_slot_size(b);
      if (a.offset < b_end && b.offset < a_end) return false;
    }
  }
  return true;
}

constexpr bool sizes_fit_types() {
  for (const HeaderFieldDesc& row : FIELD_TABLE) {
    if ((row.type == FIELD_UINT32) != (row.size == 0)) return false;
    if (row.since_version == 0 || row.since_version > HEADER_VERSION_MAX) return false;
  }
  return true;
}

}  // namespace field_table_checks

static_assert(FIELD_TABLE.size() == 24);
static_assert(field_table_checks::names_unique());
static_assert(field_table_checks::tags_match_names());
static_assert(field_table_checks::no_tag_inside_another());
static_assert(field_table_checks::slots_inside_header_and_apart());
static_assert(field_table_checks::sizes_fit_types());

}  // namespace vorn::image
