#include "settings/boot_env_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

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
    std::ifstream in(lock_path());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // The id of a process that has just ended.
  static pid_t dead_pid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
  }

  static std::string pid_line(pid_t pid) { return std::to_string(pid) + "\n"; }
};

TEST_F(BootEnvLockTest, LockCreatesTheFileWithOurPidAndUnlockRemovesIt) {
  ASSERT_EQ(bootenv_lock(), BOOTENV_LOCK_OK);
  EXPECT_EQ(lock_text(), pid_line(::getpid()));
  bootenv_unlock();
  EXPECT_FALSE(lock_file_exists());
}

TEST_F(BootEnvLockTest, GuardHoldsForItsScope) {
  {
    BootEnvLockGuard guard;
    EXPECT_TRUE(guard.held());
    EXPECT_TRUE(lock_file_exists());
  }
  EXPECT_FALSE(lock_file_exists());
}

TEST_F(BootEnvLockTest, StaleLockOfADeadProcessIsRecoveredAtOnce) {
  write_lock(pid_line(dead_pid()));
  const auto start = Clock::now();
  ASSERT_EQ(bootenv_lock(), BOOTENV_LOCK_OK);
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  EXPECT_EQ(lock_text(), pid_line(::getpid()));
  bootenv_unlock();
  EXPECT_FALSE(lock_file_exists());
  // Nothing is left beside the lock by the recovery.
  EXPECT_NE(::access((lock_path() + ".stale." + std::to_string(::getpid())).c_str(), F_OK), 0);
}

TEST_F(BootEnvLockTest, LockOlderThanTheBoundIsRecoveredEvenWithALiveOwner) {
  write_lock(pid_line(::getppid()));
  const timespec old[2] = {{.tv_sec = ::time(nullptr) - 60, .tv_nsec = 0},
                           {.tv_sec = ::time(nullptr) - 60, .tv_nsec = 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, lock_path().c_str(), old, 0), 0);
  const auto start = Clock::now();
  ASSERT_EQ(bootenv_lock(), BOOTENV_LOCK_OK);
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  bootenv_unlock();
}

TEST_F(BootEnvLockTest, LockFromFarInTheFutureIsRecoveredToo) {
  write_lock(pid_line(::getppid()));
  const timespec future[2] = {{.tv_sec = ::time(nullptr) + 3600, .tv_nsec = 0},
                              {.tv_sec = ::time(nullptr) + 3600, .tv_nsec = 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, lock_path().c_str(), future, 0), 0);
  const auto start = Clock::now();
  ASSERT_EQ(bootenv_lock(), BOOTENV_LOCK_OK);
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  bootenv_unlock();
}

TEST_F(BootEnvLockTest, OldSymbolicLinkInTheLocksPlaceIsRemoved) {
  ASSERT_EQ(::symlink(dir_.file("elsewhere").c_str(), lock_path().c_str()), 0);
  const timespec old[2] = {{.tv_sec = ::time(nullptr) - 60, .tv_nsec = 0},
                           {.tv_sec = ::time(nullptr) - 60, .tv_nsec = 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, lock_path().c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
  const auto start = Clock::now();
  ASSERT_EQ(bootenv_lock(), BOOTENV_LOCK_OK);
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  EXPECT_EQ(lock_text(), pid_line(::getpid()));
  EXPECT_NE(::access(dir_.file("elsewhere").c_str(), F_OK), 0) << "followed the link";
  bootenv_unlock();
}

TEST_F(BootEnvLockTest, LockOfALiveProcessIsWaitedFor) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    if (bootenv_lock() != BOOTENV_LOCK_OK) ::_exit(1);
    (void)!::write(ready[1], "x", 1);
    std::this_thread::sleep_for(milliseconds(300));
    bootenv_unlock();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(lock_text(), pid_line(child));

  const auto start = Clock::now();
  ASSERT_EQ(bootenv_lock(), BOOTENV_LOCK_OK);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(200));
  EXPECT_LT(waited, milliseconds(5000));
  EXPECT_EQ(lock_text(), pid_line(::getpid()));
  bootenv_unlock();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(BootEnvLockTest, YoungLockOfALiveOwnerIsNotTakenAway) {
  // Written by "another" live process (this one) without taking the lock through the API.
  write_lock(pid_line(::getpid()));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int result = bootenv_lock();
    ::_exit(result == BOOTENV_LOCK_OK ? 0 : 1);
  }
  std::this_thread::sleep_for(milliseconds(200));
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, WNOHANG), 0) << "the waiter took a live lock";
  EXPECT_EQ(lock_text(), pid_line(::getpid()));
  ::unlink(lock_path().c_str());
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::unlink(lock_path().c_str());
}

TEST_F(BootEnvLockTest, EmptyYoungLockFileIsWaitedFor) {
  write_lock("");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(bootenv_lock() == BOOTENV_LOCK_OK ? 0 : 1);
  std::this_thread::sleep_for(milliseconds(100));
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, WNOHANG), 0);
  ::unlink(lock_path().c_str());
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::unlink(lock_path().c_str());
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
  EXPECT_TRUE(lock_file_exists());
  EXPECT_EQ(lock_text(), pid_line(::getppid()));
}

TEST_F(BootEnvLockTest, UncreatableLockFileFailsAtOnce) {
  vorn::test::ScopedPathOverride no_dir(platform::FixedPath::LOCK_FILE,
                                        dir_.file("missing-dir/vorn-lock"));
  const auto start = Clock::now();
  EXPECT_EQ(bootenv_lock(), BOOTENV_LOCK_FAILED);
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  BootEnvLockGuard guard;
  EXPECT_FALSE(guard.held());
}

TEST_F(BootEnvLockTest, ConcurrentProcessesNeverHoldTheLockTogether) {
  // Each child appends "<pid> in" and "<pid> out" around a short hold; the lines must pair up.
  const std::string journal = dir_.file("journal");
  constexpr int CHILDREN = 4;
  constexpr int ROUNDS = 25;
  pid_t children[CHILDREN];
  for (pid_t& child : children) {
    child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < ROUNDS; ++i) {
        if (bootenv_lock() != BOOTENV_LOCK_OK) ::_exit(1);
        {
          std::ofstream out(journal, std::ios::app);
          out << ::getpid() << " in\n";
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        {
          std::ofstream out(journal, std::ios::app);
          out << ::getpid() << " out\n";
        }
        bootenv_unlock();
      }
      ::_exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::ifstream in(journal);
  std::string pid_in, word_in, pid_out, word_out;
  int pairs = 0;
  while (in >> pid_in >> word_in) {
    ASSERT_TRUE(in >> pid_out >> word_out);
    EXPECT_EQ(word_in, "in");
    EXPECT_EQ(word_out, "out");
    EXPECT_EQ(pid_in, pid_out);
    ++pairs;
  }
  EXPECT_EQ(pairs, CHILDREN * ROUNDS);
  EXPECT_FALSE(lock_file_exists());
}

}  // namespace
}  // namespace vorn::settings::test
