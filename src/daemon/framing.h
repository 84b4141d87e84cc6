#pragma once

// Length framing of the control socket: every message, in both directions, is a 2-byte
// little-endian length followed by that many bytes of text, with no terminator.

#include <cstddef>
#include <span>
#include <string_view>

namespace vorn::daemon {

inline constexpr size_t REQUEST_BUFFER_SIZE = 1024;  // a request and its NUL
inline constexpr int MAX_REQUEST_LENGTH = 1023;      // longest request body accepted
inline constexpr size_t FRAME_LENGTH_SIZE = 2;
// Once the first byte of a request has come, the rest of it (at most 1024 more bytes, which
// any client sends in one write) must follow within this, as a silent client's first bytes
// must: a client that stalls inside a request, or drips it out, cannot hold its thread longer.
inline constexpr int REQUEST_WAIT_MS = 5000;

// Reads the 2-byte little-endian length of a frame. The length, or -1 when the connection
// ended first (logs "eof") or failed (logs "read error: ...").
[[nodiscard]] int read_frame_length(int fd);

inline constexpr int FRAME_READ_FAILED = -1;  // short read of the length or of the body
inline constexpr int FRAME_BAD_LENGTH = -2;   // length 0 or above MAX_REQUEST_LENGTH

// Reads one request frame into buffer (REQUEST_BUFFER_SIZE bytes) and puts a NUL after it.
// The wait for the frame's first byte has no limit (a client may keep its connection open
// between requests); the rest must arrive within request_wait_ms of it.
// Returns the body length (1..1023), FRAME_READ_FAILED (also when the time ran out: logs
// "read error: ..." with the time-out) or FRAME_BAD_LENGTH; logs the reason ("failed to read
// size", "invalid size %d", "failed to read command").
[[nodiscard]] int read_request(int fd, std::span<char, REQUEST_BUFFER_SIZE> buffer,
                               int request_wait_ms = REQUEST_WAIT_MS);

// Writes one frame: the length, then the body. 0, or -1 when a write failed or the body does
// not fit a 16-bit length (logs "write error: ..." for a failed write). A peer that has gone
// away is a write error, never a SIGPIPE.
[[nodiscard]] int write_frame(int fd, std::string_view body);

}  // namespace vorn::daemon
