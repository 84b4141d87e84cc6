#include <string_view>

#include "bootmap/image_listing.h"
#include "cli/command_table.h"
#include "cli/dispatcher.h"
#include "image/header_open.h"

namespace vorn::cli {

// "list images" lists the copies; "list bmaps", a bare "list" or any other word do nothing.
int cmd_list(int argc, char** argv) {
  const char* what = arg(argc, argv, 2);
  if (what != nullptr && std::string_view(what) == "images") (void)bootmap::list_images();
  return 0;
}

// "infos <fields> <source>": the selected header fields, quiet; -2 without both words.
int cmd_infos(int argc, char** argv) {
  if (argc < 4) return DISPATCH_UNKNOWN;
  return image::cmd_infos(argv[3], argv[2]);
}

}  // namespace vorn::cli
