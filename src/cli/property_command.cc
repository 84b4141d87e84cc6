#include "cli/property_command.h"

#include <string_view>

#include "cli/command_table.h"
#include "cli/dispatcher.h"
#include "core/output.h"
#include "settings/property_table.h"

namespace vorn::cli {

int property_command(bool set, const char* name, const char* value, bool list) {
  if (list) {
    const settings::PropertyDesc* table = nullptr;
    const int count = settings::property_count(&table);
    const bool comments = name != nullptr && std::string_view(name) == "comment";
    for (int i = 0; i < count; ++i) {
      const settings::PropertyDesc& row = table[i];
      if (comments) {
        const char* access = settings::access_text(row.access);
        core::info_printf(" %-20s [%s] : %s\n", row.name, access ? access : "", row.description);
      } else {
        const char* current = settings::property_get(row.name);
        core::info_printf(" %-20s : %s\n", row.name, current ? current : "");
      }
    }
    return 0;
  }
  if (!set) {
    const char* current = settings::property_get(name);
    if (current == nullptr) return 0;
    core::result_print(current);
    core::result_print("\n");
    return 0;
  }
  const int result = (name != nullptr && std::string_view(name) == "default")
                         ? settings::property_set_defaults()
                         : settings::property_set(name, value);
  return result < 0 ? PROP_COMMAND_FAILED : result;
}

// "getprop": no word lists names and values; "comment" (further words ignored) lists access
// and descriptions; any other word is a quiet get of that property. Always 0.
int getprop_command(int argc, char** argv) {
  const char* name = arg(argc, argv, 2);
  if (name == nullptr) return property_command(false, nullptr, nullptr, true);
  if (std::string_view(name) == "comment") {
    return property_command(false, name, nullptr, true);
  }
  core::set_verbosity(core::VERBOSITY_QUIET);
  return property_command(false, name, nullptr, false);
}

// "setprop": a name alone deletes the stored value or runs an action without option ("default"
// sets the defaults); a name and a value sets it. DISPATCH_UNKNOWN without a name; -1 for
// every failure.
int setprop_command(int argc, char** argv) {
  const char* name = arg(argc, argv, 2);
  if (name == nullptr) return DISPATCH_UNKNOWN;
  return property_command(true, name, arg(argc, argv, 3), false);
}

}  // namespace vorn::cli
