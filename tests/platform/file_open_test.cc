#include "platform/file_open.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/temp_dir.h"

namespace vorn::platform {
namespace {

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
