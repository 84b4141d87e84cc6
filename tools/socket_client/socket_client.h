#pragma once

// Client side of the daemon's control socket, shared by the host tools and the benchmark:
// every message is a 2-byte little-endian length and that many bytes of text.

#include <sys/un.h>

#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace vorn::tools {

inline constexpr const char DEFAULT_SOCKET_PATH[] = "/dev/socket/vornd";

// Fills a Unix socket address for path; false (errno ENAMETOOLONG) when the path does not fit.
[[nodiscard]] bool unix_address(const std::string& path, sockaddr_un* address);

// Connects to the Unix stream socket at path, retrying for up to wait_ms while the socket is not
// there yet or not yet listening. An invalid UniqueFd (errno set) on failure.
[[nodiscard]] platform::UniqueFd connect_socket(const std::string& path, int wait_ms);

// Sends one request frame. False when the body does not fit a frame or the send fails.
[[nodiscard]] bool send_request(int fd, std::string_view body);

// Reads one reply frame into body. False when the connection ended or failed first.
[[nodiscard]] bool read_reply(int fd, std::string& body);

// The reply code at the start of a reply body ("%d\n..."); 0 when there is none.
[[nodiscard]] int reply_code(std::string_view body);

}  // namespace vorn::tools
