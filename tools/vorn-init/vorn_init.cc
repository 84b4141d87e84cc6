// vorn-init: starts vornd the way Android's init does, for host runs and the simulated device.
//
//   vorn-init [-s SOCKET] [-n NAME] [-m MODE] [-p PIDFILE] [-x] DAEMON [ARG...]
//
// Creates a Unix stream socket bound at SOCKET (default /dev/socket/vornd; an old file there is
// replaced), hands its descriptor to DAEMON in ANDROID_SOCKET_<NAME> (default name "vornd") and
// runs DAEMON with its arguments; DAEMON's base name chooses its personality, so it is the
// "vornd" link. Like init, it does not listen: the daemon does.
//
// By default it stays as the daemon's parent: SIGINT, SIGTERM and SIGHUP are passed on, the
// socket file is removed when the daemon ends, and the exit status is the daemon's (128 + the
// signal number when it was killed). -x replaces this process by the daemon instead. -p writes
// the daemon's pid to PIDFILE.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/unique_fd.h"
#include "socket_client/socket_client.h"

namespace {

constexpr const char DEFAULT_NAME[] = "vornd";

volatile sig_atomic_t g_child = 0;

void pass_on(int signal) {
  if (g_child > 0) ::kill(g_child, signal);
}

void usage() {
  std::fprintf(
      stderr,
      "usage: vorn-init [-s SOCKET] [-n NAME] [-m MODE] [-p PIDFILE] [-x] DAEMON [ARG...]\n"
      "  -s SOCKET   socket path (default %s)\n"
      "  -n NAME     service name: ANDROID_SOCKET_<NAME> (default %s)\n"
      "  -m MODE     octal permissions of the socket file (default 0660)\n"
      "  -p PIDFILE  write the daemon's pid there\n"
      "  -x          exec the daemon in place of vorn-init\n",
      vorn::tools::DEFAULT_SOCKET_PATH, DEFAULT_NAME);
}

vorn::platform::UniqueFd create_socket(const std::string& path, mode_t mode) {
  sockaddr_un address;
  if (!vorn::tools::unix_address(path, &address)) return {};
  // Close-on-exec until the daemon is exec'd; the child clears it on its copy.
  vorn::platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return {};
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  if (::chmod(path.c_str(), mode) != 0) return {};
  return fd;
}

[[noreturn]] void exec_daemon(int fd, const std::string& name, char** argv) {
  // The descriptor must survive the exec; ANDROID_SOCKET_<name> tells the daemon its number.
  if (::fcntl(fd, F_SETFD, 0) != 0) {
    std::perror("vorn-init: fcntl");
    std::_Exit(127);
  }
  const std::string variable = "ANDROID_SOCKET_" + name;
  ::setenv(variable.c_str(), std::to_string(fd).c_str(), 1);
  ::execv(argv[0], argv);
  std::fprintf(stderr, "vorn-init: cannot run %s: %s\n", argv[0], std::strerror(errno));
  std::_Exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = vorn::tools::DEFAULT_SOCKET_PATH;
  std::string name = DEFAULT_NAME;
  std::string pidfile;
  mode_t mode = 0660;
  bool replace = false;
  int opt;
  while ((opt = ::getopt(argc, argv, "+s:n:m:p:xh")) != -1) {
    switch (opt) {
      case 's':
        path = optarg;
        break;
      case 'n':
        name = optarg;
        break;
      case 'm':
        mode = static_cast<mode_t>(std::strtoul(optarg, nullptr, 8));
        break;
      case 'p':
        pidfile = optarg;
        break;
      case 'x':
        replace = true;
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
  char** daemon_argv = argv + optind;

  vorn::platform::UniqueFd fd = create_socket(path, mode);
  if (!fd) {
    std::fprintf(stderr, "vorn-init: cannot create socket %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (replace) {
    if (!pidfile.empty()) {
      if (FILE* f = std::fopen(pidfile.c_str(), "w")) {
        std::fprintf(f, "%d\n", static_cast<int>(::getpid()));
        std::fclose(f);
      }
    }
    exec_daemon(fd.release(), name, daemon_argv);
  }

  struct sigaction action {};
  action.sa_handler = pass_on;
  ::sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);

  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("vorn-init: fork");
    return 1;
  }
  if (child == 0) exec_daemon(fd.release(), name, daemon_argv);
  g_child = child;
  fd.reset();
  if (!pidfile.empty()) {
    if (FILE* f = std::fopen(pidfile.c_str(), "w")) {
      std::fprintf(f, "%d\n", static_cast<int>(child));
      std::fclose(f);
    }
  }

  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      std::perror("vorn-init: waitpid");
      return 1;
    }
  }
  ::unlink(path.c_str());
  if (!pidfile.empty()) ::unlink(pidfile.c_str());
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
