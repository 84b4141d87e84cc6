#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "settings/platform_calls.h"

namespace vorn::settings::test {

// Stands in for the shell, the restart and the interface requests: keeps a small model of the
// interfaces and a log of every call in order.
class FakePlatformCalls final : public PlatformCalls {
 public:
  struct Interface {
    std::array<uint8_t, 6> address{};
    short flags = 0;
  };
  FakePlatformCalls() { previous_ = replace_platform_calls(this); }
  ~FakePlatformCalls() override { replace_platform_calls(previous_); }
  FakePlatformCalls(const FakePlatformCalls&) = delete;
  FakePlatformCalls& operator=(const FakePlatformCalls&) = delete;

  int shell(const char* command) override {
    return log.push_back(std::string("shell ") + command), 0;
  }
  int restart() override { return log.push_back("restart"), -1; }
  // A real descriptor, so that a run that fails to close it leaves it open for the test to see.
  platform::UniqueFd control_socket_open() override {
    log.push_back("open");
    errno = EMFILE;
    platform::UniqueFd fd(fail_socket ? -1 : ::eventfd(0, EFD_CLOEXEC));
    socket_fd = fd.get();
    return fd;
  }
  bool socket_open() const { return socket_fd >= 0 && ::fcntl(socket_fd, F_GETFD) != -1; }

  int interface_request(int fd, unsigned long request, ifreq* req) override {
    const std::string name(req->ifr_name, ::strnlen(req->ifr_name, IFNAMSIZ));
    const auto it = interfaces.find(name);
    bool fails = fd != socket_fd || it == interfaces.end();
    if (request == SIOCGIFHWADDR) {
      log.push_back("get-address " + name);
      if (!(fails |= fail_get_address)) {
        std::memcpy(req->ifr_hwaddr.sa_data, it->second.address.data(), 6);
      }
    } else if (request == SIOCSIFHWADDR) {
      char text[40];
      const auto* a = reinterpret_cast<const uint8_t*>(req->ifr_hwaddr.sa_data);
      std::snprintf(text, sizeof text, " family %d %02X:%02X:%02X:%02X:%02X:%02X",
                    req->ifr_hwaddr.sa_family, a[0], a[1], a[2], a[3], a[4], a[5]);
      log.push_back("set-address " + name + text);
      if (!(fails |= fail_set_address)) std::memcpy(it->second.address.data(), a, 6);
    } else if (request == SIOCGIFFLAGS) {
      log.push_back("get-flags " + name);
      if (!fails) req->ifr_flags = it->second.flags;
    } else {
      log.push_back(
          std::string(request == SIOCSIFFLAGS && (req->ifr_flags & IFF_UP) ? "up " : "down ") +
          name);
      if (!fails) it->second.flags = req->ifr_flags;
    }
    errno = ENODEV;
    return fails ? -1 : 0;
  }

  std::vector<std::string> log;
  std::map<std::string, Interface> interfaces;
  int socket_fd = -1;
  bool fail_socket = false;
  bool fail_get_address = false;
  bool fail_set_address = false;

 private:
  PlatformCalls* previous_ = nullptr;
};

}  // namespace vorn::settings::test
