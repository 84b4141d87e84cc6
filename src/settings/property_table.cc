#include "settings/property_table.h"

namespace vorn::settings {

int property_table_select() { return -1; }

}  // namespace vorn::settings
