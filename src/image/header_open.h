#pragma once

// Headers read through an image source (a locator), checked and shown: the common step of the
// image checks and the install, and the "infos" command.

#include "image/header_handle.h"

namespace vorn::image {

// Result codes of cmd_infos.
inline constexpr int INFOS_MISSING_ARGUMENT = -1;
inline constexpr int INFOS_UNKNOWN_SOURCE = -2;
inline constexpr int INFOS_UNREADABLE = -3;
inline constexpr int INFOS_INVALID = -4;
inline constexpr int INFOS_INTEGRITY = -5;

// Reads the header of a handle prepared by header_init from its source, validates it and, with
// full set, verifies checksum, CRC-32 and SHA-1, requires contents_off >= 1024 and prints the
// header report. Returns the handle, or null at the first failure (nothing printed then).
HeaderHandle* header_open_checked(HeaderHandle* handle, int full);

// "infos": prints the named fields of the header of an image file ("file@...") or of what is
// installed in a region ("bmap@..."), separated by "|", no newline; the list is cut in place.
// 0, or INFOS_* on failure (nothing printed).
[[nodiscard]] int cmd_infos(const char* source, char* field_list);

}  // namespace vorn::image
