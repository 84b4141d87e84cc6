#pragma once

// The hardware watchdog: when "sys.watchdog.enable" is "1" the daemon opens the Linux watchdog
// device and feeds it once a second from a thread of its own, and toggles the board's CPU
// watchdog GPIO line every fifth second.

#include <cstddef>

namespace vorn::daemon {

inline constexpr const char WATCHDOG_ENABLE_PROPERTY[] = "sys.watchdog.enable";
inline constexpr const char WATCHDOG_TIMEOUT_PROPERTY[] = "sys.watchdog.timeout";
inline constexpr int WATCHDOG_MIN_TIMEOUT = 2;  // seconds

inline constexpr int WATCHDOG_OFF = -1;          // switched off, or the device does not open
inline constexpr int WATCHDOG_BAD_TIMEOUT = -2;  // timeout missing or below 2

inline constexpr int CPU_WDT_GPIO_PERIOD = 5;    // feeding steps between two toggles
inline constexpr size_t GPIO_COMMAND_SIZE = 64;  // "echo %d > <gpio file>", with its NUL

// Filled by daemon_main before the feeding thread starts, read only by that thread.
struct WatchdogParams {
  int fd = -1;
  int timeout = 0;       // seconds
  int sleep_period = 0;  // seconds; reported at start-up only
};

// Everything the watchdog reaches outside the process. The defaults run the common start-up,
// read the property table, open the device write-only, issue the ioctl and run the system
// shell; tests put a fake device in place.
struct WatchdogPlatform {
  int (*startup)();
  const char* (*property)(const char* name);
  int (*open_device)(const char* path);                       // descriptor or -1
  int (*request)(int fd, unsigned long request, int* value);  // ioctl; value null for keepalive
  int (*run_shell)(const char* command);
};
// Null members restore the defaults.
void set_watchdog_platform(const WatchdogPlatform& platform);

// Reads the watchdog settings (after the common start-up) and opens the device. Returns the
// descriptor (0 or more: descriptor 0 is a device like any other when standard input was closed)
// with timeout and sleep_period stored; WATCHDOG_OFF when the enable
// setting is anything but exactly "1" or the device does not open; WATCHDOG_BAD_TIMEOUT when the
// timeout setting is missing, empty or below 2 (atoi rules).
[[nodiscard]] int watchdog_config(int& timeout, int& sleep_period);

// The sleep period for a timeout: 0.6 of it, truncated, and always below it (2 -> 1, 60 -> 36).
[[nodiscard]] int watchdog_sleep_period(int timeout);

// Opens the device write-only; applies the timeout too when apply_timeout is set.
// Descriptor, or -1.
[[nodiscard]] int watchdog_open(int timeout, bool apply_timeout);

// WDIOC_SETTIMEOUT, then WDIOC_GETTIMEOUT (the value read back is not used). 0, or -1 for a
// negative descriptor. Results of the requests are ignored.
int watchdog_set_timeout(int fd, int timeout);

// WDIOC_KEEPALIVE unless fd is negative. Returns 0.
int watchdog_keepalive(int fd);

// One step of the CPU watchdog line: every CPU_WDT_GPIO_PERIOD-th call (the first one included)
// inverts the line and writes it with "echo %d > <gpio file>". Returns 0.
int cpu_wdt_gpio_step();
// Back to the state before the first step (countdown 0, line 1); for tests.
void cpu_wdt_gpio_reset();

// Whether the record describes a device that must be fed: an open descriptor and a valid
// timeout. Every such device is fed, short timeouts (2 and 3 seconds) included.
[[nodiscard]] bool watchdog_should_feed(const WatchdogParams* params);

// The feeding loop: applies the timeout, feeds, then forever feeds, steps the GPIO line and
// calls tick (which waits one second). Returns -1 at once, touching nothing, when the record
// must not be fed; 0 when tick answers false, which the product's tick never does.
int watchdog_run(const WatchdogParams* params, bool (*tick)());

// The process-wide record and the detached thread that feeds it with a one-second tick. False
// when the thread could not be created.
extern WatchdogParams watchdog_params;
[[nodiscard]] bool watchdog_start();

}  // namespace vorn::daemon
