#include "settings/platform_calls.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/reboot.h"
#include "platform/shell.h"
#include "platform/unique_fd.h"

namespace vorn::settings {

namespace {

class RealPlatformCalls final : public PlatformCalls {
 public:
  int shell(const char* command) override { return platform::shell_run(command); }

  int restart() override {
    return platform::android_reboot(platform::ANDROID_RB_RESTART, 0, nullptr);
  }

  platform::UniqueFd control_socket_open() override {
    return platform::UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  }

  int interface_request(int fd, unsigned long request, ifreq* req) override {
    return ::ioctl(fd, request, req) < 0 ? -1 : 0;
  }
};

RealPlatformCalls g_real_calls;
PlatformCalls* g_calls = &g_real_calls;

}  // namespace

PlatformCalls& platform_calls() { return *g_calls; }

PlatformCalls* replace_platform_calls(PlatformCalls* calls) {
  PlatformCalls* previous = g_calls;
  g_calls = calls != nullptr ? calls : &g_real_calls;
  return previous;
}

}  // namespace vorn::settings
