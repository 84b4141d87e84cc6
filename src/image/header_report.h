#pragma once

// Showing a header to a person or a script: the header report of a full header check, and the
// field values printed by the "infos" command.

#include <cstddef>
#include <cstdint>

#include "image/header_handle.h"

namespace vorn::image {

// Hours added to the build time in the report's time text.
inline constexpr int REPORT_TIME_ZONE_HOURS = 9;
// Room for "YYYY-MM-DD HH:MM:SS(GMT+h)" of any uint32 time and any offset in hours.
inline constexpr size_t TIMESTAMP_TEXT_SIZE = 48;

// The buffer "infos" reads a header into: a text form of up to 2047 bytes fits.
inline constexpr uint32_t INFOS_HEADER_BUFFER_SIZE = 2048;
// Capacities of the value reads of "infos".
inline constexpr uint32_t INFOS_STRING_CAPACITY = 128;
inline constexpr uint32_t INFOS_BINARY_CAPACITY = 256;

// Prints the report of all fields (only when verbosity > 1); prints nothing unless the handle's
// version is 1. Returns 0.
int header_print_report(const HeaderHandle* handle);

// Writes "%F %H:%M:%S(GMT%+d)" of *time + hours x 3600 seconds, broken down as UTC, into out
// (cut to out_size). out, or null when time or out is null or out_size is 0.
char* format_timestamp(const uint32_t* time, char* out, size_t out_size, int hours);

// Prints each byte as two lower-case hex digits, no separator, no newline, only when
// verbosity > 1. Nothing for null bytes.
void print_hex(size_t length, const uint8_t* bytes);

// Prints the values of the comma-separated fields of field_list, separated by "|", through the
// result output (printed at verbosity >= -99 and appended to the daemon's reply): uint32 as
// "0x%08x", string as is, binary as "<length>," and upper-case hex pairs; an unknown or empty
// name prints "|" (nothing when it is the first item); a string that cannot be read or an
// absent binary value is skipped. No newline at the end. The list is cut in place at its
// commas. Returns 0, or -1 for a null handle or list.
int infos_print_fields(const HeaderHandle* handle, char* field_list);

}  // namespace vorn::image
