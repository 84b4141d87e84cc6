#include "daemon/framing.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/io.h"
#include "platform/little_endian.h"
#include "platform/log.h"

namespace vorn::daemon {

using platform::log_print;
using platform::LOG_PRIORITY_ERROR;

namespace {

using Deadline = std::chrono::steady_clock::time_point;

// 0 when all count bytes arrived (by the deadline, when there is one); -1 after logging why not.
int read_exact(int fd, void* buffer, size_t count, const Deadline* deadline = nullptr) {
  const ssize_t n = deadline ? platform::read_fully_until(fd, buffer, count, *deadline)
                             : platform::read_fully(fd, buffer, count);
  if (n < 0) {
    log_print(LOG_PRIORITY_ERROR, "read error: %s\n", std::strerror(errno));
    return -1;
  }
  if (static_cast<size_t>(n) < count) {
    log_print(LOG_PRIORITY_ERROR, "eof\n");
    return -1;
  }
  return 0;
}

int send_exact(int fd, const void* buffer, size_t count) {
  if (platform::send_fully(fd, buffer, count) < 0) {
    log_print(LOG_PRIORITY_ERROR, "write error: %s\n", std::strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int read_frame_length(int fd) {
  uint8_t size[FRAME_LENGTH_SIZE];
  if (read_exact(fd, size, sizeof size) != 0) return -1;
  return platform::load_le16(size);
}

int read_request(int fd, std::span<char, REQUEST_BUFFER_SIZE> buffer, int request_wait_ms) {
  uint8_t size[FRAME_LENGTH_SIZE];
  // No limit before the first byte; from it on, the whole frame runs against one deadline.
  const bool first = read_exact(fd, size, 1) == 0;
  const Deadline deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(request_wait_ms);
  if (!first || read_exact(fd, size + 1, 1, &deadline) != 0) {
    log_print(LOG_PRIORITY_ERROR, "failed to read size\n");
    return FRAME_READ_FAILED;
  }
  const int length = platform::load_le16(size);
  if (length == 0 || length > MAX_REQUEST_LENGTH) {
    log_print(LOG_PRIORITY_ERROR, "invalid size %d\n", length);
    return FRAME_BAD_LENGTH;
  }
  if (read_exact(fd, buffer.data(), static_cast<size_t>(length), &deadline) != 0) {
    log_print(LOG_PRIORITY_ERROR, "failed to read command\n");
    return FRAME_READ_FAILED;
  }
  buffer[static_cast<size_t>(length)] = '\0';
  return length;
}

int write_frame(int fd, std::string_view body) {
  if (body.size() > 0xFFFF) return -1;
  uint8_t size[FRAME_LENGTH_SIZE];
  platform::store_le16(size, static_cast<uint16_t>(body.size()));
  if (send_exact(fd, size, sizeof size) != 0) return -1;
  return send_exact(fd, body.data(), body.size());
}

}  // namespace vorn::daemon
