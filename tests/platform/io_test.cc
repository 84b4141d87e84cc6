#include "platform/io.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/file_open.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

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

// Only regular files are read, and inside a file system nothing leads out of it: no link (even
// one that stays inside), no "..".
TEST(FileOpen, ReadsRegularFilesOnlyAndNeverLeavesTheDirectory) {
  const test::TempDir dir;
  const std::string root = dir.path() + "/root";
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root + "/d").c_str(), 0755), 0);
  dir.write("root/d/file", "x");
  dir.write("outside", "x");
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink((dir.path() + "/outside").c_str(), (root + "/out").c_str()), 0);
  ASSERT_EQ(::symlink("d/file", (root + "/in").c_str()), 0);
  ASSERT_EQ(::symlink("d", (root + "/dl").c_str()), 0);
  constexpr struct {
    const char* path;
    bool opens;
  } ROWS[] = {{"/d/file", true}, {"d//./file", true}, {"/fifo", false},        {"/out", false},
              {"/in", false},    {"/dl/file", false}, {"/d/../d/file", false}, {"/d", false},
              {"/", false},      {"/missing", false}};
  for (const auto& row : ROWS) {
    EXPECT_EQ(open_beneath(root.c_str(), row.path).ok(), row.opens) << row.path;
  }
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(open_for_reading((root + "/in").c_str(), OpenKind::REGULAR).ok()) << "a named path";
  EXPECT_FALSE(open_for_reading((root + "/fifo").c_str(), OpenKind::STORAGE).ok());
  EXPECT_FALSE(open_for_reading(root.c_str(), OpenKind::REGULAR).ok());
}

}  // namespace
}  // namespace vorn::platform
