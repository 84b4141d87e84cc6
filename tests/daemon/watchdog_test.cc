#include "daemon/watchdog.h"

#include <gtest/gtest.h>
#include <linux/watchdog.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/fixed_paths.h"
#include "support/path_override.h"

namespace vorn::daemon {
namespace {

using Log = std::vector<std::string>;

constexpr int FAKE_FD = 7;
constexpr const char GPIO[] = "/sys/devices/platform/zt4100-gpio.0/output_CPU_WDT";

// A stateful stand-in for the device, the property table and the shell.
struct FakeBoard {
  std::map<std::string, std::string> properties;
  bool open_fails = false;
  Log log;  // "startup", "open <path>", "set 60", "get", "keepalive", "shell <command>"
  int device_timeout = 0;
};
FakeBoard* g_board = nullptr;

void enter(const std::string& line) { g_board->log.push_back(line); }

int fake_request(int fd, unsigned long request, int* value) {
  EXPECT_EQ(fd, FAKE_FD);
  if (request == WDIOC_SETTIMEOUT) {
    g_board->device_timeout = *value;
    enter("set " + std::to_string(*value));
  } else if (request == WDIOC_GETTIMEOUT) {
    *value = g_board->device_timeout;
    enter("get");
  } else {
    EXPECT_EQ(request, static_cast<unsigned long>(WDIOC_KEEPALIVE));
    EXPECT_EQ(value, nullptr);
    enter("keepalive");
  }
  return 0;
}

int g_ticks_left = 0;
bool count_down_ticks() { return --g_ticks_left > 0; }

class Watchdog : public testing::Test {
 protected:
  Watchdog() : no_real_device_(platform::FixedPath::WATCHDOG_DEVICE, "/nonexistent/watchdog") {
    g_board = &board_;
    set_watchdog_platform({
        .startup = [] { return enter("startup"), 0; },
        .property =
            [](const char* name) {
              const auto it = g_board->properties.find(name);
              return it == g_board->properties.end() ? nullptr : it->second.c_str();
            },
        .open_device =
            [](const char* path) {
              return enter("open " + std::string(path)), g_board->open_fails ? -1 : FAKE_FD;
            },
        .request = fake_request,
        .run_shell = [](const char* command) { return enter("shell " + std::string(command)), 0; },
    });
    cpu_wdt_gpio_reset();
  }
  ~Watchdog() override {
    set_watchdog_platform({});
    g_board = nullptr;
  }

  FakeBoard board_;
  test::ScopedPathOverride no_real_device_;
};

TEST_F(Watchdog, ConfigurationFromTheProperties) {
  const struct {
    const char* enable;  // null: absent
    const char* timeout;
    int result, sleep;
  } cases[] = {{nullptr, "60", WATCHDOG_OFF, 0},
               {"", "60", WATCHDOG_OFF, 0},
               {"1 ", "60", WATCHDOG_OFF, 0},
               {"01", "60", WATCHDOG_OFF, 0},
               {"1", nullptr, WATCHDOG_BAD_TIMEOUT, 0},
               {"1", "1", WATCHDOG_BAD_TIMEOUT, 0},
               {"1", "abc", WATCHDOG_BAD_TIMEOUT, 0},
               {"1", "60", FAKE_FD, 36},
               {"1", "4", FAKE_FD, 2},
               {"1", "3", FAKE_FD, 1}};
  for (const auto& c : cases) {
    board_.properties.clear();
    if (c.enable) board_.properties["sys.watchdog.enable"] = c.enable;
    if (c.timeout) board_.properties["sys.watchdog.timeout"] = c.timeout;
    board_.log.clear();
    int timeout = -100;
    int sleep = -100;
    EXPECT_EQ(watchdog_config(timeout, sleep), c.result)
        << (c.enable ? c.enable : "-") << " " << (c.timeout ? c.timeout : "-");
    const bool opened = c.result == FAKE_FD;
    const Log expected = opened ? Log{"startup", "open /nonexistent/watchdog"} : Log{"startup"};
    EXPECT_EQ(board_.log, expected);
    EXPECT_EQ(timeout, opened ? std::atoi(c.timeout) : -100);
    EXPECT_EQ(sleep, opened ? c.sleep : -100);
  }
  board_.open_fails = true;
  int timeout = -100;
  int sleep = -100;
  EXPECT_EQ(watchdog_config(timeout, sleep), WATCHDOG_OFF);
  EXPECT_EQ(timeout, -100);
}

TEST_F(Watchdog, SleepPeriodIsBelowEveryTimeout) {
  for (int t = 2; t < 100000; ++t) ASSERT_LT(watchdog_sleep_period(t), t);
}

// Timeout set and read back, fed, then fed once a tick; the GPIO line starts at 0 and
// toggles every fifth step. Short timeouts used to leave the device open and unfed.
TEST_F(Watchdog, FeedingSequence) {
  for (int timeout : {60, 3, 2}) {
    board_.log.clear();
    cpu_wdt_gpio_reset();
    const WatchdogParams params{
        .fd = FAKE_FD, .timeout = timeout, .sleep_period = watchdog_sleep_period(timeout)};
    EXPECT_TRUE(watchdog_should_feed(&params));
    g_ticks_left = 11;
    EXPECT_EQ(watchdog_run(&params, count_down_ticks), 0);
    const std::string gpio = std::string(" > ") + GPIO;
    Log expected = {"set " + std::to_string(timeout), "get", "keepalive"};
    for (int step = 0; step < 11; ++step) {
      expected.emplace_back("keepalive");
      if (step % 5 == 0) expected.push_back("shell echo " + std::to_string(step / 5 % 2) + gpio);
    }
    EXPECT_EQ(board_.log, expected) << timeout;
  }
}

TEST_F(Watchdog, NothingToFeedTouchesNothing) {
  g_ticks_left = 5;
  EXPECT_EQ(watchdog_run(nullptr, count_down_ticks), -1);
  const WatchdogParams failed{.fd = -1, .timeout = 60, .sleep_period = 36};
  EXPECT_EQ(watchdog_run(&failed, count_down_ticks), -1);
  const WatchdogParams short_timeout{.fd = FAKE_FD, .timeout = 1, .sleep_period = 0};
  EXPECT_EQ(watchdog_run(&short_timeout, count_down_ticks), -1);
  EXPECT_EQ(watchdog_set_timeout(-1, 60), -1);
  EXPECT_EQ(watchdog_keepalive(-1), 0);
  EXPECT_TRUE(board_.log.empty());
  EXPECT_EQ(watchdog_open(45, true), FAKE_FD);
  EXPECT_EQ(board_.log, (Log{"open /nonexistent/watchdog", "set 45", "get"}));
}

}  // namespace
}  // namespace vorn::daemon
