#pragma once

#include <cstdint>

namespace vorn::platform {

// The restart command of Android's reboot interface.
inline constexpr uint32_t ANDROID_RB_RESTART = 0xDEAD0001;

// Stands in for Android's android_reboot: flushes the file systems (sync) and restarts the
// system with reboot(2). Only ANDROID_RB_RESTART is supported; flags and reason are not used.
// Returns only on failure: -1 for another command or when the restart was refused (errno set).
// Inside a child PID namespace the restart ends that namespace instead of the machine; there
// too an accepted restart never returns to the caller.
int android_reboot(uint32_t cmd, int flags, const char* reason);

}  // namespace vorn::platform
