#include "platform/reboot.h"

#include <sys/reboot.h>
#include <unistd.h>

#include <cerrno>

namespace vorn::platform {

int android_reboot(uint32_t cmd, int /*flags*/, const char* /*reason*/) {
  if (cmd != ANDROID_RB_RESTART) {
    errno = EINVAL;
    return -1;
  }
  // Whatever was written must be on the media before the restart cuts it off.
  ::sync();
  return ::reboot(RB_AUTOBOOT);
}

}  // namespace vorn::platform
