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
    log.push_back(std::string("shell ") + command);
    return 0;
  }

  int restart() override {
    ++restarts;
    log.push_back("restart");
    return -1;
  }

  // A real descriptor, so that a run that fails to close it leaves it open for the test to see.
  platform::UniqueFd control_socket_open() override {
    log.push_back("open");
    if (fail_socket) {
      errno = EMFILE;
      return {};
    }
    platform::UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
    socket_fd = fd.get();
    return fd;
  }

  // Whether the last socket handed out is still open.
  bool socket_open() const { return socket_fd >= 0 && ::fcntl(socket_fd, F_GETFD) != -1; }

  int interface_request(int fd, unsigned long request, ifreq* req) override {
    const std::string name(req->ifr_name, ::strnlen(req->ifr_name, IFNAMSIZ));
    auto it = interfaces.find(name);
    const bool usable = fd == socket_fd && it != interfaces.end();
    switch (request) {
      case SIOCGIFHWADDR:
        log.push_back("get-address " + name);
        if (!usable || fail_get_address) return fail();
        std::memcpy(req->ifr_hwaddr.sa_data, it->second.address.data(), 6);
        req->ifr_hwaddr.sa_family = 1;
        return 0;
      case SIOCSIFHWADDR:
        log.push_back("set-address " + name + " family " +
                      std::to_string(req->ifr_hwaddr.sa_family) + " " +
                      hex(req->ifr_hwaddr.sa_data));
        if (!usable || fail_set_address) return fail();
        std::memcpy(it->second.address.data(), req->ifr_hwaddr.sa_data, 6);
        return 0;
      case SIOCGIFFLAGS:
        log.push_back("get-flags " + name);
        if (!usable) return fail();
        req->ifr_flags = it->second.flags;
        return 0;
      case SIOCSIFFLAGS:
        log.push_back(std::string((req->ifr_flags & IFF_UP) ? "up " : "down ") + name);
        if (!usable) return fail();
        it->second.flags = req->ifr_flags;
        return 0;
      default:
        log.push_back("unknown request");
        return fail();
    }
  }

  std::vector<std::string> log;
  std::map<std::string, Interface> interfaces;
  int restarts = 0;
  int socket_fd = -1;
  bool fail_socket = false;
  bool fail_get_address = false;
  bool fail_set_address = false;

 private:
  static int fail() {
    errno = ENODEV;
    return -1;
  }

  static std::string hex(const char* bytes) {
    std::string out;
    for (int i = 0; i < 6; ++i) {
      char pair[4];
      std::snprintf(pair, sizeof pair, i ? ":%02X" : "%02X", static_cast<uint8_t>(bytes[i]));
      out += pair;
    }
    return out;
  }

  PlatformCalls* previous_ = nullptr;
};

}  // namespace vorn::settings::test
