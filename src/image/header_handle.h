#pragma once

// The VIF image header: the field table through which every field is read by name, and the
// in-memory handle of one header in its binary (1024 bytes) or text ("%vif-info%") form.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn::image {

inline constexpr uint32_t HEADER_SIZE = 1024;
inline constexpr uint32_t HEADER_VERSION_MAX = 1;
inline constexpr uint32_t HDR_TYPE_IMAGE = 0xA1;
inline constexpr uint32_t HDR_TYPE_PACKAGE = 0xA2;
inline constexpr uint32_t HDR_CAP_COMPRESSED = 0x4;
inline constexpr uint32_t CONTENTS_ANDROIDBOOT = 0xC1;
inline constexpr uint32_t CONTENTS_EXT4 = 0xC2;
inline constexpr char HEADER_MAGIC[] = "KESTRVIF";  // 8 bytes, no terminator in the header
inline constexpr size_t SOURCE_SIZE = 64;            // 63 characters and a NUL

enum HeaderForm : uint32_t { FORM_BINARY = 1, FORM_TEXT = 2 };
enum FieldType : uint32_t { FIELD_STRING = 1, FIELD_UINT32 = 2, FIELD_BINARY = 3 };

struct HeaderHandle {
  std::array<char, SOURCE_SIZE> source;  // the image source text (an image locator)
  uint32_t form;                         // FORM_BINARY or FORM_TEXT
  uint8_t* data;                         // the caller's buffer: header bytes or text
  uint32_t data_len;                     // header bytes held
  uint32_t capacity;                     // size of data, at least HEADER_SIZE
  uint32_t version;                      // highest header version accepted / the header's own
};

// Prepares a handle over the caller's buffer (zero-filled): FORM_BINARY, data_len 1024,
// version 1, source cut to 63 characters. Null for a null argument or capacity below 1024.
HeaderHandle* header_init(HeaderHandle* handle, const char* source, uint8_t* buffer,
                          uint32_t capacity);

}  // namespace vorn::image
