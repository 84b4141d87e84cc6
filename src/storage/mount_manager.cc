#include "storage/mount_manager.h"

#include <fcntl.h>
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

bool device_is_mounted(const char* device) {
  if (device == nullptr) return false;
  if (mounts_scan() != 0) return true;
  struct stat target {};
  const bool is_block = ::stat(device, &target) == 0 && S_ISBLK(target.st_mode);
  for (const MountedVolume& v : g_volumes) {
    if (is_free(v)) continue;
    if (v.device == device) return true;
    struct stat other {};
    if (is_block && v.device.starts_with('/') && ::stat(v.device.c_str(), &other) == 0 &&
        S_ISBLK(other.st_mode) && other.st_rdev == target.st_rdev) {
      return true;
    }
  }
  return false;
}

int mount_locator(const ImageLocator* locator) {
  if (locator == nullptr) return -1;
  if (mounts_find_by_dir(private_mount()) != nullptr) return 0;
  ::mkdir(private_mount(), 0755);
  const std::string_view fs = platform::slot_text(locator->fs_type);
  if (fs != "ext4" && fs != "vfat") {
    core::diag_printf("unknown fs_type \"%s\" for %s\n", std::string(fs).c_str(), private_mount());
    return -1;
  }
  if (::mount(locator->dev_path.data(), private_mount(), locator->fs_type.data(),
              PRIVATE_MOUNT_FLAGS, "") == 0) {
    return 0;
  }
  core::diag_printf("failed to mount %s,%s (%s)\n", private_mount(), locator->dev_path.data(),
                    std::strerror(errno));
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
  const MountedVolume* volume = mounts_find_by_dir(private_mount());
  return volume ? mounts_unmount(volume) : 0;
}

int locator_unmount(const ImageLocator* locator) {
  if (locator == nullptr) return -1;
  if (locator->dev_path[0] == '\0') return 0;
  const MountedVolume* volume = mounts_find_by_device(locator->dev_path.data());
  if (volume == nullptr || volume->mount_point != private_mount()) return 0;
  (void)unmount_private(locator);
  return 0;
}

}  // namespace vorn::storage
