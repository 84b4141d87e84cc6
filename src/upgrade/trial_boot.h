#pragma once

// Trial boots, on the boot loader's own boot counting: a board that holds a positive
// "bootlimit" in its boot environment has every upgrade's map switch stored as a trial
// ("bmap" the new map, "bmap_prev" the map it replaces, "upgrade_available=1",
// "bootcount=0"). While "upgrade_available" is 1 the boot loader counts boots in "bootcount";
// once it exceeds "bootlimit" it runs "altbootcmd", which restores "bmap" from "bmap_prev".
// The running system ends the trial with a commit (the new copies are good) or a rollback.
// Every change is one write of the environment block, under its lock.

#include <span>

namespace vorn::upgrade {

inline constexpr const char BOOTLIMIT_KEY[] = "bootlimit";
inline constexpr const char BOOTCOUNT_KEY[] = "bootcount";
inline constexpr const char UPGRADE_AVAILABLE_KEY[] = "upgrade_available";
inline constexpr const char BMAP_KEY[] = "bmap";
inline constexpr const char BMAP_PREV_KEY[] = "bmap_prev";
// The property that turns vornd's commit on the application's first heartbeat off ("0").
inline constexpr const char AUTOCOMMIT_PROPERTY[] = "sys.trial.autocommit";

inline constexpr int TRIAL_NONE = 0;            // no trial pending
inline constexpr int TRIAL_PENDING = 1;         // trial_status: a trial is pending
inline constexpr int TRIAL_NOT_RUNNING = -102;  // the board does not run the trial's map
inline constexpr int TRIAL_NOTHING_TO_ROLL_BACK = -103;
inline constexpr int TRIAL_STORE_FAILED = -104;  // the boot environment could not be written

// Whether a trial is pending ("upgrade_available" is 1). False when the environment cannot
// be read.
[[nodiscard]] bool trial_pending();

// Stores the map switch text (the next boot's map): on a board with a positive "bootlimit"
// as a trial, with the running map as "bmap_prev", otherwise "bmap" alone. BOOTENV_OK, or
// BOOTENV_FAILED with nothing stored (also when the running map cannot be formatted).
[[nodiscard]] int trial_store_switch(const char* next_map);

// 0 when an install may write into the copy at device of the region; INSTALL_FALLBACK_COPY
// (message printed) while a trial is pending and "bmap_prev" selects that copy for the
// region: the boot loader falls back to it. A null device is allowed.
[[nodiscard]] int trial_install_check(const char* region, const char* device);

// Ends a pending trial for good: "upgrade_available=0", "bootcount=0", "bmap_prev" removed.
// TRIAL_NONE (and a line saying so) when none is pending; TRIAL_NOT_RUNNING when the running
// map is not the stored "bmap" (the boot loader fell back, or the board was not restarted);
// TRIAL_STORE_FAILED. Messages at normal verbosity.
[[nodiscard]] int trial_commit();

// Ends a pending trial by going back: "bmap" from "bmap_prev", "upgrade_available=0",
// "bootcount=0", "bmap_prev" removed; the next boot runs the previous copies. 0;
// TRIAL_NOTHING_TO_ROLL_BACK when no trial with a "bmap_prev" is pending; TRIAL_STORE_FAILED.
[[nodiscard]] int trial_rollback();

// Prints one line through the result output: "off" (no positive "bootlimit"), "none",
// "pending bootcount=N bootlimit=N", or "fallback" (the boot loader restored "bmap_prev" at
// the end of the last trial). TRIAL_PENDING or TRIAL_NONE.
[[nodiscard]] int trial_status();

}  // namespace vorn::upgrade
