#pragma once

// The daemon's reply text for the running command; the tool has none.

#include <cstddef>
#include <span>
#include <string_view>

namespace vorn::core {

inline constexpr size_t REPLY_BUFFER_SIZE = 512;  // the daemon's reply text, with its NUL

// An empty span means "no reply buffer" (the tool). The buffer stays the caller's.
void set_reply_buffer(std::span<char> buffer);

// Appends to the reply buffer when one is set. A reply that would not fit is cut at the
// buffer's end (never written past it); returns false when something was cut.
bool reply_append(std::string_view text);

}  // namespace vorn::core
