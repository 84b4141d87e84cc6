#pragma once

#include <cstdarg>
#include <span>
#include <string_view>

namespace vorn::platform {

// The only ways the system writes into a fixed-size text slot. Each keeps the slot
// NUL-terminated and never writes past it; the result says whether the whole text fit.

// Copies as much of src as fits (truncating); true when nothing was cut.
bool copy_text(std::span<char> slot, std::string_view src);

// Copies src only if all of it fits; otherwise leaves the slot unchanged and returns false.
[[nodiscard]] bool copy_text_whole(std::span<char> slot, std::string_view src);

// Appends as much of src as fits behind the text already in the slot; true when nothing was cut.
bool append_text(std::span<char> slot, std::string_view src);

// printf into the slot, truncating; true when nothing was cut.
bool format_text(std::span<char> slot, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// printf behind the text already in the slot, truncating; true when nothing was cut.
bool append_format(std::span<char> slot, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Length of the text in a slot, never reading past its end.
[[nodiscard]] std::string_view slot_text(std::span<const char> slot);

}  // namespace vorn::platform
