#include <string_view>

#include "cli/command_table.h"
#include "cli/dispatcher.h"
#include "core/hardware_tag.h"
#include "core/output.h"

namespace vorn::cli {

// "info hw_version": the hardware tag, with no newline added. Other words do nothing.
int info_command(int argc, char** argv) {
  const char* what = arg(argc, argv, 2);
  if (what != nullptr && std::string_view(what) == "hw_version")
    core::result_print(core::hardware_tag());
  return 0;
}

}  // namespace vorn::cli
