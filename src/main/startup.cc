#include "main/startup.h"

#include <cstring>
#include <span>

#include "bootmap/boot_map.h"
#include "bootmap/cmdline.h"
#include "cli/dispatcher.h"
#include "daemon/daemon_main.h"
#include "main/process_state.h"
#include "settings/boot_keys_hook.h"
#include "settings/property_table.h"

namespace vorn {

int common_startup() {
  set_verbosity(VERBOSITY_NORMAL);
  set_reply_buffer({});
  const int result = bootmap::bootmap_init();
  hardware_tag_clear();
  bootmap::cmdline_walk(nullptr, settings::boot_keys_hook);
  // A tag that matches no model leaves no table selected; that is not a start-up failure.
  (void)settings::property_table_select();
  return result;
}

int vorn_main(int argc, char** argv) {
  common_startup();
  return cli::dispatch(argc, argv, {});
}

int personality_main(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) return 0;
  if (const char* slash = std::strrchr(argv[0], '/')) argv[0] = const_cast<char*>(slash + 1);
  const std::string_view name = argv[0];
  if (name == "vornd") daemon::daemon_main(argc, argv);
  if (name == "vorn") return vorn_main(argc, argv);
  return 0;
}

}  // namespace vorn
