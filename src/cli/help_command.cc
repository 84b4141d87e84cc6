#include <cstdio>

#include "cli/command_table.h"
#include "cli/help_text.h"
#include "main/process_state.h"

namespace vorn::cli {

int cmd_help(int /*argc*/, char** /*argv*/) {
  info_printf("Vornix vorn %s - boot image and firmware upgrade manager\n", VORN_VERSION);
  info_printf("%s", HELP_COMMANDS);
  info_printf("%s", HELP_ARGUMENTS);
  info_printf("%s", HELP_INFO_FIELDS);
  return 0;
}

}  // namespace vorn::cli
