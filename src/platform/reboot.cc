#include "platform/reboot.h"

#include <sys/reboot.h>
#include <sys/wait.h>
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
  // Inside a child PID namespace reboot(2) ends only the namespace, and the caller with exit
  // status 0, so that the caller's parent would run on while the device goes down. The restart
  // is asked for by a child instead; this process never returns once it was accepted.
  const pid_t child = ::fork();
  if (child < 0) return ::reboot(RB_AUTOBOOT);
  if (child == 0) _exit(::reboot(RB_AUTOBOOT) == 0 ? 0 : errno);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    for (;;) ::pause();
  }
  errno = WIFEXITED(status) ? WEXITSTATUS(status) : EINTR;
  return -1;
}

}  // namespace vorn::platform
