#pragma once

// The setup stage: the "%vif-setup%" script at the root of each freshly installed copy's file
// system, run once in that copy, in list order.

namespace vorn::upgrade {

inline constexpr int SETUP_DONE = 0;     // every script ran (whatever their exit statuses)
inline constexpr int SETUP_FAILED = -1;  // a script locator did not parse or a copy not mount

// Runs the script of every region id of the comma-separated list (e.g. "boot~1,system~1"),
// each in its own mount of the copy (or where the copy is mounted already), with "sh" and the
// script's path as its argument, the copy's root as working directory. An absent or empty
// list runs nothing. Prints "Setup Image Executed(...)" per script at normal verbosity.
// SETUP_DONE, or SETUP_FAILED at the first id that cannot be visited (ids after it are not).
[[nodiscard]] int setup_stage(const char* list);

// setup_stage on list, or on installed_regions() when list is absent.
[[nodiscard]] int setup_stage_run(const char* list);

}  // namespace vorn::upgrade
