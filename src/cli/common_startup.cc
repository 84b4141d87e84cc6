#include "cli/common_startup.h"

#include "bootmap/boot_map.h"
#include "bootmap/cmdline.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"
#include "settings/boot_keys_hook.h"
#include "settings/property_table.h"
#include "settings/update_limits.h"
#include "storage/url_source.h"

namespace vorn::cli {

int common_startup() {
  core::set_verbosity(core::VERBOSITY_NORMAL);
  core::set_reply_buffer({});
  const int result = bootmap::bootmap_init();
  core::hardware_tag_clear();
  bootmap::cmdline_walk(nullptr, settings::boot_keys_hook);
  // A tag that matches no model leaves no table selected; that is not a start-up failure.
  (void)settings::property_table_select();
  // Headers fetched from servers are remembered for one command only.
  storage::url_forget();
  storage::set_url_limits_source(settings::update_url_limits);
  return result;
}

}  // namespace vorn::cli
