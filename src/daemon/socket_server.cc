#include "daemon/socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "daemon/daemon_commands.h"
#include "daemon/framing.h"
#include "daemon/request_words.h"
#include "daemon/threads.h"
#include "platform/fixed_text.h"
#include "platform/log.h"
#include "platform/unique_fd.h"

namespace vorn::daemon {

using platform::log_print;
using platform::LOG_PRIORITY_ERROR;
using platform::LOG_PRIORITY_INFO;
using platform::UniqueFd;

void serve_requests(UniqueFd fd, int request_wait_ms) {
  log_print(LOG_PRIORITY_INFO, "management: new connection[thread](socket=%d)\n", fd.get());
  // A client that stops reading its replies must not hold the thread in a write for good.
  const timeval send_wait{.tv_sec = request_wait_ms / 1000,
                          .tv_usec = (request_wait_ms % 1000) * 1000};
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &send_wait, sizeof send_wait);
  std::array<char, REQUEST_BUFFER_SIZE> request;
  for (;;) {
    const int length = read_request(fd.get(), request, request_wait_ms);
    if (length <= 0) break;
    std::array<char, REQUEST_BUFFER_SIZE> shown;
    log_print(LOG_PRIORITY_INFO, "execute('%s')\n", request_for_log(request.data(), shown).data());
    std::array<char, REPLY_TEXT_SIZE> reply_text{};
    const int code = run_request(request, reply_text);
    // The request has been used; the reply goes into the same buffer.
    const std::string_view reply = format_reply(request, code, reply_text);
    log_print(LOG_PRIORITY_INFO, "reply: '%s'\n", request.data());
    if (write_frame(fd.get(), reply) != 0) break;
  }
  log_print(LOG_PRIORITY_INFO, "management: closing connection[thread](socket=%d)\n", fd.get());
}

void management(UniqueFd fd) { serve_requests(std::move(fd), REQUEST_WAIT_MS); }

int serve_connection(UniqueFd fd, int wait_ms) {
  // poll, not select: a descriptor above FD_SETSIZE must not overflow an fd_set.
  pollfd wait{.fd = fd.get(), .events = POLLIN, .revents = 0};
  if (::poll(&wait, 1, wait_ms) == 0) {
    log_print(LOG_PRIORITY_ERROR, "Data is Errored.\n");
    return ACCEPT_SILENT;
  }
  log_print(LOG_PRIORITY_ERROR, "Data is available now.\n");
  serve_requests(std::move(fd), wait_ms);
  return ACCEPT_SERVED;
}

namespace {

std::atomic<int> g_connections{0};

// One of the connections counted against the cap, from accept to the end of its thread.
class ConnectionSlot {
 public:
  ConnectionSlot() { g_connections.fetch_add(1); }
  ~ConnectionSlot() { g_connections.fetch_sub(1); }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;
};

struct ConnectionStart {
  UniqueFd fd;
  int wait_ms;
  ConnectionSlot slot;
};

void connection_thread(void* raw) {
  const std::unique_ptr<ConnectionStart> start(static_cast<ConnectionStart*>(raw));
  (void)serve_connection(std::move(start->fd), start->wait_ms);
}

}  // namespace

int connections_served() { return g_connections.load(); }

int accept_one(int listen_fd, int wait_ms, int max_connections) {
  sockaddr_storage peer{};
  socklen_t peer_size = sizeof peer;
  // Close-on-exec from the start: another thread may run a shell command at any moment.
  UniqueFd fd(::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_size, SOCK_CLOEXEC));
  if (!fd) {
    log_print(LOG_PRIORITY_ERROR, "Accept failed: %s\n", std::strerror(errno));
    return ACCEPT_FAILED;
  }
  // Only the accept loop adds connections, so the count cannot grow between check and start.
  if (g_connections.load() >= max_connections) {
    log_print(LOG_PRIORITY_ERROR, "too many connections (%d), closing socket=%d\n", max_connections,
              fd.get());
    return ACCEPT_BUSY;
  }
  std::unique_ptr<ConnectionStart> start(new (std::nothrow)
                                             ConnectionStart{std::move(fd), wait_ms, {}});
  if (!start || !start_detached_thread(connection_thread, start.get())) return ACCEPT_NO_THREAD;
  // The thread owns the start record, and the connection with it, from here on.
  (void)start.release();
  return ACCEPT_SERVED;
}

int android_socket_fd(const char* name) {
  std::array<char, SOCKET_NAME_SIZE> variable{};
  if (!platform::format_text(variable, "%s%s", ANDROID_SOCKET_PREFIX, name)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const char* value = std::getenv(variable.data());
  if (value == nullptr) {
    errno = ENOENT;
    return -1;
  }
  errno = 0;
  char* end = nullptr;
  // Wider than any descriptor on every word size: a number past the int range fails with
  // ERANGE alike on the 32-bit board and on a 64-bit machine, where a long would take it.
  const long long fd = std::strtoll(value, &end, 10);
  if (errno == 0 && fd > INT32_MAX) errno = ERANGE;
  if (errno != 0) return -1;
  if (end == value || *end != '\0' || fd < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(fd);
}

namespace {

constexpr int ACCEPT_RETRY_PAUSE_MS = 100;

bool out_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

int serve_init_socket() {
  const int fd = android_socket_fd(DAEMON_NAME);
  if (fd < 0) {
    log_print(LOG_PRIORITY_ERROR, "Failed to get socket from environment: %s\n",
              std::strerror(errno));
    return -1;
  }
  if (::listen(fd, LISTEN_BACKLOG) < 0) {
    log_print(LOG_PRIORITY_ERROR, "Listen on socket failed: %s\n", std::strerror(errno));
    return -1;
  }
  (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
  for (;;) {
    if (accept_one(fd, FIRST_BYTES_WAIT_MS) == ACCEPT_FAILED && out_of_resources(errno)) {
      // Out of descriptors or memory, accept fails at once again: let connections end first
      // instead of spinning on the error.
      std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_RETRY_PAUSE_MS));
    }
  }
}

}  // namespace vorn::daemon
