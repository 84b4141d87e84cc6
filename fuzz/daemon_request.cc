// The daemon's connection loop over a socket pair: framing, word splitting, the command table
// and the reply frames. Tool commands echo their last word instead of running.
#include <sys/socket.h>

#include <thread>

#include "daemon/daemon_commands.h"
#include "daemon/socket_server.h"
#include "fuzz_env.h"
#include "platform/fixed_text.h"
#include "platform/io.h"

using namespace vorn;

static int echo_tool(int argc, char** argv, std::span<char> reply) {
  platform::format_text(reply, "%d %s", argc, argv[argc - 1]);
  return argc;
}

// Input: what a client sends before it closes its side.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  daemon::set_tool_runner(echo_tool);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  const platform::UniqueFd client(pair[1]);
  // Served in a thread of its own, as in the daemon, while this client reads the replies: a
  // client that never reads would stall the connection once the socket's buffer is full.
  std::thread server([fd = pair[0]] { daemon::management(platform::UniqueFd(fd)); });
  // The whole loops go on after a signal (libFuzzer's timer); a send is cut short only when the
  // server has closed.
  (void)platform::send_fully(client.get(), data, size);
  ::shutdown(client.get(), SHUT_WR);
  std::string replies;
  char chunk[4096];
  for (ssize_t n; (n = platform::read_fully(client.get(), chunk, sizeof chunk)) > 0;)
    replies.append(chunk, size_t(n));
  server.join();
  // Nothing but whole frames, each "<code>\n" or "<code>\n<text>\n".
  for (size_t at = 0; at < replies.size();) {
    const size_t length = uint8_t(replies[at]) | size_t(uint8_t(replies[at + 1])) << 8;
    const std::string body = at + 1 < replies.size() ? replies.substr(at + 2, length) : "";
    if (body.size() != length || length < 2 || body.back() != '\n') std::abort();
    at += 2 + length;
  }
  return 0;
}
