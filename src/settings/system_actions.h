#pragma once

// Getters, setters and actions of the property rows that read a live system value, change a
// kernel setting or act on the system. Every operation answers -1 (null for getters) for an
// absent or empty name before anything else; every action does nothing and returns 0 in
// ACTION_QUERY mode and returns ACTION_BAD_MODE for a mode other than query and run.

#include <cstddef>

#include "settings/property_table.h"

namespace vorn::settings {

// The longest "sys.mem.min_free" value: decimal digits only.
inline constexpr size_t MIN_FREE_DIGITS_MAX = 27;

// kB figure of a key of /proc/meminfo (a line starting with key, e.g. "MemTotal:"), or -1 for
// a null key, an unreadable file, no such line or no number on it.
[[nodiscard]] int meminfo_value(const char* key);

// "sys.mem.free", "sys.mem.total", "sys.mem.cached": the figure as decimal text, or null.
[[nodiscard]] const char* mem_free(const char* name);
[[nodiscard]] const char* mem_total(const char* name);
[[nodiscard]] const char* mem_cached(const char* name);

// "sys.mem.min_free": the kernel's minimum free memory in kB as decimal text, or null when the
// setting cannot be read.
[[nodiscard]] const char* min_free_get(const char* name);

// Writes the kernel's minimum free memory (kB) through the shell. An absent or empty value
// changes nothing (0). Only 1 to MIN_FREE_DIGITS_MAX decimal digits reach the shell command;
// any other value is refused with -1. Otherwise 0, whatever the shell reports.
[[nodiscard]] int min_free_set(const char* name, const char* value);

// "!sys.mem.drop_caches": drops the page cache; 0.
[[nodiscard]] int drop_caches(int mode, const char* name, ActionArgument argument);

// "!sys.reboot": restarts the system; returns (0) only if the restart did not happen.
[[nodiscard]] int reboot_system(int mode, const char* name, ActionArgument argument);

// "!sys.debug.instant": option "act=on" (first 6 characters) or "act=off" (first 7) switches
// debugging over TCP on or off by restarting adbd; any other option or none does nothing; 0.
[[nodiscard]] int debug_instant(int mode, const char* name, ActionArgument argument);

}  // namespace vorn::settings
