#include "storage/mount_manager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/output.h"
#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "platform/io.h"
#include "platform/unique_fd.h"

namespace vorn::storage {

namespace {

using platform::FixedPath;

// Every line is kept: a real device lists far more than a screenful of mounts, and a mount
// that goes unseen would let a raw write overwrite a mounted file system.
std::vector<MountedVolume> g_volumes;

const char* private_mount() { return platform::fixed_path(FixedPath::PRIVATE_MOUNT); }

bool read_whole_file(const char* path, std::string& out) {
  platform::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char chunk[4096];
  for (;;) {
    const ssize_t n = platform::read_fully(fd.get(), chunk, sizeof chunk);
    if (n < 0) return false;
    out.append(chunk, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof chunk) return true;
  }
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Splits one line into at most four blank-separated fields; returns how many were found.
int split_fields(std::string_view line, std::string_view (&fields)[4]) {
  int n = 0;
  size_t i = 0;
  while (n < 4) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i >= line.size()) break;
    const size_t start = i;
    while (i < line.size() && !is_blank(line[i])) ++i;
    fields[n++] = line.substr(start, i - start);
  }
  return n;
}

bool is_free(const MountedVolume& v) {
  return v.device.empty() && v.mount_point.empty() && v.fs_type.empty() && v.options.empty();
}

template <typename Field>
const MountedVolume* find_by(const char* value, Field field) {
  if (value == nullptr) return nullptr;
  if (mounts_scan() != 0) {
    core::diag_printf("failed to scan mounted volumes\n");
    return nullptr;
  }
  for (const MountedVolume& v : g_volumes) {
    if (!is_free(v) && v.*field == value) return &v;
  }
  return nullptr;
}

// The same device: the same name, or two nodes of one block device.
bool same_device(const std::string& listed, const char* device) {
  if (listed == device) return true;
  struct stat a {
  }, b{};
  return listed.starts_with('/') && ::stat(listed.c_str(), &a) == 0 && S_ISBLK(a.st_mode) &&
         ::stat(device, &b) == 0 && S_ISBLK(b.st_mode) && a.st_rdev == b.st_rdev;
}

// What is visible on the private mount point: the last of the mounts stacked there.
const MountedVolume* private_top() {
  if (mounts_scan() != 0) return nullptr;
  const MountedVolume* top = nullptr;
  for (const MountedVolume& v : g_volumes) {
    if (!is_free(v) && v.mount_point == private_mount()) top = &v;
  }
  return top;
}

// Held while this process uses the private mount point; closed, the kernel releases it.
platform::UniqueFd g_private_lock;

bool private_lock_take() {
  if (g_private_lock) return true;
  const char* path = platform::fixed_path(FixedPath::MOUNT_LOCK);
  // Close-on-exec: a setup script, or anything it leaves running, must not inherit the lock.
  platform::UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    core::diag_printf("failed to open %s (%s)\n", path, std::strerror(errno));
    return false;
  }
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  g_private_lock = std::move(fd);
  return true;
}

void private_lock_release() { g_private_lock.reset(); }

// Unmounts everything stacked on the private mount point; true when it is empty afterwards.
// A mount still busy (a process left running in it) is detached, so that it no longer hides
// the mount point.
bool clear_private() {
  constexpr int MAX_STACKED = 16;
  for (int i = 0; i < MAX_STACKED; ++i) {
    if (private_top() == nullptr) return true;
    if (::umount2(private_mount(), 0) != 0 && ::umount2(private_mount(), MNT_DETACH) != 0) {
      core::diag_printf("failed to unmount %s (%s)\n", private_mount(), std::strerror(errno));
      return false;
    }
  }
  return private_top() == nullptr;
}

unsigned long mount_flags(MountMode mode) {
  return mode == MountMode::READ_ONLY ? PRIVATE_MOUNT_FLAGS | MS_RDONLY : PRIVATE_MOUNT_FLAGS;
}

// A read-only ext4 mount would still replay a dirty journal, writing to the device.
const char* mount_data(MountMode mode, std::string_view fs) {
  return mode == MountMode::READ_ONLY && fs == "ext4" ? "noload" : "";
}

bool mounted_read_only(const MountedVolume& volume) {
  const std::string_view options = volume.options;
  return options == "ro" || options.starts_with("ro,");
}

}  // namespace

int mounts_scan() {
  g_volumes.clear();
  std::string text;
  if (!read_whole_file(platform::fixed_path(FixedPath::PROC_MOUNTS), text)) return -1;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t eol = rest.find('\n');
    const std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
    std::string_view f[4];
    const int found = split_fields(line, f);
    if (found == 4) {
      g_volumes.push_back(
          {std::string(f[0]), std::string(f[1]), std::string(f[2]), std::string(f[3])});
    } else {
      core::diag_printf("matches was %d on <<%.40s>>\n", found, std::string(line).c_str());
    }
  }
  return 0;
}

const MountedVolume* mounts_find_by_dir(const char* dir) {
  return find_by(dir, &MountedVolume::mount_point);
}

const MountedVolume* mounts_find_by_device(const char* device) {
  return find_by(device, &MountedVolume::device);
}

const MountedVolume* mounts_find_elsewhere(const char* device) {
  if (device == nullptr || mounts_scan() != 0) return nullptr;
  for (const MountedVolume& v : g_volumes) {
    if (!is_free(v) && v.mount_point != private_mount() && same_device(v.device, device)) {
      return &v;
    }
  }
  return nullptr;
}

bool device_is_mounted(const char* device) {
  if (device == nullptr) return false;
  if (mounts_scan() != 0) return true;
  for (const MountedVolume& v : g_volumes) {
    if (!is_free(v) && same_device(v.device, device)) return true;
  }
  return false;
}

int mount_locator(const ImageLocator* locator, MountMode mode) {
  if (locator == nullptr) return -1;
  const std::string_view fs = platform::slot_text(locator->fs_type);
  if (fs != "ext4" && fs != "vfat") {
    core::diag_printf("unknown fs_type \"%s\" for %s\n", std::string(fs).c_str(), private_mount());
    return -1;
  }
  if (!private_lock_take()) return -1;
  if (const MountedVolume* top = private_top()) {
    const bool usable = same_device(top->device, locator->dev_path.data()) &&
                        (mode == MountMode::READ_ONLY || !mounted_read_only(*top));
    if (usable) return 0;
    if (!clear_private()) {
      private_lock_release();
      return -1;
    }
  }
  ::mkdir(private_mount(), 0755);
  if (::mount(locator->dev_path.data(), private_mount(), locator->fs_type.data(), mount_flags(mode),
              mount_data(mode, fs)) == 0) {
    return 0;
  }
  core::diag_printf("failed to mount %s,%s (%s)\n", private_mount(), locator->dev_path.data(),
                    std::strerror(errno));
  private_lock_release();
  return -1;
}

int mounts_unmount(const MountedVolume* volume) {
  if (volume == nullptr) return -1;
  const int result = ::umount(volume->mount_point.c_str());
  if (result == 0) {
    for (MountedVolume& v : g_volumes) {
      if (&v == volume) v = MountedVolume{};
    }
  }
  return result;
}

int unmount_private(const ImageLocator* locator) {
  if (locator == nullptr) return -1;
  if (!private_lock_take()) return -1;
  const int result = private_top() == nullptr || clear_private() ? 0 : -1;
  private_lock_release();
  return result;
}

int locator_unmount(const ImageLocator* locator) {
  if (locator == nullptr) return -1;
  const char* device = locator->dev_path.data();
  if (device[0] == '\0') return 0;
  const auto device_on_top = [device] {
    const MountedVolume* top = private_top();
    return top != nullptr && same_device(top->device, device);
  };
  const bool held = static_cast<bool>(g_private_lock);
  // The mount of a process that still works there is left to that process: its lock is waited
  // for, and what it leaves behind is looked at again.
  if (!held && (!device_on_top() || !private_lock_take())) return 0;
  if (device_on_top()) {
    (void)clear_private();
  } else if (held && private_top() != nullptr) {
    return 0;  // another file system of this process is still in use there
  }
  private_lock_release();
  return 0;
}

}  // namespace vorn::storage
