#include <string_view>

#include "cli/command_table.h"
#include "cli/dispatcher.h"
#include "main/process_state.h"
#include "settings/property_table.h"

namespace vorn::cli {

// "getprop": no word lists names and values; "comment" (further words ignored) lists access
// and descriptions; any other word is a quiet get of that property. Always 0.
int cmd_getprop(int argc, char** argv) {
  const char* name = arg(argc, argv, 2);
  if (name == nullptr) return settings::property_command(false, nullptr, nullptr, true);
  if (std::string_view(name) == "comment") {
    return settings::property_command(false, name, nullptr, true);
  }
  set_verbosity(VERBOSITY_QUIET);
  return settings::property_command(false, name, nullptr, false);
}

// "setprop": a name alone deletes the stored value or runs an action without option ("default"
// sets the defaults); a name and a value sets it. DISPATCH_UNKNOWN without a name; -1 for
// every failure.
int cmd_setprop(int argc, char** argv) {
  const char* name = arg(argc, argv, 2);
  if (name == nullptr) return DISPATCH_UNKNOWN;
  return settings::property_command(true, name, arg(argc, argv, 3), false);
}

}  // namespace vorn::cli
