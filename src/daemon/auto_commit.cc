#include "daemon/auto_commit.h"

#include <atomic>
#include <mutex>
#include <string_view>

#include "cli/common_startup.h"
#include "core/output.h"
#include "daemon/daemon_commands.h"
#include "daemon/threads.h"
#include "platform/log.h"
#include "settings/boot_env.h"
#include "upgrade/trial_boot.h"

namespace vorn::daemon {

using platform::log_print;

namespace {

void commit_trial() {
  (void)cli::common_startup();
  core::set_verbosity(core::VERBOSITY_QUIET);
  const int r = upgrade::trial_commit();
  log_print(r == 0 ? platform::LOG_PRIORITY_INFO : platform::LOG_PRIORITY_ERROR,
            "appalive: first heartbeat: upgrade commit(%d)\n", r);
}

std::atomic<bool> g_armed{false};
std::atomic<void (*)()> g_action{commit_trial};

void commit_thread(void* /*unused*/) {
  const std::lock_guard lock(command_mutex);
  g_action.load()();
}

}  // namespace

bool auto_commit_arm() {
  const std::lock_guard lock(command_mutex);
  const char* setting = settings::bootenv_get(upgrade::AUTOCOMMIT_PROPERTY);
  const bool on = setting == nullptr || std::string_view(setting) != "0";
  g_armed = on && upgrade::trial_pending();
  return g_armed;
}

void auto_commit_heartbeat() {
  if (!g_armed.exchange(false)) return;
  if (!start_detached_thread(commit_thread, nullptr)) {
    log_print(platform::LOG_PRIORITY_ERROR, "appalive: upgrade commit thread not started\n");
    g_armed = true;
  }
}

void set_auto_commit_action(void (*action)()) { g_action.store(action ? action : commit_trial); }

}  // namespace vorn::daemon
