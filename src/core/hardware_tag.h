#pragma once

// The hardware tag: the value of the kernel command-line key "vorn.hw" (model, minor, patch,
// e.g. "zt4100.1.0"), which selects the property table and meets the images' req_hw.

#include <cstddef>
#include <string_view>

namespace vorn::core {

inline constexpr size_t HARDWARE_TAG_SIZE = 128;  // 127 characters and a NUL

// Never null; empty when the kernel command line has none.
[[nodiscard]] const char* hardware_tag();
void hardware_tag_clear();
// Stores a tag; a value longer than 127 characters is refused (false) and leaves it empty, so
// that no model is matched by a cut tag.
bool hardware_tag_set(std::string_view value);

}  // namespace vorn::core
