#include "cli/infos_command.h"

#include <array>
#include <cstring>
#include <string_view>

#include "cli/command_table.h"
#include "cli/dispatcher.h"
#include "core/output.h"
#include "image/integrity.h"
#include "platform/fixed_text.h"
#include "storage/header_open.h"
#include "storage/header_reader.h"

namespace vorn::cli {

namespace {

std::array<uint8_t, INFOS_HEADER_BUFFER_SIZE> g_infos_buffer;

// The printed text of one "infos" item: "|" and a 256-byte value in hex fit with room to spare.
using InfosPiece = std::array<char, 2 * INFOS_BINARY_CAPACITY + 16>;
static_assert(sizeof(InfosPiece) > 1 + 4 * (INFOS_STRING_CAPACITY - 1),
              "a string escaped in full fits a piece");

// Appends a header string with every byte that could break the "|"-separated line escaped
// (see infos_print_fields); other bytes as they are.
void append_escaped(InfosPiece& piece, std::string_view value) {
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      platform::append_text(piece, "\\\\");
    } else if (c == '|' || byte < 0x20 || byte == 0x7F) {
      platform::append_format(piece, "\\x%02X", byte);
    } else {
      platform::append_text(piece, std::string_view(&c, 1));
    }
  }
}

// Formats one item into piece. A value that cannot be read keeps its column empty, as an
// unknown name does, so that the columns after it stay where the caller expects them.
void format_infos_item(const image::HeaderHandle& handle, const char* name, bool first,
                       InfosPiece& piece) {
  const char* separator = first ? "" : "|";
  platform::copy_text(piece, separator);
  switch (image::header_field_type(&handle, name)) {
    case image::FIELD_UINT32:
      platform::append_format(piece, "0x%08x", image::header_get_u32(&handle, name));
      return;
    case image::FIELD_STRING: {
      std::array<char, INFOS_STRING_CAPACITY> value{};
      if (image::header_get_string(&handle, name, value.data(), value.size()) != nullptr) {
        append_escaped(piece, value.data());
      }
      return;
    }
    case image::FIELD_BINARY: {
      std::array<uint8_t, INFOS_BINARY_CAPACITY> value{};
      const uint32_t length = image::header_get_binary(&handle, name, value.data(), value.size());
      if (length == 0) return;
      platform::append_format(piece, "%u,", length);
      for (uint32_t i = 0; i < length; ++i) platform::append_format(piece, "%02X", value[i]);
      return;
    }
    default:
      return;
  }
}

}  // namespace

int cmd_infos(const char* source, char* field_list) {
  if (source == nullptr || field_list == nullptr) return INFOS_MISSING_ARGUMENT;
  const std::string_view name = source;
  if (!name.starts_with("bmap@") && !name.starts_with("file@")) return INFOS_UNKNOWN_SOURCE;
  image::HeaderHandle handle;
  if (image::header_init(&handle, source, g_infos_buffer.data(), g_infos_buffer.size()) ==
          nullptr ||
      storage::locator_read_header(&handle) == nullptr) {
    return INFOS_UNREADABLE;
  }
  if (image::header_check(&handle, image::VERIFY_NONE) == 0) return INFOS_INVALID;
  if (!storage::header_verified(&handle)) return INFOS_INTEGRITY;
  (void)infos_print_fields(&handle, field_list);
  return 0;
}

int infos_print_fields(const image::HeaderHandle* handle, char* field_list) {
  if (handle == nullptr || field_list == nullptr) return -1;
  char* rest = field_list;
  int counted = 0;
  while (*rest != '\0') {
    char* item = rest;
    char* comma = std::strchr(rest, ',');
    if (comma != nullptr) {
      *comma = '\0';
      rest = comma + 1;
    } else {
      rest += std::strlen(rest);
    }
    InfosPiece piece{};
    format_infos_item(*handle, item, counted == 0, piece);
    core::result_print(platform::slot_text(piece));
    ++counted;
  }
  return 0;
}

// "infos <fields> <source>": the selected header fields, quiet; -2 without both words.
int infos_command(int argc, char** argv) {
  if (argc < 4) return DISPATCH_UNKNOWN;
  return cmd_infos(argv[3], argv[2]);
}

}  // namespace vorn::cli
