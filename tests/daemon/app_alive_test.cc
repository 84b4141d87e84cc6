#include "daemon/app_alive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daemon/daemon_commands.h"
#include "daemon/log_capture.h"
#include "platform/log.h"

namespace vorn::daemon {
namespace {

using platform::LOG_PRIORITY_ERROR;

// Recording stand-ins: nothing is ever killed or run.
std::mutex g_mutex;
std::vector<int> g_killed;
std::vector<std::string> g_ran;

int fake_kill(int pid) {
  std::lock_guard lock(g_mutex);
  g_killed.push_back(pid);
  return 0;
}

int fake_run(const char* command) {
  std::lock_guard lock(g_mutex);
  g_ran.emplace_back(command);
  return 0;
}

std::vector<int> killed() {
  std::lock_guard lock(g_mutex);
  return g_killed;
}

std::vector<std::string> ran() {
  std::lock_guard lock(g_mutex);
  return g_ran;
}

int appalive(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  char reply[REPLY_TEXT_SIZE] = {};
  return cmd_appalive(static_cast<int>(words.size()), argv.data(), reply);
}

// Steps until the watch fires; the number of the step that fired, or 0 after limit steps.
int steps_until_fired(int limit) {
  for (int step = 1; step <= limit; ++step) {
    if (appalive_step()) return step;
  }
  return 0;
}

class AppAlive : public testing::Test {
 protected:
  AppAlive() {
    {
      std::lock_guard lock(g_mutex);
      g_killed.clear();
      g_ran.clear();
    }
    set_appalive_actions({.kill_process = fake_kill, .run_command = fake_run});
    appalive_clear();
  }
  ~AppAlive() override {
    appalive_clear();
    set_appalive_actions({.kill_process = nullptr, .run_command = nullptr});
  }

  static void expect_default_watch() {
    const AppAliveWatch watch = appalive_watch();
    EXPECT_EQ(watch.countdown, 180);
    EXPECT_EQ(watch.pid, 1);
    EXPECT_STREQ(watch.command.data(), "reboot");
  }

  test::LogCapture log_;
};

TEST_F(AppAlive, ClearedWatchNeverFires) {
  EXPECT_EQ(steps_until_fired(500), 0);
  EXPECT_TRUE(ran().empty());
}

TEST_F(AppAlive, DefaultWatchRebootsOnThe181stTick) {
  appalive_reset_default();
  expect_default_watch();
  EXPECT_EQ(steps_until_fired(1000), 181);
  EXPECT_TRUE(killed().empty());
  EXPECT_EQ(ran(), std::vector<std::string>{"reboot"});
  EXPECT_TRUE(log_.has("-->appalive: cmd(reboot)\n", LOG_PRIORITY_ERROR));
  EXPECT_TRUE(log_.has("appalive: kill&restart process[1,reboot]\n", LOG_PRIORITY_ERROR));
  expect_default_watch();
}

TEST_F(AppAlive, MonitorArmsTheDefaultWatchAndTicks) {
  static std::atomic<int> ticks{0};
  static std::atomic<bool> armed_seen{false};
  ticks = 0;
  appalive_run([] { return ++ticks < 181; },
               [](void*) { armed_seen = appalive_watch().pid == APPALIVE_DEFAULT_PID; });
  EXPECT_TRUE(armed_seen);
  EXPECT_TRUE(log_.has("appalive: [thread]\n", platform::LOG_PRIORITY_INFO));
  EXPECT_TRUE(
      log_.has("appalive: [wait to default \"appalive set\"]\n", platform::LOG_PRIORITY_INFO));
  // 181 steps: the last one fires.
  EXPECT_EQ(ran(), std::vector<std::string>{"reboot"});
}

TEST_F(AppAlive, SetRules) {
  EXPECT_EQ(appalive({"appalive", "set", "9", "100"}), APPALIVE_MALFORMED);
  EXPECT_EQ(appalive_watch().pid, 0);
  EXPECT_EQ(appalive({"appalive", "set", "10", "100"}), APPALIVE_OK);
  EXPECT_EQ(appalive_watch().pid, 100);
  EXPECT_EQ(appalive_watch().countdown, 10);
  EXPECT_EQ(appalive({"appalive", "set", "10", "-5"}), APPALIVE_MALFORMED);
  EXPECT_EQ(appalive({"appalive", "set", "30"}), APPALIVE_MALFORMED);
  EXPECT_EQ(appalive({"appalive", "set"}), APPALIVE_MALFORMED);
  EXPECT_EQ(appalive({"appalive"}), APPALIVE_MALFORMED);
  EXPECT_EQ(appalive({"appalive", "Set", "30", "5"}), APPALIVE_MALFORMED);
  EXPECT_EQ(appalive_watch().pid, 100);
  EXPECT_EQ(appalive_watch().countdown, 10);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(AppAlive, SetWithoutDigitsWatchesPidZeroWhichNeverFires) {
  appalive_reset_default();
  EXPECT_EQ(appalive({"appalive", "set", "30", "abc"}), APPALIVE_OK);
  EXPECT_EQ(appalive_watch().pid, 0);
  EXPECT_EQ(steps_until_fired(1000), 0);
  EXPECT_TRUE(ran().empty());
}

TEST_F(AppAlive, WordsPastTheFifthAreIgnored) {
  EXPECT_EQ(appalive({"appalive", "set", "12", "77", "android@a/.B", "extra"}), APPALIVE_OK);
  EXPECT_STREQ(appalive_watch().command.data(), "android@a/.B");
}

TEST_F(AppAlive, ClearRules) {
  EXPECT_EQ(appalive({"appalive", "set", "30", "1234"}), APPALIVE_OK);
  EXPECT_EQ(appalive({"appalive", "clear", "1"}), APPALIVE_MALFORMED);
  EXPECT_EQ(appalive({"appalive", "clear"}), APPALIVE_MALFORMED);
  EXPECT_EQ(appalive({"appalive", "clear", "999"}), APPALIVE_OK);
  EXPECT_EQ(appalive_watch().pid, 1234);
  EXPECT_EQ(appalive_watch().countdown, 30);
  EXPECT_EQ(appalive({"appalive", "clear", "1234"}), APPALIVE_OK);
  EXPECT_EQ(appalive_watch().pid, 0);
  EXPECT_EQ(appalive_watch().countdown, -1);
  EXPECT_STREQ(appalive_watch().command.data(), "");
}

TEST_F(AppAlive, DefaultWatchCannotBeClearedButPidZeroDisarmsIt) {
  appalive_reset_default();
  EXPECT_EQ(appalive({"appalive", "clear", "1"}), APPALIVE_MALFORMED);
  expect_default_watch();
  EXPECT_EQ(appalive({"appalive", "set", "10", "0"}), APPALIVE_OK);
  EXPECT_EQ(steps_until_fired(1000), 0);
}

TEST_F(AppAlive, FiringKillsTheProcessAndStartsNothingWithoutACommand) {
  EXPECT_EQ(appalive({"appalive", "set", "30", "1234"}), APPALIVE_OK);
  EXPECT_EQ(steps_until_fired(100), 31);
  EXPECT_EQ(killed(), std::vector<int>{1234});
  EXPECT_TRUE(ran().empty());
  EXPECT_TRUE(log_.has("appalive: kill&restart process[1234,]\n", LOG_PRIORITY_ERROR));
  expect_default_watch();
}

TEST_F(AppAlive, AndroidComponentIsStartedWithAm) {
  EXPECT_EQ(appalive({"appalive", "set", "30", "1234", "android@com.x/.Main"}), APPALIVE_OK);
  EXPECT_EQ(steps_until_fired(100), 31);
  EXPECT_EQ(killed(), std::vector<int>{1234});
  EXPECT_EQ(ran(), std::vector<std::string>{"am start com.x/.Main"});
  EXPECT_TRUE(
      log_.has("appalive: kill&restart process[1234,android@com.x/.Main]\n", LOG_PRIORITY_ERROR));
  EXPECT_FALSE(log_.has("-->appalive: cmd(am start com.x/.Main)\n"));
}

TEST_F(AppAlive, PlainCommandIsLoggedAndRunWithoutKillingPidOne) {
  EXPECT_EQ(appalive({"appalive", "set", "30", "1", "/system/bin/foo"}), APPALIVE_OK);
  EXPECT_EQ(steps_until_fired(100), 31);
  EXPECT_TRUE(killed().empty());
  EXPECT_EQ(ran(), std::vector<std::string>{"/system/bin/foo"});
  EXPECT_TRUE(log_.has("-->appalive: cmd(/system/bin/foo)\n", LOG_PRIORITY_ERROR));
  EXPECT_TRUE(log_.has("appalive: kill&restart process[1,/system/bin/foo]\n", LOG_PRIORITY_ERROR));
}

TEST_F(AppAlive, EveryHeartbeatStartsTheCountAgain) {
  EXPECT_EQ(appalive({"appalive", "set", "10", "55"}), APPALIVE_OK);
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(appalive_step());
  EXPECT_EQ(appalive({"appalive", "set", "10", "55"}), APPALIVE_OK);
  EXPECT_EQ(steps_until_fired(100), 11);
  // After a firing, a heartbeat within 180 seconds prevents the default reboot.
  for (int i = 0; i < 170; ++i) EXPECT_FALSE(appalive_step());
  EXPECT_EQ(appalive({"appalive", "set", "10", "0"}), APPALIVE_OK);
  EXPECT_EQ(steps_until_fired(1000), 0);
  EXPECT_EQ(ran().size(), 0u);
  EXPECT_EQ(killed(), std::vector<int>{55});
}

// The monitor and heartbeats from other threads meet only under appalive_mutex (checked by
// the thread sanitizer build).
TEST_F(AppAlive, HeartbeatsRaceTheMonitorSafely) {
  static std::atomic<int> ticks{0};
  static std::atomic<bool> armed{false};
  ticks = 0;
  armed = false;
  std::thread monitor([] {
    appalive_run(
        [] {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          return ++ticks < 400;
        },
        [](void*) { armed = true; });
  });
  std::thread client([] {
    // Heartbeats before the monitor armed its default watch would simply be replaced by it.
    while (!armed) std::this_thread::yield();
    for (int i = 0; i < 400; ++i) {
      std::string request = "appalive set 10 0";
      request.push_back('\0');
      char reply[REPLY_TEXT_SIZE] = {};
      std::span<char, REPLY_TEXT_SIZE> text(reply);
      EXPECT_EQ(run_request(request, text), 0);
    }
  });
  monitor.join();
  client.join();
  EXPECT_EQ(appalive_watch().pid, 0);
}

// A heartbeat is served while a long tool command holds the command mutex.
TEST_F(AppAlive, HeartbeatDoesNotWaitForToolCommands) {
  static std::atomic<bool> inside{false};
  static std::atomic<bool> release{false};
  inside = false;
  release = false;
  set_tool_runner([](int, char**, std::span<char>) {
    inside = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
  });
  std::thread tool([] {
    std::string request = "vorn upgrade x";
    request.push_back('\0');
    char reply[REPLY_TEXT_SIZE] = {};
    std::span<char, REPLY_TEXT_SIZE> text(reply);
    EXPECT_EQ(run_request(request, text), 0);
  });
  while (!inside) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(appalive({"appalive", "set", "10", "0"}), APPALIVE_OK);
  const auto took = std::chrono::steady_clock::now() - start;
  release = true;
  tool.join();
  set_tool_runner(nullptr);
  EXPECT_LT(took, std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace vorn::daemon
