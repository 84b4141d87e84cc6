#include "platform/io.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/unique_fd.h"

namespace vorn::platform {
namespace {

struct Pair {
  UniqueFd a, b;
};

Pair socket_pair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

TEST(Io, ReadFullyCollectsPiecesAndStopsShortOnlyAtEnd) {
  auto [a, b] = socket_pair();
  std::thread writer([fd = a.get()] {
    for (char c : std::string("hello")) {
      EXPECT_EQ(write_fully(fd, &c, 1), 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  char buffer[8] = {};
  EXPECT_EQ(read_fully(b.get(), buffer, 5), 5);
  writer.join();
  EXPECT_EQ(std::string(buffer, 5), "hello");
  ASSERT_EQ(write_fully(a.get(), "xy", 2), 2);
  a.reset();
  EXPECT_EQ(read_fully(b.get(), buffer, sizeof buffer), 2);
}

TEST(Io, SendToAGonePeerFailsWithoutSigpipe) {
  auto [a, b] = socket_pair();
  a.reset();
  EXPECT_EQ(send_fully(b.get(), "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
}

}  // namespace
}  // namespace vorn::platform
