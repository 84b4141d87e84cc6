#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/unique_fd.h"

namespace vorn::test {

// A connected pair of Unix stream sockets: first for the client, second for the daemon side.
inline std::pair<platform::UniqueFd, platform::UniqueFd> socket_pair() {
  int fds[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
  return {platform::UniqueFd(fds[0]), platform::UniqueFd(fds[1])};
}

inline bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The frame of a body of any length up to 65535 (also lengths the daemon refuses).
inline std::string frame(std::string_view body, size_t length) {
  std::string out;
  out.push_back(static_cast<char>(length & 0xFF));
  out.push_back(static_cast<char>((length >> 8) & 0xFF));
  out.append(body);
  return out;
}
inline std::string frame(std::string_view body) { return frame(body, body.size()); }

inline bool recv_all(int fd, char* at, size_t count) {
  while (count > 0) {
    const ssize_t n = ::recv(fd, at, count, 0);
    if (n <= 0) return false;
    at += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// One reply body, or nothing when the connection ended first.
inline std::optional<std::string> read_reply(int fd) {
  unsigned char size[2];
  if (!recv_all(fd, reinterpret_cast<char*>(size), 2)) return std::nullopt;
  std::string body(size[0] + 256u * size[1], '\0');
  if (!recv_all(fd, body.data(), body.size())) return std::nullopt;
  return body;
}

}  // namespace vorn::test
