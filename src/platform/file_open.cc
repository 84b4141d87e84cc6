#include "platform/file_open.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "platform/fixed_text.h"

namespace vorn::platform {

namespace {

// The open that reads: a FIFO swapped in at the last moment still opens at once, and a terminal
// never becomes the process's controlling terminal.
constexpr int READ_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

bool of_kind(const struct stat& st, OpenKind kind) {
  return S_ISREG(st.st_mode) || (kind == OpenKind::STORAGE && S_ISBLK(st.st_mode));
}

// The node is judged on an O_PATH descriptor, which reaches no driver and cannot block, and only
// then opened for reading; the second open must give the same node, so a swap in between is
// refused and what is read is always what was judged.
UniqueFd open_checked(int dir, const char* name, int extra_flags, OpenKind kind, dev_t* fs) {
  struct stat probed {};
  {
    const UniqueFd probe(::openat(dir, name, O_PATH | O_CLOEXEC | extra_flags));
    if (!probe || ::fstat(probe.get(), &probed) != 0) return UniqueFd();
  }
  if (fs != nullptr && probed.st_dev != *fs) {
    errno = EXDEV;
    return UniqueFd();
  }
  if (!of_kind(probed, kind)) {
    errno = S_ISLNK(probed.st_mode) ? ELOOP : EINVAL;
    return UniqueFd();
  }
  UniqueFd fd(::openat(dir, name, READ_FLAGS | extra_flags));
  struct stat opened {};
  if (!fd || ::fstat(fd.get(), &opened) != 0) return UniqueFd();
  if (opened.st_dev != probed.st_dev || opened.st_ino != probed.st_ino) {
    errno = EINVAL;
    return UniqueFd();
  }
  // Non-blocking served the open only; some file systems answer reads of such a descriptor
  // with EAGAIN.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return UniqueFd();
  return fd;
}

}  // namespace

UniqueFd open_for_reading(const char* path, OpenKind kind) {
  if (path == nullptr) {
    errno = EINVAL;
    return UniqueFd();
  }
  return open_checked(AT_FDCWD, path, 0, kind, nullptr);
}

// A walk rather than openat2(RESOLVE_BENEATH): it gives the same answer on every kernel the
// board may run, and a file of a region's file system has no business behind a link.
UniqueFd open_beneath(const char* dir, const char* path) {
  if (dir == nullptr || path == nullptr) {
    errno = EINVAL;
    return UniqueFd();
  }
  UniqueFd at(::open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat root {};
  if (!at || ::fstat(at.get(), &root) != 0) return UniqueFd();
  std::string_view rest = path;
  for (;;) {
    rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
    const std::string_view part = rest.substr(0, rest.find('/'));
    rest.remove_prefix(part.size());
    if (part == ".") continue;
    std::array<char, NAME_MAX + 1> name{};
    if (part.empty() || part == ".." || !copy_text_whole(name, part)) {
      errno = part.empty() ? EINVAL : EXDEV;
      return UniqueFd();
    }
    if (rest.find_first_not_of('/') == std::string_view::npos) {
      return open_checked(at.get(), name.data(), O_NOFOLLOW, OpenKind::REGULAR, &root.st_dev);
    }
    UniqueFd next(::openat(at.get(), name.data(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!next || ::fstat(next.get(), &st) != 0) return UniqueFd();
    if (st.st_dev != root.st_dev) {
      errno = EXDEV;
      return UniqueFd();
    }
    at = std::move(next);
  }
}

}  // namespace vorn::platform
