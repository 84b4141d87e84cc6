#include "cli/command_table.h"
#include "upgrade/trial_boot.h"

namespace vorn::cli {

// "upgrade.commit": the running images of a pending trial are good.
int upgrade_commit_command(int /*argc*/, char** /*argv*/) { return upgrade::trial_commit(); }

// "upgrade.rollback": the next boot runs the copies the pending trial replaced.
int upgrade_rollback_command(int /*argc*/, char** /*argv*/) { return upgrade::trial_rollback(); }

// "upgrade.status": one line on the trial; 1 while one is pending, else 0.
int upgrade_status_command(int /*argc*/, char** /*argv*/) { return upgrade::trial_status(); }

}  // namespace vorn::cli
