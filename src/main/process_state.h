#pragma once

// Process-wide state shared by every subsystem: output level, the daemon's reply text, the
// hardware tag and the regions installed by the running command. Not thread-safe by itself;
// the daemon runs commands one at a time under its command mutex.

#include <cstddef>
#include <span>
#include <string_view>

namespace vorn {

inline constexpr int VERBOSITY_NORMAL = 2;
inline constexpr int VERBOSITY_QUIET = -99;

inline constexpr size_t REPLY_BUFFER_SIZE = 512;      // the daemon's reply text, with its NUL
inline constexpr size_t HARDWARE_TAG_SIZE = 128;      // 127 characters and a NUL
inline constexpr size_t INSTALLED_REGIONS_SIZE = 128;  // 127 characters and a NUL

[[nodiscard]] int verbosity();
void set_verbosity(int level);

// An empty span means "no reply buffer" (the tool). The buffer stays the caller's.
void set_reply_buffer(std::span<char> buffer);
[[nodiscard]] bool has_reply_buffer();

// Appends to the reply buffer when one is set. A reply that would not fit is cut at the
// buffer's end (never written past it); returns false when something was cut.
bool reply_append(std::string_view text);

// The hardware tag ("vorn.hw"): never null; empty when the kernel command line has none.
[[nodiscard]] const char* hardware_tag();
void hardware_tag_clear();
// Stores a tag; a value longer than 127 characters is refused (false) and leaves it empty, so
// that no model is matched by a cut tag.
bool hardware_tag_set(std::string_view value);

void installed_regions_clear();
// 0, or -1 for an absent id or one that would not fit the 127-character list (refused rather
// than cut, since a cut list would silently skip a setup script).
[[nodiscard]] int installed_regions_add(const char* region_id);
[[nodiscard]] const char* installed_regions();

// Output rules shared by every subsystem.
// Informational message: printed only when verbosity > 1.
void info_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Diagnostic of the storage layer: printed only when verbosity > 2.
void diag_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Result value of a quiet command: printed when verbosity >= -99 and appended to the reply.
void result_print(std::string_view text);

}  // namespace vorn
