#include "platform/io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace vorn::platform {

namespace {

using WriteSome = ssize_t (*)(int fd, const char* at, size_t count);

ssize_t write_loop(int fd, const void* buffer, size_t count, WriteSome write_some) {
  const auto* at = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = write_some(fd, at + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) {
      errno = ENOSPC;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t plain_write(int fd, const char* at, size_t count) { return ::write(fd, at, count); }

ssize_t socket_write(int fd, const char* at, size_t count) {
  const ssize_t n = ::send(fd, at, count, MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK) return ::write(fd, at, count);
  return n;
}

}  // namespace

ssize_t read_fully(int fd, void* buffer, size_t count) {
  auto* at = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, at + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t read_fully_at(int fd, void* buffer, size_t count, off_t offset) {
  if (offset < 0) {
    errno = EINVAL;
    return -1;
  }
  auto* at = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, at + done, count - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t read_fully_until(int fd, void* buffer, size_t count,
                         std::chrono::steady_clock::time_point deadline) {
  auto* at = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
    const int polled =
        ::poll(&ready, 1, static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX)));
    if (polled < 0 && errno != EINTR) return -1;
    if (polled <= 0) continue;  // interrupted or timed out: the deadline check decides
    const ssize_t n = ::read(fd, at + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t write_fully(int fd, const void* buffer, size_t count) {
  return write_loop(fd, buffer, count, plain_write);
}

ssize_t send_fully(int fd, const void* buffer, size_t count) {
  return write_loop(fd, buffer, count, socket_write);
}

}  // namespace vorn::platform
