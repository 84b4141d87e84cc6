#pragma once

// Showing a header to a person: the report printed by a full header check.

#include <cstddef>
#include <cstdint>

#include "image/header_handle.h"

namespace vorn::image {

// Hours added to the build time in the report's time text.
inline constexpr int REPORT_TIME_ZONE_HOURS = 9;
// Room for "YYYY-MM-DD HH:MM:SS(GMT+h)" of any uint32 time and any offset in hours.
inline constexpr size_t TIMESTAMP_TEXT_SIZE = 48;

// Prints the report of all fields (only when verbosity > 1); prints nothing unless the handle's
// version is 1. Returns 0.
int header_print_report(const HeaderHandle* handle);

// Writes "%F %H:%M:%S(GMT%+d)" of *time + hours x 3600 seconds, broken down as UTC, into out
// (cut to out_size). out, or null when time or out is null or out_size is 0.
char* format_timestamp(const uint32_t* time, char* out, size_t out_size, int hours);

// Prints each byte as two lower-case hex digits, no separator, no newline, only when
// verbosity > 1. Nothing for null bytes.
void print_hex(size_t length, const uint8_t* bytes);

}  // namespace vorn::image
