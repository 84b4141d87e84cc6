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
inline constexpr size_t SOURCE_SIZE =
    2049;  // a locator, or a server's URL: 2048 characters and a NUL

enum HeaderForm : uint32_t { FORM_BINARY = 1, FORM_TEXT = 2 };
enum FieldType : uint32_t { FIELD_STRING = 1, FIELD_UINT32 = 2, FIELD_BINARY = 3 };

struct HeaderHandle {
  std::array<char, SOURCE_SIZE> source;  // the image source text (an image locator or URL)
  uint32_t form;                         // FORM_BINARY or FORM_TEXT
  uint8_t* data;                         // the caller's buffer: header bytes or text
  uint32_t data_len;                     // header bytes held
  uint32_t capacity;                     // size of data, at least HEADER_SIZE
  uint32_t version;                      // highest header version accepted / the header's own
};

// Prepares a handle over the caller's buffer (zero-filled): FORM_BINARY, data_len 1024,
// version 1. Null for a null argument, capacity below 1024, or a source longer than
// SOURCE_SIZE - 1 characters (refused, never cut: a cut source names another file).
HeaderHandle* header_init(HeaderHandle* handle, const char* source, uint8_t* buffer,
                          uint32_t capacity);

// Field lookups by name, in either form. A row is seen only when the handle's version is at
// least the row's since_version. None of them prints anything.
//
// In the binary form the header data is the first min(data_len, capacity, 1024) bytes of data:
// a uint32 or binary field that does not lie wholly inside it is not found, and a string whose
// slot holds no NUL ends at the end of the header data rather than at a NUL found beyond it.
// In the text form the text ends at its first NUL or at min(data_len, capacity), whichever
// comes first.

// Type of the visible row of that name (FIELD_STRING, FIELD_UINT32 or FIELD_BINARY); 0 for a
// null handle or name, an empty name or no such row.
[[nodiscard]] uint32_t header_field_type(const HeaderHandle* handle, const char* name);

// Reads the field into out. On entry *inout_len is the capacity of out; on success it is the
// length of the value (uint32: 4, written as a host-order uint32_t; string: characters without
// the NUL that is also written; binary: bytes). Returns the type on success, 0 when no row
// matches name, type and version or the value does not fit, -1 for a null or empty name, a
// null handle, a handle without data, or a null out or inout_len.
// In the text form a missing uint32 reads as 0 and a missing string as "" (both succeed); a
// missing or malformed binary value succeeds with length 0.
[[nodiscard]] int header_get_field(const char* name, const HeaderHandle* handle, uint32_t type,
                                   void* out, uint32_t* inout_len);

// Length of the binary value copied to out; 0 on any failure (also an absent text value).
[[nodiscard]] uint32_t header_get_binary(const HeaderHandle* handle, const char* name, uint8_t* out,
                                         uint32_t capacity);

// out holding the NUL-terminated value, or null on failure. In the binary form a value of
// capacity characters or more fails; in the text form it is cut to capacity - 1 characters.
char* header_get_string(const HeaderHandle* handle, const char* name, char* out, uint32_t capacity);

// The value, or 0 on failure (a stored 0 and a failure look alike).
[[nodiscard]] uint32_t header_get_u32(const HeaderHandle* handle, const char* name);

// hdr_type (HDR_TYPE_IMAGE or HDR_TYPE_PACKAGE) when magic, hdr_type, hdr_size and hdr_version
// are acceptable, and then sets the handle's version to hdr_version; 0 otherwise (handle
// unchanged).
[[nodiscard]] uint32_t header_validate(HeaderHandle* handle);

// Text-form lookup of one tag in a NUL-terminated text. Type FIELD_UINT32: returns the value
// (0 when absent; out, if not null and capacity >= 4, also receives it). FIELD_STRING: stores at
// most capacity - 1 characters and a NUL, returns the count stored. FIELD_BINARY: decodes bytes
// into out (at most capacity) and returns how many were decoded; a count that differs from
// capacity, a missing comma or a non-hex digit stop it early (0 for the first two).
// 0 when text or tag is null or the tag is not found.
[[nodiscard]] uint32_t text_find_field(const char* text, const char* tag, uint32_t type, void* out,
                                       uint32_t capacity);

}  // namespace vorn::image
