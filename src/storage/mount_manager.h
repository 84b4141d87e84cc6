#pragma once

// What is mounted (read afresh from /proc/mounts on every lookup), and the one private mount
// point on which region file systems are mounted when they are not mounted anywhere yet.

#include <string>

#include "storage/image_locator.h"

namespace vorn::storage {

// One line of /proc/mounts. An entry whose texts are all empty is a free slot.
struct MountedVolume {
  std::string device;
  std::string mount_point;
  std::string fs_type;
  std::string options;
};

inline constexpr unsigned long PRIVATE_MOUNT_FLAGS = 0xC04;  // MS_NODEV|MS_NOATIME|MS_NODIRATIME

// Rereads the whole of /proc/mounts, keeping every line. 0, or -1 when it cannot be read
// (the list is then empty).
int mounts_scan();

// First entry whose mount point (device) equals the argument exactly, after a rescan; null
// when none or the scan failed. Pointers stay valid until the next scan.
[[nodiscard]] const MountedVolume* mounts_find_by_dir(const char* dir);
[[nodiscard]] const MountedVolume* mounts_find_by_device(const char* device);

// True when the device is mounted anywhere: listed by the same name, or by another node of the
// same block device (a by-name link, say). Also true when /proc/mounts cannot be read, so that
// a raw write is refused rather than risked.
[[nodiscard]] bool device_is_mounted(const char* device);

// 0 when a file system sits on the private mount point afterwards (whatever was there already
// counts), -1 otherwise (absent locator, type neither ext4 nor vfat, mount failure).
int mount_locator(const ImageLocator* locator);

// Result of umount(2) on the volume's mount point (0 on success); -1 for an absent volume.
int mounts_unmount(const MountedVolume* volume);

// -1 for an absent locator; 0 when nothing is on the private mount point; else the result of
// unmounting it.
int unmount_private(const ImageLocator* locator);

// -1 for an absent locator, else 0: unmounts the locator's device only if it is mounted on
// the private mount point; a device mounted elsewhere stays mounted.
int locator_unmount(const ImageLocator* locator);

}  // namespace vorn::storage
