#pragma once

// The mutable table behind fixed_path(). Only fixed_paths.cc and the in-process test
// redirection include this header; product code calls fixed_path().

#include <array>

#include "platform/fixed_paths.h"

namespace vorn::platform::detail {

inline constexpr std::array<const char*, static_cast<int>(FixedPath::COUNT_)> DEFAULT_PATHS = {
    "/dev/block/mmcblk0",
    "/proc/cmdline",
    "/proc/mounts",
    "/proc/meminfo",
    "/proc/sys/vm/min_free_kbytes",
    "/proc/sys/vm/drop_caches",
    "/dev/.vorn-mounts",
    "/dev/.vorn-mounts.lock",
    "/dev/.vorn-lock",
    "/dev/watchdog",
    "/sys/devices/platform/zt4100-gpio.0/output_CPU_WDT",
    "/etc/vorn/trust.pem",
    "/etc/vorn/crl.pem",
    "/etc/vorn/allow-downgrade",
    "/etc/vorn/ca.pem",
    "/etc/fw_env.config",
};

extern std::array<const char*, static_cast<int>(FixedPath::COUNT_)> g_paths;

}  // namespace vorn::platform::detail
