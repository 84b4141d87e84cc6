// The daemon's connection loop over a socket pair: framing, word splitting, the command table
// and the reply frames. Tool commands echo their last word instead of running.
#include <sys/socket.h>

#include "daemon/daemon_commands.h"
#include "daemon/socket_server.h"
#include "fuzz_env.h"
#include "platform/fixed_text.h"

using namespace vorn;

static int echo_tool(int argc, char** argv, std::span<char> reply) {
  platform::format_text(reply, "%d %s", argc, argv[argc - 1]);
  return argc;
}

// Input: what a client sends before it closes its side.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setup();
  if (size > 4096) return 0;
  daemon::set_tool_runner(echo_tool);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  const platform::UniqueFd client(pair[1]);
  if (::send(client.get(), data, size, MSG_NOSIGNAL) != ssize_t(size)) std::abort();
  ::shutdown(client.get(), SHUT_WR);
  daemon::management(platform::UniqueFd(pair[0]));
  std::string replies(64 * 1024, '\0');
  replies.resize(size_t(
      std::max<ssize_t>(0, ::recv(client.get(), replies.data(), replies.size(), MSG_WAITALL))));
  // Nothing but whole frames, each "<code>\n" or "<code>\n<text>\n".
  for (size_t at = 0; at < replies.size();) {
    const size_t length = uint8_t(replies[at]) | size_t(uint8_t(replies[at + 1])) << 8;
    const std::string body = at + 1 < replies.size() ? replies.substr(at + 2, length) : "";
    if (body.size() != length || length < 2 || body.back() != '\n') std::abort();
    at += 2 + length;
  }
  return 0;
}
