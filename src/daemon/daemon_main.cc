#include "daemon/daemon_main.h"

#include <cstdlib>

#include "daemon/app_alive.h"
#include "daemon/auto_commit.h"
#include "daemon/socket_server.h"
#include "daemon/watchdog.h"
#include "platform/log.h"

namespace vorn::daemon {

using platform::log_print;
using platform::LOG_PRIORITY_ERROR;
using platform::LOG_PRIORITY_INFO;

void daemon_main(int /*argc*/, char** /*argv*/) {
  log_print(LOG_PRIORITY_INFO, "Android Vornix\n");
  // command_mutex and appalive_mutex are constant-initialised; nothing to set up.

  int timeout = 0;
  int sleep_period = 0;
  const int fd = watchdog_config(timeout, sleep_period);
  if (fd >= 0) {
    log_print(LOG_PRIORITY_ERROR, "Watchdog-Enabled(%d)! (timeout=%d, sleep_timeout=%d seconds)\n",
              fd, timeout, sleep_period);
    watchdog_params = {.fd = fd, .timeout = timeout, .sleep_period = sleep_period};
    (void)watchdog_start();
  } else {
    log_print(LOG_PRIORITY_ERROR, "Watchdog-Disabled\n");
  }

  if (auto_commit_arm())
    log_print(LOG_PRIORITY_ERROR, "Upgrade-Trial: commit at first heartbeat\n");
  log_print(LOG_PRIORITY_ERROR, "AppAlive-Enabled!\n");
  (void)appalive_start();

  (void)serve_init_socket();
  std::exit(1);
}

}  // namespace vorn::daemon
