#include "daemon/watchdog.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <sys/ioctl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <string_view>
#include <thread>

#include "cli/common_startup.h"
#include "daemon/threads.h"
#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "platform/number_text.h"
#include "platform/shell.h"
#include "settings/property_table.h"

namespace vorn::daemon {

static_assert(WDIOC_SETTIMEOUT == 0xC0045706);
static_assert(WDIOC_GETTIMEOUT == 0x80045707);
static_assert(WDIOC_KEEPALIVE == 0x80045705);

WatchdogParams watchdog_params;

namespace {

int open_write_only(const char* path) { return ::open(path, O_WRONLY | O_CLOEXEC); }

int issue_request(int fd, unsigned long request, int* value) { return ::ioctl(fd, request, value); }

constexpr WatchdogPlatform DEFAULT_PLATFORM = {
    .startup = cli::common_startup,
    .property = settings::property_get,
    .open_device = open_write_only,
    .request = issue_request,
    .run_shell = platform::shell_run,
};

// Replaced only by tests, before any watchdog thread runs.
WatchdogPlatform g_platform = DEFAULT_PLATFORM;

// The CPU watchdog line; touched only by the feeding thread.
int g_gpio_countdown = 0;
int g_gpio_state = 1;

bool sleep_one_second() {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return true;
}

}  // namespace

void set_watchdog_platform(const WatchdogPlatform& p) {
  g_platform.startup = p.startup ? p.startup : DEFAULT_PLATFORM.startup;
  g_platform.property = p.property ? p.property : DEFAULT_PLATFORM.property;
  g_platform.open_device = p.open_device ? p.open_device : DEFAULT_PLATFORM.open_device;
  g_platform.request = p.request ? p.request : DEFAULT_PLATFORM.request;
  g_platform.run_shell = p.run_shell ? p.run_shell : DEFAULT_PLATFORM.run_shell;
}

int watchdog_sleep_period(int timeout) {
  // Single precision, as the setting has always been computed; the product is below the timeout
  // for every timeout from 2 up, the guard keeps it so.
  const int period = static_cast<int>(static_cast<double>(static_cast<float>(timeout)) * 0.6);
  return period < timeout ? period : timeout - 1;
}

int watchdog_config(int& timeout, int& sleep_period) {
  g_platform.startup();
  const char* enable = g_platform.property(WATCHDOG_ENABLE_PROPERTY);
  if (enable == nullptr || std::string_view(enable) != "1") return WATCHDOG_OFF;
  const char* setting = g_platform.property(WATCHDOG_TIMEOUT_PROPERTY);
  if (setting == nullptr || setting[0] == '\0') return WATCHDOG_BAD_TIMEOUT;
  const int seconds = platform::decimal_prefix(setting);
  if (seconds < WATCHDOG_MIN_TIMEOUT) return WATCHDOG_BAD_TIMEOUT;
  const int fd = watchdog_open(seconds, false);
  if (fd < 0) return fd;
  timeout = seconds;
  sleep_period = watchdog_sleep_period(seconds);
  return fd;
}

int watchdog_open(int timeout, bool apply_timeout) {
  const int fd = g_platform.open_device(platform::fixed_path(platform::FixedPath::WATCHDOG_DEVICE));
  if (fd < 0) return -1;
  if (apply_timeout) watchdog_set_timeout(fd, timeout);
  return fd;
}

int watchdog_set_timeout(int fd, int timeout) {
  if (fd < 0) return -1;
  int value = timeout;
  (void)g_platform.request(fd, WDIOC_SETTIMEOUT, &value);
  (void)g_platform.request(fd, WDIOC_GETTIMEOUT, &value);
  return 0;
}

int watchdog_keepalive(int fd) {
  if (fd >= 0) (void)g_platform.request(fd, WDIOC_KEEPALIVE, nullptr);
  return 0;
}

int cpu_wdt_gpio_step() {
  if (--g_gpio_countdown > 0) return 0;
  g_gpio_state = g_gpio_state == 0 ? 1 : 0;
  std::array<char, GPIO_COMMAND_SIZE> command{};
  // A cut command would write somewhere else; run only the whole one.
  if (platform::format_text(command, "echo %d > %s", g_gpio_state,
                            platform::fixed_path(platform::FixedPath::CPU_WDT_GPIO))) {
    (void)g_platform.run_shell(command.data());
  }
  g_gpio_countdown = CPU_WDT_GPIO_PERIOD;
  return 0;
}

void cpu_wdt_gpio_reset() {
  g_gpio_countdown = 0;
  g_gpio_state = 1;
}

bool watchdog_should_feed(const WatchdogParams* params) {
  return params != nullptr && params->fd >= 0 && params->timeout >= WATCHDOG_MIN_TIMEOUT;
}

int watchdog_run(const WatchdogParams* params, bool (*tick)()) {
  if (!watchdog_should_feed(params)) return -1;
  watchdog_set_timeout(params->fd, params->timeout);
  watchdog_keepalive(params->fd);
  do {
    watchdog_keepalive(params->fd);
    cpu_wdt_gpio_step();
  } while (tick());
  return 0;
}

bool watchdog_start() {
  return start_detached_thread(
      [](void* params) {
        (void)watchdog_run(static_cast<WatchdogParams*>(params), sleep_one_second);
      },
      &watchdog_params);
}

}  // namespace vorn::daemon
