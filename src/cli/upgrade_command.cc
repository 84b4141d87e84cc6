#include <unistd.h>

#include "cli/command_table.h"
#include "core/output.h"
#include "platform/shell.h"
#include "upgrade/upgrade_driver.h"

namespace vorn::cli {

namespace {

constexpr unsigned REBOOT_WAIT_SECONDS = 5;

// The driver on the words after the command word; 0 without running anything when none.
int run_stages(int argc, char** argv, int stages) {
  if (argc < 3 || argv == nullptr) return 0;
  return upgrade::upgrade_run(argc - 2, argv + 2, stages);
}

}  // namespace

int upgrade_command(int argc, char** argv) { return run_stages(argc, argv, 0); }

int upgrade_check_command(int argc, char** argv) {
  return run_stages(argc, argv, upgrade::STAGE_CHECK);
}

int upgrade_install_command(int argc, char** argv) {
  return run_stages(argc, argv, upgrade::STAGE_INSTALL);
}

int upgrade_setup_command(int argc, char** argv) {
  return run_stages(argc, argv, upgrade::STAGE_SETUP);
}

// As "upgrade.setup", then the reboot whatever the result; no reboot without an image, nor
// when a pending trial refused it: that reboot would only count one of the trial's boots.
int upgrade_setup_reboot_command(int argc, char** argv) {
  if (argc < 3) return 0;
  const int result = run_stages(argc, argv, upgrade::STAGE_SETUP);
  if (result == upgrade::UPGRADE_TRIAL_PENDING) return result;
  core::info_printf("Waiting for REBOOT(%d seconds)\n", REBOOT_WAIT_SECONDS);
  ::sleep(REBOOT_WAIT_SECONDS);
  (void)platform::shell_run("reboot");
  return result;
}

}  // namespace vorn::cli
