#pragma once

// The cross-process lock of the boot environment block: the lock is held while the file
// "/dev/.vorn-lock" exists, and it is taken by creating that file exclusively
// (O_CREAT|O_EXCL), which every process of the system relies on. The file records its owner's
// process id as decimal text.
//
// A waiter sleeps briefly between tries. It recovers a lock left behind by a process that died
// while holding it: a lock whose owner no longer exists, or that is older than
// BOOTENV_LOCK_STALE_SECONDS (nobody holds the lock for more than one read and one write of
// the block; a time stamp that far in the future counts as old too), is removed, and only after
// moving it aside and checking that the file moved is the one judged stale, so that a lock just
// taken again by another process is put back.

#include <chrono>

namespace vorn::settings {

inline constexpr std::chrono::milliseconds BOOTENV_LOCK_RETRY_PAUSE{2};
inline constexpr int BOOTENV_LOCK_STALE_SECONDS = 10;

inline constexpr int BOOTENV_LOCK_OK = 0;
inline constexpr int BOOTENV_LOCK_FAILED = -1;  // the lock file cannot be created at all

// Waits until the lock is ours. BOOTENV_LOCK_OK, or BOOTENV_LOCK_FAILED when the file cannot
// be created for another reason than its existence (for example a missing directory); the
// lock is then not held.
[[nodiscard]] int bootenv_lock();

// Removes the lock file, but only when this process holds the lock and the file at the path
// is still the one it created. Does nothing otherwise.
void bootenv_unlock();

// Holds the lock for the life of the object.
class BootEnvLockGuard {
 public:
  BootEnvLockGuard() : held_(bootenv_lock() == BOOTENV_LOCK_OK) {}
  BootEnvLockGuard(const BootEnvLockGuard&) = delete;
  BootEnvLockGuard& operator=(const BootEnvLockGuard&) = delete;
  ~BootEnvLockGuard() {
    if (held_) bootenv_unlock();
  }
  [[nodiscard]] bool held() const { return held_; }

 private:
  bool held_;
};

}  // namespace vorn::settings
