#pragma once

// The upgrade driver: a batch of images brought onto the device as a unit. Each image goes
// into its region's next copy; only when all are in, checked and set up does the boot map
// switch those regions to them, effective at the next boot.

namespace vorn::upgrade {

// Stage mask bits; 0 means all of them. The check always runs.
inline constexpr int STAGE_CHECK = 1;
inline constexpr int STAGE_INSTALL = 2;
inline constexpr int STAGE_SETUP = 4;  // setup scripts, then the boot map switch
inline constexpr int STAGE_ALL = STAGE_CHECK | STAGE_INSTALL | STAGE_SETUP;

inline constexpr int UPGRADE_DONE = 0;
inline constexpr int UPGRADE_UNMET = 1;    // unmet dependencies listed; nothing written
inline constexpr int UPGRADE_FAILED = -1;  // check failed or refused, no image, or switch failed
inline constexpr int UPGRADE_SETUP_FAILED = -100;   // a setup script could not run; not switched
inline constexpr int UPGRADE_TRIAL_PENDING = -101;  // an earlier upgrade is not committed yet
inline constexpr int UPGRADE_IMAGE_STEP = 200;      // install failure r of image i: r - 200 x i
inline constexpr int UPGRADE_MAX_IMAGES = 5;

// Runs the stages on the images at paths. More than UPGRADE_MAX_IMAGES images, or two images for
// one region, are refused before anything is written; so is every stage but the check alone
// while a trial boot is pending (UPGRADE_TRIAL_PENDING); and so are, when the trust store exists,
// an image without a valid signature (structure and chain) and an older image than its region's
// active one, as r - UPGRADE_IMAGE_STEP x i with the install's refusal r (for every stage mask).
// Returns UPGRADE_DONE, UPGRADE_UNMET, UPGRADE_FAILED, UPGRADE_SETUP_FAILED,
// UPGRADE_TRIAL_PENDING, or r - UPGRADE_IMAGE_STEP x i when the install of the image at position
// i failed with r (the images before it stay in their next copies; the map is not switched).
// Without the install stage, each image's next copy must hold the image already
// (INSTALL_NOT_INSTALLED otherwise, counted as an install failure). Messages are printed at
// normal verbosity.
[[nodiscard]] int upgrade_run(int count, const char* const* paths, int stages);

}  // namespace vorn::upgrade
