#pragma once

// The setup stage: the "%vif-setup%" script at the root of each freshly installed copy's file
// system, run once in that copy, in list order.

namespace vorn::upgrade {

inline constexpr int SETUP_DONE = 0;     // every script ran (whatever their exit statuses)
inline constexpr int SETUP_FAILED = -1;  // a script locator did not parse, a copy did not
                                         // mount or sync, or a script was refused

// Runs the script of every region id of the comma-separated list (e.g. "boot~1,system~1"),
// each in its own mount of the copy (or where the copy is mounted already), with "sh" and the
// script's path as its argument, the copy's root as working directory. An absent or empty
// list runs nothing. Prints "Setup Image Executed(...)" per script at normal verbosity. A
// script that is not a regular file of the copy (a link, even one into the copy, a FIFO) is not
// run: "[Error] Setup Script Refused(...)!". After its script, each copy's file system is
// flushed to the device. SETUP_DONE, or SETUP_FAILED (with a message when a copy cannot be
// mounted or flushed) at the first id that cannot be visited, flushed or whose script is
// refused (ids after it are not).
[[nodiscard]] int setup_stage(const char* list);

// setup_stage on list, or on installed_regions() when list is absent.
[[nodiscard]] int setup_stage_run(const char* list);

}  // namespace vorn::upgrade
