#include "main/common_startup.h"

#include "bootmap/boot_map.h"
#include "bootmap/cmdline.h"
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

}  // namespace vorn
