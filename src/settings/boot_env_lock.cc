#include "settings/boot_env_lock.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <span>
#include <string_view>
#include <thread>

#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "platform/unique_fd.h"

namespace vorn::settings {

namespace {

using platform::FixedPath;
using platform::UniqueFd;

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
};

// Ownership is kept per thread: the file itself is the lock, and the thread that created it
// is the one that may remove it.
thread_local bool t_held = false;
thread_local FileId t_owned;

bool same_file(const struct stat& st, const FileId& id) {
  return st.st_dev == id.dev && st.st_ino == id.ino;
}

// The process id recorded in a lock file; 0 while none has been written yet.
pid_t recorded_owner(int fd) {
  std::array<char, 24> text{};
  const ssize_t n = ::pread(fd, text.data(), text.size() - 1, 0);
  if (n <= 0) return 0;
  long long pid = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    pid = pid * 10 + (text[i] - '0');
    if (pid > INT_MAX) return 0;
  }
  return static_cast<pid_t>(pid);
}

bool owner_gone(pid_t pid) { return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH; }

// Older than the bound; a time stamp as far in the future counts too, since a clock set back
// (a board without a real-time clock getting its time) must not make a dead lock young forever.
bool too_old(const struct stat& st) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  const long long age = static_cast<long long>(now.tv_sec) - st.st_mtim.tv_sec;
  return age > BOOTENV_LOCK_STALE_SECONDS || -age > BOOTENV_LOCK_STALE_SECONDS;
}

// The owner recorded in the file at a path, when it is the given file; -1 otherwise. Inode
// numbers are reused, so a file counts as the same only when its recorded owner is too.
pid_t owner_if_same(const char* path, const FileId& id) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !same_file(st, id)) return -1;
  return recorded_owner(fd.get());
}

// Moves a file aside under a name of this process; false when it could not be moved.
bool move_aside(const char* path, std::span<char> aside) {
  return platform::format_text(aside, "%s.stale.%d", path, static_cast<int>(::getpid())) &&
         ::rename(path, aside.data()) == 0;
}

// A symbolic link in the lock's place is no lock of ours, but its exclusive creation fails
// all the same: it is removed once it is as old as a stale lock.
void recover_stale_link(const char* path) {
  struct stat judged {};
  if (::lstat(path, &judged) != 0 || !S_ISLNK(judged.st_mode) || !too_old(judged)) return;
  std::array<char, PATH_MAX> aside{};
  if (!move_aside(path, aside)) return;
  struct stat moved {};
  if (::lstat(aside.data(), &moved) != 0 || moved.st_dev != judged.st_dev ||
      moved.st_ino != judged.st_ino) {
    (void)::link(aside.data(), path);
  }
  ::unlink(aside.data());
}

// Removes the lock file when it was left behind. The file judged stale is first moved aside
// (rename is atomic); if what was moved turns out to be a newer lock taken by another process
// in the meantime, it is put back under its name.
void recover_stale(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    if (errno == ELOOP) recover_stale_link(path);
    return;
  }
  struct stat judged {};
  if (::fstat(fd.get(), &judged) != 0) return;
  const pid_t owner = recorded_owner(fd.get());
  if (!owner_gone(owner) && !too_old(judged)) return;

  std::array<char, PATH_MAX> aside{};
  if (!move_aside(path, aside)) return;
  if (owner_if_same(aside.data(), FileId{judged.st_dev, judged.st_ino}) != owner) {
    (void)::link(aside.data(), path);
  }
  ::unlink(aside.data());
}

void pause_before_retry() { std::this_thread::sleep_for(BOOTENV_LOCK_RETRY_PAUSE); }

}  // namespace

int bootenv_lock() {
  const char* path = platform::fixed_path(FixedPath::LOCK_FILE);
  for (;;) {
    UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd) {
      struct stat st {};
      if (::fstat(fd.get(), &st) != 0) {
        ::unlink(path);
        return BOOTENV_LOCK_FAILED;
      }
      std::array<char, 24> text{};
      platform::format_text(text, "%d\n", static_cast<int>(::getpid()));
      const std::string_view pid_text = platform::slot_text(text);
      // A lock without its owner's id is still a lock; it is only recovered by its age.
      (void)!::write(fd.get(), pid_text.data(), pid_text.size());
      t_owned = FileId{st.st_dev, st.st_ino};
      t_held = true;
      return BOOTENV_LOCK_OK;
    }
    if (errno == EINTR) continue;
    if (errno != EEXIST) return BOOTENV_LOCK_FAILED;
    recover_stale(path);
    pause_before_retry();
  }
}

void bootenv_unlock() {
  if (!t_held) return;
  t_held = false;
  const char* path = platform::fixed_path(FixedPath::LOCK_FILE);
  if (owner_if_same(path, t_owned) == ::getpid()) ::unlink(path);
}

}  // namespace vorn::settings
