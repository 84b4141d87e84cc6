// vornc: sends one request to vornd and prints the reply.
//
//   vornc [-s SOCKET] [-w SECONDS] [-t] WORD...
//
// The words are joined by single blanks into one request (quote them to send one string as
// is). The reply body ("<code>\n" or "<code>\n<text>\n") is printed unchanged, or only its text
// with -t. The exit status is the reply code (its low 8 bits: -1 is 255, -2 is 254); 125 when
// no reply came (no socket, refused request, connection closed).

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "socket_client/socket_client.h"

namespace {

constexpr int EXIT_NO_REPLY = 125;

void usage() {
  std::fprintf(stderr,
               "usage: vornc [-s SOCKET] [-w SECONDS] [-t] WORD...\n"
               "  -s SOCKET   daemon socket (default %s)\n"
               "  -w SECONDS  wait that long for the socket to come up (default 0)\n"
               "  -t          print only the reply text, not the code line\n"
               "exit status: the reply code (low 8 bits); %d when no reply came\n",
               vorn::tools::DEFAULT_SOCKET_PATH, EXIT_NO_REPLY);
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = vorn::tools::DEFAULT_SOCKET_PATH;
  int wait_ms = 0;
  bool text_only = false;
  int opt;
  while ((opt = ::getopt(argc, argv, "+s:w:th")) != -1) {
    switch (opt) {
      case 's':
        path = optarg;
        break;
      case 'w':
        wait_ms = std::atoi(optarg) * 1000;
        break;
      case 't':
        text_only = true;
        break;
      default:
        usage();
        return opt == 'h' ? 0 : 2;
    }
  }
  if (optind >= argc) {
    usage();
    return 2;
  }
  std::string request;
  for (int i = optind; i < argc; ++i) {
    if (i > optind) request.push_back(' ');
    request.append(argv[i]);
  }

  const vorn::platform::UniqueFd fd = vorn::tools::connect_socket(path, wait_ms);
  if (!fd) {
    std::fprintf(stderr, "vornc: cannot connect to %s: %s\n", path.c_str(), std::strerror(errno));
    return EXIT_NO_REPLY;
  }
  std::string reply;
  if (!vorn::tools::send_request(fd.get(), request) || !vorn::tools::read_reply(fd.get(), reply)) {
    std::fprintf(stderr, "vornc: no reply from %s\n", path.c_str());
    return EXIT_NO_REPLY;
  }
  std::string_view shown = reply;
  if (text_only) {
    const size_t newline = shown.find('\n');
    shown = newline == std::string_view::npos ? std::string_view{} : shown.substr(newline + 1);
  }
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  return vorn::tools::reply_code(reply) & 0xFF;
}
