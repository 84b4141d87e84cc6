// Connections of the control socket, served by the real tool dispatcher in-process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "daemon/app_alive.h"
#include "daemon/log_capture.h"
#include "daemon/socket_helpers.h"
#include "daemon/socket_server.h"
#include "platform/fixed_paths.h"
#include "support/path_override.h"
#include "support/temp_dir.h"

namespace vorn::daemon {
namespace {

using platform::UniqueFd;
using test::frame;
using test::read_reply;
using test::send_all;

class Management : public testing::Test {
 protected:
  Management()
      : cmdline_(platform::FixedPath::KERNEL_CMDLINE,
                 dir_.write("cmdline", "console=ttyS0 vorn.hw=zt4100.1.0\n")) {
    appalive_clear();
  }
  ~Management() override { appalive_clear(); }

  // A socket bound to the test's address and listening, or connected to it.
  UniqueFd unix_socket(bool listening) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    dir_.file("sock").copy(a.sun_path, sizeof a.sun_path - 1);
    const auto* address = reinterpret_cast<const sockaddr*>(&a);
    if (!listening) {
      EXPECT_EQ(::connect(fd.get(), address, sizeof a), 0);
    } else {
      EXPECT_EQ(::bind(fd.get(), address, sizeof a), 0);
      EXPECT_EQ(::listen(fd.get(), LISTEN_BACKLOG), 0);
    }
    return fd;
  }

  // Detached connection threads must be done before the log capture goes away.
  void wait_for_closed_connections(size_t count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    size_t closed = 0;
    while (closed < count && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      closed = 0;
      for (const std::string& line : log_.lines()) {
        closed += line.starts_with("management: closing connection") ? 1 : 0;
      }
    }
    EXPECT_GE(closed, count);
  }

  test::TempDir dir_;
  test::ScopedPathOverride cmdline_;
  test::LogCapture log_;
};

// The real start-up and dispatcher behind each request: an error keeps the connection, a quiet
// command leaves the next one its own output rules, back-to-back requests are answered in order.
TEST_F(Management, RequestsOfOneConnection) {
  auto [client, server] = test::socket_pair();
  std::thread serving(management, std::move(server));
  const int fd = client.get();
  for (const auto& [request, reply] : {std::pair{"vorn bogus", "-2\n"},
                                       {"vorn info hw_version", "0\nzt4100.1.0\n"},
                                       {"vorn help", "0\n"},
                                       {"vorn bogus https://u:pw@h/x.vif?t=s3cret", "-2\n"}}) {
    EXPECT_TRUE(send_all(fd, frame(request)));
    EXPECT_EQ(read_reply(fd), reply);
  }
  EXPECT_TRUE(send_all(fd, frame("vorn info foo") + frame("vorn") + frame("appalive x")));
  EXPECT_EQ(read_reply(fd), "0\n");
  EXPECT_EQ(read_reply(fd), "-2\n");
  EXPECT_EQ(read_reply(fd), "-1\n");
  client.reset();
  serving.join();
  EXPECT_TRUE(log_.has("execute('vorn info foo')\n", platform::LOG_PRIORITY_INFO));
  EXPECT_TRUE(log_.has("reply: '0\nzt4100.1.0\n'\n", platform::LOG_PRIORITY_INFO));
  EXPECT_TRUE(log_.has("execute('vorn bogus https://h/x.vif')\n", platform::LOG_PRIORITY_INFO));
  const std::vector<std::string> lines = log_.lines();
  for (const std::string& line : lines) EXPECT_EQ(line.find("s3cret"), line.npos) << line;
  EXPECT_TRUE(lines.front().starts_with("management: new connection[thread](socket="));
  EXPECT_TRUE(lines.back().starts_with("management: closing connection[thread](socket="));
}

// poll() has no descriptor limit; select() would write past its fd_set here.
TEST_F(Management, DescriptorsAbove1023AreWaitedFor) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low";
  const rlimit saved = limit;
  limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1200);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  const UniqueFd listener = unix_socket(true);
  std::vector<UniqueFd> filler;
  const UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  while (filler.empty() || filler.back().get() < 1100) {
    filler.emplace_back(::fcntl(null.get(), F_DUPFD_CLOEXEC, 0));
    ASSERT_TRUE(filler.back().ok());
  }
  // The client end takes the next free descriptor; free one slot up high for the accepted one.
  const UniqueFd client = unix_socket(false);
  filler.pop_back();
  ASSERT_TRUE(send_all(client.get(), frame("vorn info foo")));
  EXPECT_EQ(accept_one(listener.get(), 1000), ACCEPT_SERVED);
  EXPECT_EQ(read_reply(client.get()), "0\n");
  ::shutdown(client.get(), SHUT_WR);
  wait_for_closed_connections(1);
  filler.clear();
  ::setrlimit(RLIMIT_NOFILE, &saved);
}

// From its first byte a request must be whole within the wait, however it trickles in (half a
// length, part of a body, every byte late by less than the wait).
TEST_F(Management, StalledOrDrippedRequestIsDroppedAfterItsWait) {
  const std::string request = frame("vorn info foo");
  for (const size_t sent : {size_t{1}, size_t{6}, request.size()}) {
    auto [client, server] = test::socket_pair();
    const timeval limit{.tv_sec = 3, .tv_usec = 0};  // fail, do not hang, if never dropped
    ASSERT_EQ(::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    std::thread serving(serve_requests, std::move(server), 200);
    for (size_t i = 0; i < sent; ++i) {
      (void)send_all(client.get(), request.substr(i, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    EXPECT_EQ(read_reply(client.get()), std::nullopt) << sent;
    client.reset();
    serving.join();
  }
  const std::vector<std::string> lines = log_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "read error: Connection timed out\n"), 3);
}

TEST_F(Management, ConnectionsBeyondTheCapAreClosedAtOnce) {
  const UniqueFd listener = unix_socket(true);
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 4; ++i) {
    // Before the fourth, the silent ones have been dropped after their wait: room again.
    for (int t = 0; t < 500 && i % 3 == 0 && connections_served() > 0; ++t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    clients.push_back(unix_socket(false));
    EXPECT_TRUE(i != 3 || send_all(clients[3].get(), frame("vorn info foo")));
    EXPECT_EQ(accept_one(listener.get(), 300, 2), i == 2 ? ACCEPT_BUSY : ACCEPT_SERVED);
  }
  EXPECT_EQ(read_reply(clients[2].get()), std::nullopt);
  EXPECT_EQ(read_reply(clients[3].get()), "0\n");
  ::shutdown(clients[3].get(), SHUT_WR);
  wait_for_closed_connections(1);
}

TEST(AndroidSocket, DescriptorFromTheEnvironment) {
  ::unsetenv("ANDROID_SOCKET_vorntest");
  EXPECT_EQ(android_socket_fd("vorntest"), -1);
  EXPECT_EQ(errno, ENOENT);
  ::setenv("ANDROID_SOCKET_vorntest", "9", 1);
  EXPECT_EQ(android_socket_fd("vorntest"), 9);
  // The same error on every word size: it is what the daemon logs.
  const struct {
    const char* value;
    int error;
  } bad[] = {{"", EINVAL},           {"-1", EINVAL},         {"9x", EINVAL},
             {"2147483648", ERANGE}, {"4294967305", ERANGE}, {"99999999999999999999", ERANGE}};
  for (const auto& b : bad) {
    ::setenv("ANDROID_SOCKET_vorntest", b.value, 1);
    EXPECT_EQ(android_socket_fd("vorntest"), -1) << b.value;
    EXPECT_EQ(errno, b.error) << b.value;
  }
  ::unsetenv("ANDROID_SOCKET_vorntest");
  EXPECT_EQ(android_socket_fd(std::string(80, 'n').c_str()), -1);
}

}  // namespace
}  // namespace vorn::daemon
