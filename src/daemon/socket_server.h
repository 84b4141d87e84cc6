#pragma once

// The control socket: the accept loop of the main thread and one management thread per
// connection, each answering length-framed requests in order.

#include "daemon/framing.h"
#include "platform/unique_fd.h"

namespace vorn::daemon {

inline constexpr const char DAEMON_NAME[] = "vornd";
inline constexpr const char ANDROID_SOCKET_PREFIX[] = "ANDROID_SOCKET_";
inline constexpr int SOCKET_NAME_SIZE = 64;  // "ANDROID_SOCKET_vornd", with its NUL
inline constexpr int LISTEN_BACKLOG = 5;
inline constexpr int FIRST_BYTES_WAIT_MS = 5000;  // a silent client is dropped after this
// Connections served at once. Tool commands run one at a time anyway; the honest clients (a
// liveness heartbeat, a few scripts or shells) are a handful, so only stalled or hostile
// clients ever meet this. It bounds the daemon's threads and descriptors.
inline constexpr int MAX_CONNECTIONS = 32;

// Serves one connection until a framing error, a failed read (the client's close included), a
// request not whole within request_wait_ms of its first byte, or a failed write (also a reply
// the client does not take within request_wait_ms), then closes it.
void serve_requests(platform::UniqueFd fd, int request_wait_ms);

// serve_requests with REQUEST_WAIT_MS: the body of a connection's thread.
void management(platform::UniqueFd fd);

inline constexpr int ACCEPT_SERVED = 0;      // the connection has a thread of its own
inline constexpr int ACCEPT_FAILED = -1;     // accept failed (logged; errno kept)
inline constexpr int ACCEPT_SILENT = -2;     // no bytes within the wait; connection closed
inline constexpr int ACCEPT_NO_THREAD = -3;  // the thread could not be created; connection closed
inline constexpr int ACCEPT_BUSY = -4;       // max_connections served already; connection closed

// Waits up to wait_ms for the client's first bytes: silent, it logs "Data is Errored." and
// closes the connection (ACCEPT_SILENT); otherwise it logs "Data is available now." and runs
// serve_requests with wait_ms as its request wait (ACCEPT_SERVED once the connection has ended).
int serve_connection(platform::UniqueFd fd, int wait_ms);

// One round of the accept loop: accepts a connection and starts a detached thread that runs
// serve_connection on it. The wait for the first bytes happens in that thread, so that a
// silent client never holds up the clients behind it. With max_connections served already,
// the new connection is closed at once without a reply (logs "too many connections"): that
// client reads end of file, or a reset if it had sent a request, and may try again later.
int accept_one(int listen_fd, int wait_ms, int max_connections = MAX_CONNECTIONS);

// Connections accepted by accept_one whose threads have not ended yet.
[[nodiscard]] int connections_served();

// The descriptor named by "ANDROID_SOCKET_<name>", or -1 with errno set: ENOENT when the
// variable is missing, ERANGE for a number past the int range, EINVAL for anything else that
// is not a non-negative decimal number.
[[nodiscard]] int android_socket_fd(const char* name);

// Listens on the init socket and runs the accept loop forever. Returns -1 only when the
// socket cannot be obtained or listened on (logged).
int serve_init_socket();

}  // namespace vorn::daemon
