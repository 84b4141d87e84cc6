#pragma once

// What is mounted (read afresh from /proc/mounts on every lookup), and the one private mount
// point on which region file systems are mounted when they are not mounted anywhere yet.
//
// The private mount point is shared by every process of the system (the tool and the daemon
// may run at once), so its use is serialised by a lock (flock(2) on a lock file next to it,
// released by the kernel when its holder dies). A process holds the lock from the mount of a
// device there until that device is released (locator_unmount), and whatever it finds on the
// private mount point when it takes the lock is judged by its device: the device it wants is
// used, anything else (a mount left by a process killed before its release) is unmounted.

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

// How a region's file system is mounted on the private mount point.
enum class MountMode {
  READ_ONLY,   // reads: read-only and, for ext4, without journal replay, so the copy's bytes
               // stay exactly as installed
  READ_WRITE,  // setup scripts and file writes may change the copy
};

// Rereads the whole of /proc/mounts, keeping every line. 0, or -1 when it cannot be read
// (the list is then empty).
int mounts_scan();

// First entry whose mount point (device) equals the argument exactly, after a rescan; null
// when none or the scan failed. Pointers stay valid until the next scan.
[[nodiscard]] const MountedVolume* mounts_find_by_dir(const char* dir);
[[nodiscard]] const MountedVolume* mounts_find_by_device(const char* device);

// The first mount of the device (by name, or another node of the same block device) at any
// other place than the private mount point, after a rescan; null when none.
[[nodiscard]] const MountedVolume* mounts_find_elsewhere(const char* device);

// True when the device is mounted anywhere: listed by the same name, or by another node of the
// same block device (a by-name link, say). Also true when /proc/mounts cannot be read, so that
// a raw write is refused rather than risked.
[[nodiscard]] bool device_is_mounted(const char* device);

// Takes the private mount lock (waiting for another process to release it) and leaves the
// locator's device mounted on the private mount point, in the given mode: reused when it is
// there already (read-write serves a read too; a read-only mount is replaced for a write),
// otherwise mounted after unmounting whatever else sits there. 0 on success,
// the lock then held until locator_unmount; -1 otherwise (absent locator, type neither ext4
// nor vfat, lock or mount failure, a foreign mount that cannot be removed), the lock released.
int mount_locator(const ImageLocator* locator, MountMode mode);

// Result of umount(2) on the volume's mount point (0 on success); -1 for an absent volume.
int mounts_unmount(const MountedVolume* volume);

// -1 for an absent locator; 0 when nothing is on the private mount point; else the result of
// unmounting everything there (0 when it is empty afterwards). Takes the private mount lock
// for the time it works, unless this process holds it already, and releases it afterwards.
int unmount_private(const ImageLocator* locator);

// -1 for an absent locator, else 0: unmounts the locator's device if, and only if, it sits on
// the private mount point, under the private mount lock (waiting for a process that still uses
// it), and releases the lock. A device mounted elsewhere stays mounted.
int locator_unmount(const ImageLocator* locator);

}  // namespace vorn::storage
