// A stand-in daemon for the tool tests: takes its socket from ANDROID_SOCKET_vornd as vornd
// does and serves it with the daemon's own accept loop and management threads, but every
// "vorn" request only answers its word count with the text "words=<n>". No liveness monitor,
// no watchdog, no start-up: it reaches nothing outside its socket.

#include <sys/socket.h>

#include <cstdio>

#include "daemon/daemon_commands.h"
#include "daemon/socket_server.h"
#include "platform/fixed_text.h"

namespace {

int count_words(int argc, char**, std::span<char> reply) {
  vorn::platform::format_text(reply, "words=%d", argc);
  return argc;
}

}  // namespace

int main() {
  vorn::daemon::set_tool_runner(count_words);
  const int fd = vorn::daemon::android_socket_fd(vorn::daemon::DAEMON_NAME);
  if (fd < 0 || ::listen(fd, vorn::daemon::LISTEN_BACKLOG) != 0) {
    std::perror("fake_vornd");
    return 1;
  }
  for (;;) (void)vorn::daemon::accept_one(fd, vorn::daemon::FIRST_BYTES_WAIT_MS);
}
