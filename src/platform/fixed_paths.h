#pragma once

namespace vorn::platform {

// Every file system path the system reaches on the device. The values are fixed in the
// product; only unit tests may point them elsewhere, in-process (tests/support).
enum class FixedPath {
  EMMC_DEVICE,      // whole eMMC user area; holds the boot environment block
  KERNEL_CMDLINE,   // kernel command line
  PROC_MOUNTS,      // mounted file systems
  PROC_MEMINFO,     // memory figures
  MIN_FREE_KBYTES,  // kernel's minimum free memory setting
  DROP_CACHES,      // kernel's page cache drop switch
  PRIVATE_MOUNT,    // mount point for region file systems
  MOUNT_LOCK,       // serialises the use of the private mount point across processes
  LOCK_FILE,        // cross-process lock of the boot environment block
  WATCHDOG_DEVICE,  // Linux hardware watchdog
  CPU_WDT_GPIO,     // board GPIO file of the CPU watchdog line
  TRUST_STORE,      // PEM certificates that image signatures must chain to
  REVOCATION_LIST,  // PEM certificate revocation lists, honoured when present
  ALLOW_DOWNGRADE,  // present: images older than the installed ones may be installed
  HTTPS_CA_BUNDLE,  // PEM certificates that update servers are verified against, when present
  FW_ENV_CONFIG,    // the boot loader's environment location, in its tools' format
  COUNT_,
};

// Returns the path; never null.
[[nodiscard]] const char* fixed_path(FixedPath which);

// The default device of the boot map, to which "p" and a partition number are appended. It is
// part of the boot map grammar (device paths are compared with /proc/mounts), not a file that
// the system opens by itself, so it is not redirected.
inline constexpr const char DEFAULT_BLOCK_DEVICE[] = "/dev/block/mmcblk0";

}  // namespace vorn::platform
