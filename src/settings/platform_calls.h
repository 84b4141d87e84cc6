#pragma once

// The requests of the settings subsystem that leave the process: shell commands, the restart,
// and interface requests on a control socket. Product code reaches them only through
// platform_calls(); a unit test puts a fake in their place, so that no test runs a shell
// command as root, restarts the machine or changes a host interface.

#include "platform/unique_fd.h"

struct ifreq;

namespace vorn::settings {

class PlatformCalls {
 public:
  virtual ~PlatformCalls() = default;
  // Runs a command line through the system shell; the wait status, -1 when none could start.
  virtual int shell(const char* command) = 0;
  // android_reboot with the restart command; returns only on failure (-1).
  virtual int restart() = 0;
  // An IPv4 datagram socket for interface requests; an empty descriptor with errno set on
  // failure.
  virtual platform::UniqueFd control_socket_open() = 0;
  // One interface request (SIOCGIFHWADDR, SIOCSIFHWADDR, SIOCGIFFLAGS, SIOCSIFFLAGS) on the
  // socket; 0, or -1 with errno set.
  virtual int interface_request(int fd, unsigned long request, ifreq* req) = 0;
};

// The calls in force: the real ones unless a test replaced them. Never null.
[[nodiscard]] PlatformCalls& platform_calls();

// For unit tests: puts calls in place (null restores the real ones); returns the previous.
PlatformCalls* replace_platform_calls(PlatformCalls* calls);

}  // namespace vorn::settings
