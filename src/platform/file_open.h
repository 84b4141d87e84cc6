#pragma once

// Opening a file to read it, where the path may name anything: nothing opened here can make a
// read wait for a peer (a FIFO, a terminal), and opening a device node never reaches its driver
// unless a block device is asked for.

#include "platform/unique_fd.h"

namespace vorn::platform {

// What a descriptor opened for reading must be.
enum class OpenKind {
  REGULAR,  // a regular file
  STORAGE,  // a block device, or a regular file standing in for one (a partition's image)
};

// Opens path read-only (close-on-exec, links followed) and keeps the descriptor only when it is
// of the kind; the descriptor blocks as usual. An invalid descriptor when the path is absent,
// cannot be opened, is of another kind (errno EINVAL) or was replaced while it was being opened.
[[nodiscard]] UniqueFd open_for_reading(const char* path, OpenKind kind);

// Opens the regular file at path inside the directory dir (the root of a mounted file system)
// read-only, resolving path one component at a time from dir: never through a symbolic link,
// never above dir ("..") and never into another file system mounted below it. A leading "/" is
// relative to dir. An invalid descriptor when an argument is absent, dir cannot be opened, a
// component is refused, or as for open_for_reading; errno ENOENT only when a component does not
// exist.
[[nodiscard]] UniqueFd open_beneath(const char* dir, const char* path);

}  // namespace vorn::platform
