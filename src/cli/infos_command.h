#pragma once

// "infos": selected header fields of an image file or of what a region copy holds, for scripts.

#include "image/header_handle.h"

namespace vorn::cli {

// Result codes of cmd_infos.
inline constexpr int INFOS_MISSING_ARGUMENT = -1;
inline constexpr int INFOS_UNKNOWN_SOURCE = -2;
inline constexpr int INFOS_UNREADABLE = -3;
inline constexpr int INFOS_INVALID = -4;
inline constexpr int INFOS_INTEGRITY = -5;

// The buffer "infos" reads a header into: a text form of up to 2047 bytes fits.
inline constexpr uint32_t INFOS_HEADER_BUFFER_SIZE = 2048;
// Capacities of the value reads of "infos".
inline constexpr uint32_t INFOS_STRING_CAPACITY = 128;
inline constexpr uint32_t INFOS_BINARY_CAPACITY = 256;

// Prints the named fields of the header of an image file ("file@...") or of what is installed
// in a region ("bmap@..."), separated by "|", no newline; the list is cut in place.
// 0, or INFOS_* on failure (nothing printed).
[[nodiscard]] int cmd_infos(const char* source, char* field_list);

// Prints the values of the comma-separated fields of field_list, separated by "|", through the
// result output (printed at verbosity >= -99 and appended to the daemon's reply): uint32 as
// "0x%08x", binary as "<length>," and upper-case hex pairs, string as is except that a
// backslash prints as "\\" and a "|", a control byte (below 0x20) or DEL as "\xHH" (two
// upper-case hex digits), so that no value can split or end the line. An unknown or empty
// name, a string that cannot be read and an absent binary value all keep their column empty:
// they print "|" (nothing when it is the first item). No newline at the end. The list is cut
// in place at its commas. Returns 0, or -1 for a null handle or list.
int infos_print_fields(const image::HeaderHandle* handle, char* field_list);

}  // namespace vorn::cli
