#pragma once

namespace vorn::settings {

// Selects the property table of the hardware model named by the hardware tag.
// 0 when a table was selected, -1 otherwise (no table is then selected).
int property_table_select();

}  // namespace vorn::settings
