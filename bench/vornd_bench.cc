// vornd-bench: load and heartbeat latency of the daemon's control socket.
//
//   vornd-bench [-s SOCKET] [-c CLIENTS] [-n REQUESTS] [-r REQUEST]
//               [-H HOLD_REQUEST] [-m HOLD_MS] [-b HEARTBEATS]
//
// Load: CLIENTS connections (default 8) each send REQUESTS requests (default 1000) of REQUEST
// (default "vorn info foo") back to back; prints requests/s and latency percentiles.
// Heartbeats: while one client sends HOLD_REQUEST back to back (each holds the daemon's command
// mutex), another sends HEARTBEATS "appalive set 10 0" requests (default 200), 5 ms apart, and
// their latency is measured. pid 0 never fires, so nothing is ever killed or restarted.
//
// With -s the figures are those of a running daemon at SOCKET (see bench/README.md for a safe
// way to start one). Without -s the daemon's own socket server runs in this process on a
// temporary socket: real accept loop, management threads, command table and appalive handler;
// "vorn hold" sleeps HOLD_MS (default 500) under the command mutex, other "vorn" requests run
// the dispatcher without the start-up (nothing reaches the platform), the liveness monitor is
// not started and its kill and restart actions are no-ops, and log lines are only counted.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli/dispatcher.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"
#include "daemon/app_alive.h"
#include "daemon/daemon_commands.h"
#include "daemon/socket_server.h"
#include "platform/log.h"
#include "socket_client/socket_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using vorn::platform::UniqueFd;

struct Options {
  std::string socket;
  int clients = 8;
  int requests = 1000;
  std::string request = "vorn info foo";
  std::string hold = "vorn hold";
  int hold_ms = 500;
  int heartbeats = 200;
};

std::atomic<long> g_log_lines{0};
int g_hold_ms = 500;

void count_line(int, const char*) { g_log_lines.fetch_add(1, std::memory_order_relaxed); }

int bench_tool(int argc, char** argv, std::span<char> reply) {
  if (argc >= 2 && std::strcmp(argv[1], "hold") == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(g_hold_ms));
    return 0;
  }
  const int result = vorn::cli::dispatch(argc, argv, reply);
  vorn::core::set_reply_buffer({});
  vorn::core::set_verbosity(vorn::core::VERBOSITY_NORMAL);
  return result;
}

int no_kill(int) { return 0; }
int no_run(const char*) { return 0; }

// Starts the socket server in this process; returns the socket path.
std::string start_in_process(const Options& options) {
  g_hold_ms = options.hold_ms;
  vorn::platform::set_log_sink(count_line);
  vorn::daemon::set_tool_runner(bench_tool);
  vorn::daemon::set_appalive_actions({.kill_process = no_kill, .run_command = no_run});
  vorn::daemon::appalive_clear();

  char dir[] = "/tmp/vornd-bench.XXXXXX";
  if (::mkdtemp(dir) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  const std::string path = std::string(dir) + "/vornd";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, vorn::daemon::LISTEN_BACKLOG) != 0) {
    std::perror("socket");
    std::exit(1);
  }
  std::thread([fd] {
    for (;;) (void)vorn::daemon::accept_one(fd, vorn::daemon::FIRST_BYTES_WAIT_MS);
  }).detach();
  return path;
}

UniqueFd connect_or_die(const std::string& path) {
  UniqueFd fd = vorn::tools::connect_socket(path, 5000);
  if (!fd) {
    std::fprintf(stderr, "vornd-bench: cannot connect to %s: %s\n", path.c_str(),
                 std::strerror(errno));
    std::exit(1);
  }
  return fd;
}

// One request and its reply; the latency in microseconds, or -1 on failure.
long ask(int fd, const std::string& request) {
  std::string reply;
  const auto start = Clock::now();
  if (!vorn::tools::send_request(fd, request) || !vorn::tools::read_reply(fd, reply)) return -1;
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

long percentile(std::vector<long>& values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t i = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
  return values[i];
}

void report(const char* what, std::vector<long>& us) {
  std::printf("%s: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", what, percentile(us, 0.50) / 1e3,
              percentile(us, 0.99) / 1e3, percentile(us, 1.0) / 1e3);
}

bool run_load(const std::string& path, const Options& options) {
  std::vector<std::vector<long>> latencies(static_cast<size_t>(options.clients));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int c = 0; c < options.clients; ++c) {
    threads.emplace_back([&, c] {
      const UniqueFd fd = connect_or_die(path);
      auto& mine = latencies[static_cast<size_t>(c)];
      mine.reserve(static_cast<size_t>(options.requests));
      for (int r = 0; r < options.requests; ++r) {
        const long us = ask(fd.get(), options.request);
        if (us < 0) {
          ++failures;
          return;
        }
        mine.push_back(us);
      }
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<long> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::printf("load: %d clients x %d requests of '%s': %zu answered in %.3f s, %.0f requests/s\n",
              options.clients, options.requests, options.request.c_str(), all.size(), seconds,
              all.size() / seconds);
  report("load latency", all);
  return failures == 0;
}

bool run_heartbeats(const std::string& path, const Options& options) {
  std::atomic<bool> done{false};
  std::atomic<int> holds{0};
  std::thread holder([&] {
    const UniqueFd fd = connect_or_die(path);
    while (!done) {
      if (ask(fd.get(), options.hold) < 0) return;
      ++holds;
    }
  });
  // Let the first hold take the mutex.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const UniqueFd fd = connect_or_die(path);
  std::vector<long> us;
  bool ok = true;
  for (int i = 0; i < options.heartbeats; ++i) {
    const long took = ask(fd.get(), "appalive set 10 0");
    if (took < 0) {
      ok = false;
      break;
    }
    us.push_back(took);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  done = true;
  holder.join();
  std::printf("heartbeats: %zu 'appalive set 10 0' while '%s' ran back to back (%d done)\n",
              us.size(), options.hold.c_str(), holds.load());
  const long p99 = percentile(us, 0.99);
  report("heartbeat latency", us);
  std::printf("heartbeat p99 %s 20 ms\n", p99 < 20000 ? "under" : "NOT under");
  return ok && p99 < 20000;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int opt;
  while ((opt = ::getopt(argc, argv, "s:c:n:r:H:m:b:h")) != -1) {
    switch (opt) {
      case 's':
        options.socket = optarg;
        break;
      case 'c':
        options.clients = std::max(1, std::atoi(optarg));
        break;
      case 'n':
        options.requests = std::max(1, std::atoi(optarg));
        break;
      case 'r':
        options.request = optarg;
        break;
      case 'H':
        options.hold = optarg;
        break;
      case 'm':
        options.hold_ms = std::atoi(optarg);
        break;
      case 'b':
        options.heartbeats = std::max(1, std::atoi(optarg));
        break;
      default:
        std::fprintf(stderr,
                     "usage: vornd-bench [-s SOCKET] [-c CLIENTS] [-n REQUESTS] [-r REQUEST]\n"
                     "                   [-H HOLD_REQUEST] [-m HOLD_MS] [-b HEARTBEATS]\n");
        return opt == 'h' ? 0 : 2;
    }
  }
  const bool in_process = options.socket.empty();
  const std::string path = in_process ? start_in_process(options) : options.socket;
  std::printf("daemon: %s (%s)\n", path.c_str(), in_process ? "in process" : "running daemon");
  const bool load_ok = run_load(path, options);
  const bool beats_ok = run_heartbeats(path, options);
  if (in_process) {
    std::printf("log lines: %ld\n", g_log_lines.load());
    ::unlink(path.c_str());
    ::rmdir(path.substr(0, path.rfind('/')).c_str());
  }
  return load_ok && beats_ok ? 0 : 1;
}
