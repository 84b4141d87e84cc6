#pragma once

// The text-form lookup over a bounded text; text_find_field (header_handle.h) is its
// NUL-terminated entry point, header_get_field uses it with the text bounded by the handle.

#include <cstdint>
#include <string_view>

namespace vorn::image {

// Same contract as text_find_field; the text ends at the end of the view.
[[nodiscard]] uint32_t text_find_in(std::string_view text, std::string_view tag, uint32_t type,
                                    void* out, uint32_t capacity);

}  // namespace vorn::image
