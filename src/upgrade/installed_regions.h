#pragma once

// The region ids installed by the running command that ask for the setup stage,
// comma-separated (e.g. "boot~1,system~1").

#include <cstddef>

namespace vorn::upgrade {

inline constexpr size_t INSTALLED_REGIONS_SIZE = 128;  // 127 characters and a NUL

void installed_regions_clear();
// 0, or -1 for an absent id or one that would not fit the 127-character list (refused rather
// than cut, since a cut list would silently skip a setup script).
[[nodiscard]] int installed_regions_add(const char* region_id);
// Never null.
[[nodiscard]] const char* installed_regions();

}  // namespace vorn::upgrade
