#include "settings/property_table.h"

namespace vorn::settings {

int property_table_select() { return -1; }

const char* property_get(const char* /*name*/) { return nullptr; }

}  // namespace vorn::settings
