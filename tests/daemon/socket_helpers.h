#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/io.h"
#include "platform/little_endian.h"
#include "platform/unique_fd.h"

namespace vorn::test {

// A connected pair of Unix stream sockets: first for the client, second for the daemon side.
inline std::pair<platform::UniqueFd, platform::UniqueFd> socket_pair() {
  int fds[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
  return {platform::UniqueFd(fds[0]), platform::UniqueFd(fds[1])};
}

inline bool send_all(int fd, std::string_view bytes) {
  return platform::send_fully(fd, bytes.data(), bytes.size()) >= 0;
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

// One reply body, or nothing when the connection ended first.
inline std::optional<std::string> read_reply(int fd) {
  uint8_t size[2];
  if (platform::read_fully(fd, size, 2) != 2) return std::nullopt;
  std::string body(platform::load_le16(size), '\0');
  if (platform::read_fully(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
    return std::nullopt;
  }
  return body;
}

}  // namespace vorn::test
