#pragma once

// "getprop" and "setprop": listings, gets and sets of the device's properties.

namespace vorn::cli {

// Result of property_command for every failure.
inline constexpr int PROP_COMMAND_FAILED = -1;

// Back end of "getprop" and "setprop". With list set: the listing of names and values, or of
// access and descriptions when name is "comment"; 0. With set clear: prints (and appends to the
// reply) the property's value and a newline; 0 also when it cannot be read. With set set:
// "default" sets the defaults, anything else is property_set; PROP_COMMAND_FAILED for every
// negative result, otherwise the result unchanged.
[[nodiscard]] int property_command(bool set, const char* name, const char* value, bool list);

}  // namespace vorn::cli
