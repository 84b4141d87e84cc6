#include "daemon/daemon_main.h"

#include <android/log.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vorn::daemon {

void daemon_main(int /*argc*/, char** /*argv*/) {
  __android_log_print(ANDROID_LOG_ERROR, "vornd", "Failed to get socket from environment: %s\n",
                      std::strerror(ENOENT));
  std::exit(1);
}

}  // namespace vorn::daemon
