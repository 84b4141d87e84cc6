#pragma once

// Whole transfers on a descriptor: every loop that must not stop at an interrupted or partial
// read or write goes through these.

#include <sys/types.h>

#include <chrono>
#include <cstddef>

namespace vorn::platform {

// Reads until count bytes arrived or the file ended, retrying interrupted reads. The number
// of bytes read (fewer than count only at end of file), or -1 on a read error (errno set).
[[nodiscard]] ssize_t read_fully(int fd, void* buffer, size_t count);

// As read_fully, at offset (pread), leaving the descriptor's position alone: the number of bytes
// read (fewer than count only at end of file), or -1 on a read error or a negative offset.
[[nodiscard]] ssize_t read_fully_at(int fd, void* buffer, size_t count, off_t offset);

// As read_fully, but gives up at the deadline however the bytes trickle in: the number of bytes
// read (fewer than count only at end of file), or -1 on a read error or when the deadline
// passed first (errno ETIMEDOUT).
[[nodiscard]] ssize_t read_fully_until(int fd, void* buffer, size_t count,
                                       std::chrono::steady_clock::time_point deadline);

// Writes all count bytes, retrying interrupted and partial writes. count, or -1 on a write
// error (errno set); a write that makes no progress is an error (ENOSPC).
[[nodiscard]] ssize_t write_fully(int fd, const void* buffer, size_t count);

// As write_fully, for a socket whose peer may have gone: the loss is an error (EPIPE), never a
// SIGPIPE that ends the process. Descriptors that are not sockets get plain writes.
[[nodiscard]] ssize_t send_fully(int fd, const void* buffer, size_t count);

}  // namespace vorn::platform
