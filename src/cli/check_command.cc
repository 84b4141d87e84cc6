#include <string_view>

#include "cli/command_table.h"
#include "cli/dispatcher.h"
#include "upgrade/image_authenticity.h"
#include "upgrade/image_checks.h"

namespace vorn::cli {

// "check image|image.contents|upgrade|image.signature <path>": the check's result (the path is
// handed on even when absent, which fails with -1). Any other word, or none, does nothing and
// gives 0.
int check_command(int argc, char** argv) {
  const char* what = arg(argc, argv, 2);
  if (what == nullptr) return 0;
  const std::string_view kind = what;
  const char* path = arg(argc, argv, 3);
  if (kind == "image") return upgrade::cmd_check_image(path, 0, 0);
  if (kind == "image.contents") return upgrade::cmd_check_image(path, 1, 1);
  if (kind == "upgrade") return upgrade::cmd_check_image(path, 1, 0);
  if (kind == "image.signature") return upgrade::cmd_check_signature(path);
  return 0;
}

}  // namespace vorn::cli
