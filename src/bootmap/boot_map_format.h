#pragma once

// The boot map written back as kernel command-line tokens ("bmap_dev=... bmap=...
// bmap_seq=..."), with some regions advanced to their next copy: the value the boot loader
// applies at the next boot.

#include <cstddef>
#include <span>

#include "bootmap/boot_map.h"

namespace vorn::bootmap {

inline constexpr int BOOTMAP_FORMAT_ABSENT = -1;    // changes or out absent
inline constexpr int BOOTMAP_FORMAT_TOO_LONG = -2;  // a value the next boot could not read

// Each value must be readable again at the next boot, that is fit its value slot; so the
// longest text is the three keys with full values, two spaces and a NUL.
inline constexpr size_t BOOTMAP_TEXT_SIZE = (sizeof("bmap_dev=") - 1) + (sizeof("bmap=") - 1) +
                                            (sizeof("bmap_seq=") - 1) +
                                            3 * (BOOTMAP_VALUE_SIZE - 1) + 2 + 1;
static_assert(BOOTMAP_TEXT_SIZE == 791);

// Formats the map with the comma-separated regions of changes (the list ends at its end or
// at an empty item; names without an active copy are ignored) moved to their next copy, into
// out. Returns 0; BOOTMAP_FORMAT_ABSENT; or BOOTMAP_FORMAT_TOO_LONG when a value would be
// longer than a value slot or the text would not fit out (out is then empty: never a cut map).
[[nodiscard]] int bootmap_format(const BootMap& map, const char* changes, std::span<char> out);

// The same for the process-wide map.
[[nodiscard]] int bootmap_format(const char* changes, std::span<char> out);

}  // namespace vorn::bootmap
