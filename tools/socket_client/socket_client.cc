#include "socket_client/socket_client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

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

namespace {

bool send_all(int fd, const char* at, size_t count) {
  while (count > 0) {
    const ssize_t n = ::send(fd, at, count, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool recv_all(int fd, char* at, size_t count) {
  while (count > 0) {
    const ssize_t n = ::recv(fd, at, count, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool send_request(int fd, std::string_view body) {
  if (body.size() > 0xFFFF) return false;
  std::string message;
  message.reserve(body.size() + 2);
  message.push_back(static_cast<char>(body.size() & 0xFF));
  message.push_back(static_cast<char>(body.size() >> 8));
  message.append(body);
  return send_all(fd, message.data(), message.size());
}

bool read_reply(int fd, std::string& body) {
  unsigned char size[2];
  if (!recv_all(fd, reinterpret_cast<char*>(size), sizeof size)) return false;
  body.assign(size[0] + 256u * size[1], '\0');
  return recv_all(fd, body.data(), body.size());
}

int reply_code(std::string_view body) {
  return static_cast<int>(
      std::strtol(std::string(body.substr(0, body.find('\n'))).c_str(), nullptr, 10));
}

}  // namespace vorn::tools
