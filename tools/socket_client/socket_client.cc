#include "socket_client/socket_client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/io.h"
#include "platform/little_endian.h"

namespace vorn::tools {

bool unix_address(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  path.copy(address->sun_path, path.size());
  return true;
}

platform::UniqueFd connect_socket(const std::string& path, int wait_ms) {
  sockaddr_un address;
  if (!unix_address(path, &address)) return {};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    const bool not_ready = errno == ENOENT || errno == ECONNREFUSED;
    if (!not_ready || std::chrono::steady_clock::now() >= end) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool send_request(int fd, std::string_view body) {
  if (body.size() > 0xFFFF) return false;
  std::string message(2, '\0');
  platform::store_le16(std::span<uint8_t, 2>(reinterpret_cast<uint8_t*>(message.data()), 2),
                       static_cast<uint16_t>(body.size()));
  message.append(body);
  return platform::send_fully(fd, message.data(), message.size()) >= 0;
}

bool read_reply(int fd, std::string& body) {
  uint8_t size[2];
  if (platform::read_fully(fd, size, sizeof size) != sizeof size) return false;
  body.assign(platform::load_le16(size), '\0');
  return platform::read_fully(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
}

int reply_code(std::string_view body) {
  return static_cast<int>(
      std::strtol(std::string(body.substr(0, body.find('\n'))).c_str(), nullptr, 10));
}

}  // namespace vorn::tools
