#include "platform/io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace vorn::platform {
namespace {

// A reader that takes a little at a time while a timer keeps interrupting the writer: the
// kernel then ends blocked writes part way, and a whole transfer needs every rest written.
TEST(WriteFully, PartialWritesAreFinishedAndALostReaderIsReported) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction old {};
  ASSERT_EQ(::sigaction(SIGALRM, &action, &old), 0);  // no SA_RESTART: writes are cut short
  const itimerval every{{0, 300}, {0, 300}};
  ASSERT_EQ(::setitimer(ITIMER_REAL, &every, nullptr), 0);
  std::vector<char> data(size_t{4} << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4099);
  for (const bool socket : {false, true}) {
    int fds[2];
    ASSERT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : ::pipe(fds), 0);
    std::vector<char> got;
    std::thread reader([&] {
      sigset_t alarm;
      sigemptyset(&alarm);
      sigaddset(&alarm, SIGALRM);
      pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
      char chunk[4096];
      for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) != 0;) {
        if (n > 0) got.insert(got.end(), chunk, chunk + n);
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    });
    const ssize_t n = socket ? send_fully(fds[1], data.data(), data.size())
                             : write_fully(fds[1], data.data(), data.size());
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(n, static_cast<ssize_t>(data.size())) << "socket " << socket;
    EXPECT_TRUE(got == data) << "socket " << socket << ": " << got.size() << " bytes arrived";
  }
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[0]);
  errno = 0;
  EXPECT_EQ(send_fully(fds[1], data.data(), data.size()), -1);  // and no SIGPIPE
  EXPECT_EQ(errno, EPIPE);
  ::close(fds[1]);
  const itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &old, nullptr);
}

}  // namespace
}  // namespace vorn::platform
