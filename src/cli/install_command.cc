#include <algorithm>
#include <string_view>

#include "cli/command_table.h"
#include "cli/dispatcher.h"
#include "core/progress.h"
#include "upgrade/install.h"
#include "upgrade/installed_regions.h"
#include "upgrade/setup_stage.h"

namespace vorn::cli {

namespace {

// Words a region id must begin with (compared over each word's length).
constexpr std::string_view REGION_WORDS[] = {"boot", "system", "app", "bootloader", "recovery"};

}  // namespace

// "install <region_id> <path>": the image, header verified in full, into the copy the region id
// selects, then its setup script when it asks for one. 0 when installed (and set up); the
// install's refusal of damaged contents, a changed file, a signature, a downgrade, a copy that
// a pending trial falls back to, or a download's failure as it is (each has a code of its own);
// -1 for an unusable region id, any other failed install, or a setup stage that could not run.
int install_command(int argc, char** argv) {
  upgrade::installed_regions_clear();
  const char* region_id = arg(argc, argv, 2);
  if (region_id == nullptr) return -1;
  const std::string_view id = region_id;
  if (std::ranges::none_of(REGION_WORDS, [id](std::string_view w) { return id.starts_with(w); })) {
    return -1;
  }
  core::progress_begin(core::Stage::INSTALL, 1, 1, id.substr(0, id.find_first_of("#~")), 0);
  const int r = upgrade::install_image(region_id, arg(argc, argv, 3), 0, 1, 0);
  if (r < 0) return upgrade::install_refusal(r) ? r : -1;
  if (r != upgrade::INSTALL_WANTS_SETUP) return 0;
  if (upgrade::installed_regions_add(region_id) != 0) return -1;
  return upgrade::setup_stage_run(nullptr) < 0 ? -1 : 0;
}

}  // namespace vorn::cli
