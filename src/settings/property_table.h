#pragma once

namespace vorn::settings {

// Selects the property table of the hardware model named by the hardware tag.
// 0 when a table was selected, -1 otherwise (no table is then selected).
int property_table_select();

// Value of a property ("name", "!name" or "@name"), or null when it cannot be read. The text
// stays valid only until the next property or boot environment operation; copy what you keep.
[[nodiscard]] const char* property_get(const char* name);

}  // namespace vorn::settings
