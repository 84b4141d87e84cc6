// vorn-init: starts vornd the way Android's init does, for host runs and the simulated device.
//
//   vorn-init [-s SOCKET] [-p PIDFILE] [-x] SERVICE_FILE [DAEMON [ARG...]]
//
// Reads the service file the board's init reads (init/vornd.rc): its socket line gives the
// socket's name, type, mode and owner, its service line the program, its user and group lines
// the daemon's ids. Creates the socket bound at /dev/socket/<name> (or SOCKET; an old file
// there is replaced), hands its descriptor over in ANDROID_SOCKET_<name> and runs the
// service's program, or DAEMON with its arguments in its place (in a build tree, the "vornd"
// link: the base name chooses the personality). Like init, it does not listen: the daemon
// does. Owner and ids are applied only when vorn-init runs as root.
//
// By default it stays as the daemon's parent: SIGINT, SIGTERM and SIGHUP are passed on, the
// socket file is removed when the daemon ends, and the exit status is the daemon's (128 + the
// signal number when it was killed). -x replaces this process by the daemon instead. -p writes
// the daemon's pid to PIDFILE. A malformed service file: the line and what is wrong on standard
// error, exit status 2.

#include <fcntl.h>
#include <grp.h>
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
#include <fstream>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "socket_client/socket_client.h"
#include "vorn-init/service_file.h"

namespace {

using vorn::tools::Service;

constexpr const char ANDROID_SOCKET_DIR[] = "/dev/socket/";
constexpr size_t SERVICE_FILE_MAX = 64 * 1024;

volatile sig_atomic_t g_child = 0;

void pass_on(int signal) {
  if (g_child > 0) ::kill(g_child, signal);
}

void usage() {
  std::fprintf(stderr,
               "usage: vorn-init [-s SOCKET] [-p PIDFILE] [-x] SERVICE_FILE [DAEMON [ARG...]]\n"
               "  SERVICE_FILE  the init service file (init/vornd.rc)\n"
               "  DAEMON        run in place of the service's program (e.g. build/src/vornd)\n"
               "  -s SOCKET     socket path (default %s<socket name>)\n"
               "  -p PIDFILE    write the daemon's pid there\n"
               "  -x            exec the daemon in place of vorn-init\n",
               ANDROID_SOCKET_DIR);
}

// The parsed file; exits with status 2 and a message naming the line when it is malformed.
Service read_service(const char* path) {
  std::ifstream file(path, std::ios::binary);
  std::string text(SERVICE_FILE_MAX + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(file.gcount()));
  if (file.bad() || !file.is_open() || text.size() > SERVICE_FILE_MAX) {
    std::fprintf(stderr, "vorn-init: cannot read %s (missing, or larger than %zu bytes)\n", path,
                 SERVICE_FILE_MAX);
    std::exit(2);
  }
  Service service;
  std::string error;
  if (!vorn::tools::parse_service_file(text, &service, &error)) {
    std::fprintf(stderr, "vorn-init: %s:%s\n", path, error.c_str());
    std::exit(2);
  }
  return service;
}

vorn::platform::UniqueFd create_socket(const std::string& path, const Service& service) {
  sockaddr_un address;
  if (!vorn::tools::unix_address(path, &address)) return {};
  // Close-on-exec until the daemon is exec'd; the child clears it on its copy.
  vorn::platform::UniqueFd fd(::socket(AF_UNIX, service.socket.type | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return {};
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  if (::chmod(path.c_str(), service.socket.mode) != 0) return {};
  if (::geteuid() == 0 && ::chown(path.c_str(), service.socket.uid, service.socket.gid) != 0) {
    return {};
  }
  return fd;
}

[[noreturn]] void fail_child(const char* what) {
  std::fprintf(stderr, "vorn-init: %s: %s\n", what, std::strerror(errno));
  std::_Exit(127);
}

[[noreturn]] void exec_daemon(int fd, const Service& service, std::vector<std::string> argv) {
  // The descriptor must survive the exec; ANDROID_SOCKET_<name> tells the daemon its number.
  if (::fcntl(fd, F_SETFD, 0) != 0) fail_child("fcntl");
  const std::string variable = "ANDROID_SOCKET_" + service.socket.name;
  ::setenv(variable.c_str(), std::to_string(fd).c_str(), 1);
  if (::geteuid() == 0) {
    // Groups first: once the user is not root any more, they cannot be changed.
    const auto& groups = service.supplementary_groups;
    if (::setgroups(groups.size(), groups.data()) != 0) fail_child("setgroups");
    if (::setgid(service.gid) != 0) fail_child("setgid");
    if (::setuid(service.uid) != 0) fail_child("setuid");
  }
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  std::fprintf(stderr, "vorn-init: cannot run %s: %s\n", args[0], std::strerror(errno));
  std::_Exit(127);
}

void write_pidfile(const std::string& pidfile, pid_t pid) {
  if (pidfile.empty()) return;
  if (FILE* f = std::fopen(pidfile.c_str(), "w")) {
    std::fprintf(f, "%d\n", static_cast<int>(pid));
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  std::string pidfile;
  bool replace = false;
  int opt;
  while ((opt = ::getopt(argc, argv, "+s:p:xh")) != -1) {
    switch (opt) {
      case 's':
        path = optarg;
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
  const Service service = read_service(argv[optind]);
  std::vector<std::string> daemon_argv(argv + optind + 1, argv + argc);
  if (daemon_argv.empty()) daemon_argv = service.argv;
  if (path.empty()) path = ANDROID_SOCKET_DIR + service.socket.name;

  vorn::platform::UniqueFd fd = create_socket(path, service);
  if (!fd) {
    std::fprintf(stderr, "vorn-init: cannot create socket %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (replace) {
    write_pidfile(pidfile, ::getpid());
    exec_daemon(fd.release(), service, daemon_argv);
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
  if (child == 0) exec_daemon(fd.release(), service, daemon_argv);
  g_child = child;
  fd.reset();
  write_pidfile(pidfile, child);

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
