#pragma once

// The application liveness monitor: a watched process sends "appalive set" heartbeats; when
// they stop for longer than its timeout, the process is killed and its restart command run.
// Until the first heartbeat, and after every restart, the default watch reboots the device.

#include <array>
#include <cstddef>
#include <mutex>
#include <span>

namespace vorn::daemon {

inline constexpr size_t APPALIVE_COMMAND_SIZE = 1024;  // restart command, with its NUL
inline constexpr int APPALIVE_MIN_TIMEOUT = 10;        // seconds, smallest "set" timeout
inline constexpr int APPALIVE_MIN_CLEAR_PID = 2;       // "clear" never clears pid 0 or 1

inline constexpr int APPALIVE_DEFAULT_COUNTDOWN = 180;
inline constexpr int APPALIVE_DEFAULT_PID = 1;  // no process to kill, only the command runs
inline constexpr const char APPALIVE_DEFAULT_COMMAND[] = "reboot";
inline constexpr const char APPALIVE_ANDROID_PREFIX[] = "android@";  // "am start <component>"

inline constexpr int APPALIVE_OK = 0;
inline constexpr int APPALIVE_MALFORMED = -1;

struct AppAliveWatch {
  int countdown = -1;  // seconds left; decremented once a second while positive
  int pid = 0;         // 0: no watch; 1: nothing to kill; 2 or more: killed when it fires
  std::array<char, APPALIVE_COMMAND_SIZE> command{};  // empty: nothing runs
};

// Guards the process-wide watch.
extern std::mutex appalive_mutex;

// What a firing does to the system. The defaults send SIGKILL and run the command line through
// the system shell; tests put recording fakes in place.
struct AppAliveActions {
  int (*kill_process)(int pid);
  int (*run_command)(const char* command_line);
};
// Null members restore the defaults.
void set_appalive_actions(const AppAliveActions& actions);

// Handler of the daemon command "appalive":
//   appalive set <timeout> <pid> [command]   timeout >= 10, pid >= 0 (atoi rules)
//   appalive clear <pid>                     pid >= 2; clears only when that pid is watched
// APPALIVE_OK, or APPALIVE_MALFORMED (watch unchanged, nothing logged). The reply text is not
// used. Takes appalive_mutex only, never the command mutex; a "set" taken is a heartbeat for
// auto_commit_heartbeat.
int cmd_appalive(int argc, char** argv, std::span<char> reply);

// Put the default or the cleared watch in place, under appalive_mutex.
void appalive_reset_default();
void appalive_clear();

// A copy of the watch, taken under appalive_mutex.
[[nodiscard]] AppAliveWatch appalive_watch();

// One second of the monitor: with a watch (pid > 0) the countdown is decremented while
// positive; at 0 or below the watch fires (kill when pid > 1, restart command, log, default
// watch again). The command runs with appalive_mutex held. Returns true when it fired.
bool appalive_step();

// The monitor: logs its start, arms the default watch, then forever runs appalive_step and
// calls tick (which waits one second). Returns when tick answers false, which the product's
// tick never does. armed, when given, is called once the default watch is in place.
void appalive_run(bool (*tick)(), void (*armed)(void*) = nullptr, void* armed_arg = nullptr);

// Starts the monitor thread (detached) with a one-second tick and returns once the default watch
// is in place, so that no heartbeat can arrive before it and be overwritten. False when the
// thread could not be created.
bool appalive_start();

}  // namespace vorn::daemon
