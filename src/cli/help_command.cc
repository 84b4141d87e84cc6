#include <cstdio>

#include "cli/command_table.h"
#include "cli/help_text.h"
#include "core/output.h"

namespace vorn::cli {

int help_command(int /*argc*/, char** /*argv*/) {
  core::info_printf("Vornix vorn %s - boot image and firmware upgrade manager\n", VORN_VERSION);
  core::info_printf("%s", HELP_COMMANDS);
  core::info_printf("%s", HELP_ARGUMENTS);
  core::info_printf("%s", HELP_INFO_FIELDS);
  core::info_printf("%s", HELP_MORE_COMMANDS);
  return 0;
}

}  // namespace vorn::cli
