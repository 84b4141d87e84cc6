#pragma once

// The control socket: the accept loop of the main thread and one management thread per
// connection, each answering length-framed requests in order.

namespace vorn::daemon {

inline constexpr const char DAEMON_NAME[] = "vornd";
inline constexpr const char ANDROID_SOCKET_PREFIX[] = "ANDROID_SOCKET_";
inline constexpr int SOCKET_NAME_SIZE = 64;  // "ANDROID_SOCKET_vornd", with its NUL
inline constexpr int LISTEN_BACKLOG = 5;
inline constexpr int FIRST_BYTES_WAIT_MS = 5000;  // a silent client is dropped after this

// Serves one connection until a framing error, a failed read (the client's close included) or
// a failed write. Takes ownership of fd and closes it.
void management(int fd);

inline constexpr int ACCEPT_SERVED = 0;      // a management thread serves the connection
inline constexpr int ACCEPT_FAILED = -1;     // accept failed (logged)
inline constexpr int ACCEPT_SILENT = -2;     // no bytes within the wait; connection closed
inline constexpr int ACCEPT_NO_THREAD = -3;  // the thread could not be created; connection closed

// One round of the accept loop: accepts a connection, waits up to wait_ms for its first bytes
// and hands it to a detached management thread.
int accept_one(int listen_fd, int wait_ms);

// The descriptor named by "ANDROID_SOCKET_<name>", or -1 (errno set) when the variable is
// missing or is not a non-negative decimal number.
[[nodiscard]] int android_socket_fd(const char* name);

// Listens on the init socket and runs the accept loop forever. Returns -1 only when the
// socket cannot be obtained or listened on (logged).
int serve_init_socket();

}  // namespace vorn::daemon
