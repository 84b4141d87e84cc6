#pragma once

// The boot map switch: the map with the upgraded regions advanced to their next copies, stored
// in the boot environment under "bmap" for the boot loader to apply at the next boot (on a
// board with trial boots, as a trial: trial_boot.h).

namespace vorn::upgrade {

inline constexpr int BOOTMAP_UPDATE_ABSENT = -1;
inline constexpr int BOOTMAP_UPDATE_FORMAT = -2;  // the map would not be readable at next boot
inline constexpr int BOOTMAP_UPDATE_STORE = -3;   // the boot environment refused the value

// Formats the map with the comma-separated regions of changes moved to their next copy and
// stores it. 0 on success (and only then prints the update and the caution lines at normal
// verbosity); BOOTMAP_UPDATE_ABSENT, BOOTMAP_UPDATE_FORMAT or BOOTMAP_UPDATE_STORE, with
// nothing stored. The running boot map is not changed.
[[nodiscard]] int bootmap_update(const char* changes);

}  // namespace vorn::upgrade
