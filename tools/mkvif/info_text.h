#pragma once

// The "%vif-info%" text form of a header: one entry per line, the field's tag and its value
// (a uint32 as 0x and hex digits, a string in double quotes, a binary value as its byte count, a
// comma and upper-case hex pairs), in field-table order.

#include <string>

#include "image/header_handle.h"

namespace vorn::mkvif {

inline constexpr char INFO_TEXT_NAME[] = "%vif-info%";
inline constexpr char SETUP_SCRIPT_NAME[] = "%vif-setup%";
// The system reads a text form into 2048-byte buffers and needs room for the NUL.
inline constexpr size_t INFO_TEXT_MAX = 2047;

enum class ContentsDigests { INCLUDED, LEFT_OUT };

// The text form of every field the handle's lookups return. With LEFT_OUT the entries of
// contents_checksum, contents_crc32 and contents_sha1 are not written (a file system cannot
// carry the digests of itself); they then read as 0 and as absent.
[[nodiscard]] std::string info_text(const image::HeaderHandle& handle, ContentsDigests digests);

}  // namespace vorn::mkvif
