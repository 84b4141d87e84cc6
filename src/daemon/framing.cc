#include "daemon/framing.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log.h"

namespace vorn::daemon {

using platform::log_print;
using platform::LOG_PRIORITY_ERROR;

int read_fully(int fd, void* buffer, ssize_t count) {
  if (count < 0) return -1;
  auto* at = static_cast<char*>(buffer);
  while (count > 0) {
    const ssize_t n = ::read(fd, at, static_cast<size_t>(count));
    if (n > 0) {
      at += n;
      count -= n;
    } else if (n == 0) {
      log_print(LOG_PRIORITY_ERROR, "eof\n");
      return -1;
    } else if (errno != EINTR) {
      log_print(LOG_PRIORITY_ERROR, "read error: %s\n", std::strerror(errno));
      return -1;
    }
  }
  return 0;
}

namespace {

// send() with MSG_NOSIGNAL so that a client that hung up cannot kill the daemon; plain write()
// for descriptors that are not sockets.
ssize_t write_some(int fd, const char* at, size_t count) {
  const ssize_t n = ::send(fd, at, count, MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK) return ::write(fd, at, count);
  return n;
}

}  // namespace

int write_fully(int fd, const void* buffer, ssize_t count) {
  if (count < 0) return -1;
  const auto* at = static_cast<const char*>(buffer);
  while (count > 0) {
    const ssize_t n = write_some(fd, at, static_cast<size_t>(count));
    if (n >= 0) {
      at += n;
      count -= n;
    } else if (errno != EINTR) {
      log_print(LOG_PRIORITY_ERROR, "write error: %s\n", std::strerror(errno));
      return -1;
    }
  }
  return 0;
}

int read_request(int fd, std::span<char, REQUEST_BUFFER_SIZE> buffer) {
  unsigned char size[FRAME_LENGTH_SIZE];
  if (read_fully(fd, size, sizeof size) != 0) {
    log_print(LOG_PRIORITY_ERROR, "failed to read size\n");
    return FRAME_READ_FAILED;
  }
  const int length = frame_length(size[0], size[1]);
  if (length == 0 || length > MAX_REQUEST_LENGTH) {
    log_print(LOG_PRIORITY_ERROR, "invalid size %d\n", length);
    return FRAME_BAD_LENGTH;
  }
  if (read_fully(fd, buffer.data(), length) != 0) {
    log_print(LOG_PRIORITY_ERROR, "failed to read command\n");
    return FRAME_READ_FAILED;
  }
  buffer[static_cast<size_t>(length)] = '\0';
  return length;
}

int write_frame(int fd, std::string_view body) {
  if (body.size() > 0xFFFF) return -1;
  const unsigned char size[FRAME_LENGTH_SIZE] = {static_cast<unsigned char>(body.size() & 0xFF),
                                                 static_cast<unsigned char>(body.size() >> 8)};
  if (write_fully(fd, size, sizeof size) != 0) return -1;
  return write_fully(fd, body.data(), static_cast<ssize_t>(body.size()));
}

}  // namespace vorn::daemon
