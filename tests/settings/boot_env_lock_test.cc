#include "settings/boot_env_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"

namespace vorn::settings::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class BootEnvLockTest : public DeviceFixture {
 protected:
  std::string lock_path() const { return dir_.file("vorn-lock"); }
  void write_lock(const std::string& text) const { dir_.write("vorn-lock", text); }
  std::string lock_text() const {
    const std::vector<uint8_t> bytes = vorn::test::read_file(lock_path());
    return {bytes.begin(), bytes.end()};
  }
  void age_lock(int seconds) const {
    const timespec when = {.tv_sec = ::time(nullptr) + seconds, .tv_nsec = 0};
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, lock_path().c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  // Takes the lock, which must come at once; then checks it is ours and leaves nothing behind.
  void expect_taken_at_once() const {
    const auto start = Clock::now();
    ASSERT_EQ(bootenv_lock(), BOOTENV_LOCK_OK);
    EXPECT_LT(Clock::now() - start, milliseconds(500));
    EXPECT_EQ(lock_text(), pid_line(::getpid()));
    bootenv_unlock();
    EXPECT_FALSE(lock_file_exists());
    EXPECT_NE(::access((lock_path() + ".stale." + std::to_string(::getpid())).c_str(), F_OK), 0);
  }

  // A child that takes the lock must still be waiting after a while; once the file is gone it
  // gets the lock.
  void expect_child_waits() const {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(bootenv_lock() == BOOTENV_LOCK_OK ? 0 : 1);
    std::this_thread::sleep_for(milliseconds(200));
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, WNOHANG), 0) << "the waiter took a live lock";
    ::unlink(lock_path().c_str());
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::unlink(lock_path().c_str());
  }

  static pid_t dead_pid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
  }
  static std::string pid_line(pid_t pid) { return std::to_string(pid) + "\n"; }
};

// (Processes taking the lock together are the system tests': concurrent vorn writers.)
// A lock left by a dead process, one older than the bound (even of a live owner), one from far
// in the future (a clock set back), and an old symbolic link in its place are all recovered.
TEST_F(BootEnvLockTest, StaleLocksAreRecoveredAtOnce) {
  write_lock(pid_line(dead_pid()));
  expect_taken_at_once();
  for (int age : {-60, 3600}) {
    write_lock(pid_line(::getppid()));
    age_lock(age);
    expect_taken_at_once();
  }
  ASSERT_EQ(::symlink(dir_.file("elsewhere").c_str(), lock_path().c_str()), 0);
  age_lock(-60);
  expect_taken_at_once();
  EXPECT_NE(::access(dir_.file("elsewhere").c_str(), F_OK), 0) << "followed the link";
}

// A young lock of a live owner, or a young empty one (its owner has not written its id yet),
// is waited for.
TEST_F(BootEnvLockTest, YoungLocksAreWaitedFor) {
  write_lock(pid_line(::getpid()));
  expect_child_waits();
  write_lock("");
  expect_child_waits();
}

TEST_F(BootEnvLockTest, UnlockLeavesALockItDoesNotOwn) {
  write_lock(pid_line(dead_pid()));
  bootenv_unlock();
  EXPECT_TRUE(lock_file_exists());
  ::unlink(lock_path().c_str());
  // Taken by us, then replaced by someone else's file: that file stays.
  ASSERT_EQ(bootenv_lock(), BOOTENV_LOCK_OK);
  ::unlink(lock_path().c_str());
  write_lock(pid_line(::getppid()));
  bootenv_unlock();
  EXPECT_EQ(lock_text(), pid_line(::getppid()));
}

}  // namespace
}  // namespace vorn::settings::test
