#pragma once

// Which copies the board boots: a copy that holds anything but a whole, checked image there can
// leave the board without a system to start.

namespace vorn::upgrade {

// Whether the copy at device (a copy's device path, as the boot map forms it) is one the board
// boots for the region: the region's active copy in the running map (the kernel command line),
// or the copy that the map stored for the next boot (boot environment "bmap") selects. False
// for an absent argument.
[[nodiscard]] bool copy_is_bootable(const char* region, const char* device);

}  // namespace vorn::upgrade
