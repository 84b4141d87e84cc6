#include "daemon/watchdog.h"

#include <gtest/gtest.h>
#include <linux/watchdog.h>

#include <map>
#include <string>
#include <vector>

#include "platform/fixed_paths.h"
#include "support/path_override.h"

namespace vorn::daemon {
namespace {

constexpr int FAKE_FD = 7;
constexpr const char GPIO[] = "/sys/devices/platform/zt4100-gpio.0/output_CPU_WDT";

// A stateful stand-in for the device, the property table and the shell. The watchdog under
// test runs in the test's own thread.
struct FakeBoard {
  std::map<std::string, std::string> properties;
  int startups = 0;
  bool open_fails = false;
  std::vector<std::string> opened;
  std::vector<std::string> requests;  // "set 60", "get", "keepalive"
  int device_timeout = 0;
  std::vector<std::string> shell;
};
FakeBoard* g_board = nullptr;

int fake_startup() { return ++g_board->startups, 0; }

const char* fake_property(const char* name) {
  const auto it = g_board->properties.find(name);
  return it == g_board->properties.end() ? nullptr : it->second.c_str();
}

int fake_open(const char* path) {
  g_board->opened.emplace_back(path);
  return g_board->open_fails ? -1 : FAKE_FD;
}

int fake_request(int fd, unsigned long request, int* value) {
  EXPECT_EQ(fd, FAKE_FD);
  if (request == WDIOC_SETTIMEOUT) {
    g_board->device_timeout = *value;
    g_board->requests.push_back("set " + std::to_string(*value));
  } else if (request == WDIOC_GETTIMEOUT) {
    *value = g_board->device_timeout;
    g_board->requests.emplace_back("get");
  } else if (request == WDIOC_KEEPALIVE) {
    EXPECT_EQ(value, nullptr);
    g_board->requests.emplace_back("keepalive");
  } else {
    ADD_FAILURE() << "unexpected request " << request;
  }
  return 0;
}

int fake_shell(const char* command) {
  g_board->shell.emplace_back(command);
  return 0;
}

class Watchdog : public testing::Test {
 protected:
  Watchdog() : no_real_device_(platform::FixedPath::WATCHDOG_DEVICE, "/nonexistent/watchdog") {
    g_board = &board_;
    set_watchdog_platform({.startup = fake_startup,
                           .property = fake_property,
                           .open_device = fake_open,
                           .request = fake_request,
                           .run_shell = fake_shell});
    cpu_wdt_gpio_reset();
  }
  ~Watchdog() override {
    set_watchdog_platform({});
    g_board = nullptr;
  }

  int config() {
    timeout_ = -100;
    sleep_ = -100;
    return watchdog_config(timeout_, sleep_);
  }
  void enable(const char* timeout) {
    board_.properties["sys.watchdog.enable"] = "1";
    board_.properties["sys.watchdog.timeout"] = timeout;
  }

  FakeBoard board_;
  int timeout_ = 0;
  int sleep_ = 0;
  test::ScopedPathOverride no_real_device_;
};

TEST_F(Watchdog, SwitchedOffUnlessEnableIsExactlyOne) {
  EXPECT_EQ(config(), WATCHDOG_OFF);
  EXPECT_EQ(board_.startups, 1);
  for (const char* value : {"", "0", "1 ", " 1", "01", "yes"}) {
    board_.properties["sys.watchdog.enable"] = value;
    board_.properties["sys.watchdog.timeout"] = "60";
    EXPECT_EQ(config(), WATCHDOG_OFF) << '"' << value << '"';
  }
  EXPECT_TRUE(board_.opened.empty());
  EXPECT_EQ(timeout_, -100);
}

TEST_F(Watchdog, MissingOrSmallTimeoutIsRefused) {
  board_.properties["sys.watchdog.enable"] = "1";
  EXPECT_EQ(config(), WATCHDOG_BAD_TIMEOUT);
  for (const char* value : {"", "1", "abc", "0", "-5"}) {
    board_.properties["sys.watchdog.timeout"] = value;
    EXPECT_EQ(config(), WATCHDOG_BAD_TIMEOUT) << '"' << value << '"';
  }
  EXPECT_TRUE(board_.opened.empty());
}

TEST_F(Watchdog, EnabledOpensTheDeviceWithoutTouchingIt) {
  enable("60");
  EXPECT_EQ(config(), FAKE_FD);
  EXPECT_EQ(timeout_, 60);
  EXPECT_EQ(sleep_, 36);
  EXPECT_EQ(board_.opened, std::vector<std::string>{"/nonexistent/watchdog"});
  EXPECT_TRUE(board_.requests.empty());
}

TEST_F(Watchdog, DeviceThatDoesNotOpenSwitchesItOff) {
  enable("60");
  board_.open_fails = true;
  EXPECT_EQ(config(), WATCHDOG_OFF);
  EXPECT_EQ(timeout_, -100);
}

TEST_F(Watchdog, SleepPeriods) {
  enable("4");
  EXPECT_EQ(config(), FAKE_FD);
  EXPECT_EQ(sleep_, 2);
  enable("3");
  EXPECT_EQ(config(), FAKE_FD);
  EXPECT_EQ(timeout_, 3);
  EXPECT_EQ(sleep_, 1);
  EXPECT_EQ(watchdog_sleep_period(2), 1);
  EXPECT_EQ(watchdog_sleep_period(10), 6);
  EXPECT_EQ(watchdog_sleep_period(60), 36);
  for (int t = 2; t < 100000; ++t) ASSERT_LT(watchdog_sleep_period(t), t);
}

int g_ticks_left = 0;
bool count_down_ticks() { return --g_ticks_left > 0; }

TEST_F(Watchdog, FeedingSequence) {
  const WatchdogParams params{.fd = FAKE_FD, .timeout = 60, .sleep_period = 36};
  g_ticks_left = 11;
  EXPECT_EQ(watchdog_run(&params, count_down_ticks), 0);
  std::vector<std::string> expected = {"set 60", "get", "keepalive"};
  for (int i = 0; i < 11; ++i) expected.emplace_back("keepalive");
  EXPECT_EQ(board_.requests, expected);
  const std::string gpio = GPIO;
  EXPECT_EQ(board_.shell,
            (std::vector<std::string>{"echo 0 > " + gpio, "echo 1 > " + gpio, "echo 0 > " + gpio}));
}

TEST_F(Watchdog, GpioTogglesEveryFifthStep) {
  std::vector<size_t> writes_after;
  for (int step = 1; step <= 16; ++step) {
    EXPECT_EQ(cpu_wdt_gpio_step(), 0);
    writes_after.push_back(board_.shell.size());
  }
  EXPECT_EQ(writes_after, (std::vector<size_t>{1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 4}));
  EXPECT_EQ(board_.shell[0], std::string("echo 0 > ") + GPIO);
  EXPECT_EQ(board_.shell[1], std::string("echo 1 > ") + GPIO);
  EXPECT_EQ(board_.shell[3], std::string("echo 1 > ") + GPIO);
}

// Short timeouts used to leave the device open and unfed, so the board reset: they are fed.
TEST_F(Watchdog, ShortTimeoutsAreFedToo) {
  for (int timeout : {2, 3}) {
    board_.requests.clear();
    const WatchdogParams params{
        .fd = FAKE_FD, .timeout = timeout, .sleep_period = watchdog_sleep_period(timeout)};
    EXPECT_TRUE(watchdog_should_feed(&params));
    g_ticks_left = 2;
    EXPECT_EQ(watchdog_run(&params, count_down_ticks), 0);
    EXPECT_EQ(board_.requests, (std::vector<std::string>{"set " + std::to_string(timeout), "get",
                                                         "keepalive", "keepalive", "keepalive"}));
  }
}

TEST_F(Watchdog, NothingToFeedTouchesNothing) {
  g_ticks_left = 5;
  EXPECT_EQ(watchdog_run(nullptr, count_down_ticks), -1);
  const WatchdogParams failed{.fd = -1, .timeout = 60, .sleep_period = 36};
  EXPECT_EQ(watchdog_run(&failed, count_down_ticks), -1);
  EXPECT_TRUE(board_.requests.empty());
  EXPECT_TRUE(board_.shell.empty());
}

TEST_F(Watchdog, RequestsOnNoDescriptorAreSkipped) {
  EXPECT_EQ(watchdog_set_timeout(-1, 60), -1);
  EXPECT_EQ(watchdog_keepalive(-1), 0);
  EXPECT_TRUE(board_.requests.empty());
  EXPECT_EQ(watchdog_set_timeout(FAKE_FD, 30), 0);
  EXPECT_EQ(board_.requests, (std::vector<std::string>{"set 30", "get"}));
}

TEST_F(Watchdog, OpenWithTheFlagAppliesTheTimeout) {
  EXPECT_EQ(watchdog_open(45, true), FAKE_FD);
  EXPECT_EQ(board_.requests, (std::vector<std::string>{"set 45", "get"}));
  board_.open_fails = true;
  EXPECT_EQ(watchdog_open(45, true), -1);
  EXPECT_EQ(board_.requests.size(), 2u);
}

}  // namespace
}  // namespace vorn::daemon
