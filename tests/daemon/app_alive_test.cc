#include "daemon/app_alive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "daemon/auto_commit.h"
#include "daemon/daemon_commands.h"
#include "daemon/log_capture.h"
#include "settings/device_fixture.h"

namespace vorn::daemon {
namespace {

using platform::LOG_PRIORITY_ERROR;

// Recording stand-ins: nothing is ever killed or run. Touched by one thread at a time (a
// monitor thread only between its start and its join).
std::vector<std::string> g_actions;  // "kill <pid>", "run <command>"
int fake_kill(int pid) { return g_actions.push_back("kill " + std::to_string(pid)), 0; }
int fake_run(const char* command) { return g_actions.push_back(std::string("run ") + command), 0; }

int appalive(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  char reply[REPLY_TEXT_SIZE] = {};
  return cmd_appalive(static_cast<int>(words.size()), argv.data(), reply);
}

// The number of the step that fired, or 0 after limit steps.
int steps_until_fired(int limit) {
  for (int step = 1; step <= limit; ++step) {
    if (appalive_step()) return step;
  }
  return 0;
}

std::string watch_text() {
  const AppAliveWatch w = appalive_watch();
  return std::to_string(w.countdown) + " " + std::to_string(w.pid) + " " + w.command.data();
}

class AppAlive : public testing::Test {
 protected:
  AppAlive() {
    g_actions.clear();
    set_appalive_actions({.kill_process = fake_kill, .run_command = fake_run});
    appalive_clear();
  }
  ~AppAlive() override {
    appalive_clear();
    set_appalive_actions({.kill_process = nullptr, .run_command = nullptr});
  }

  test::LogCapture log_;
};

TEST_F(AppAlive, SetAndClearRules) {
  const struct {
    std::vector<std::string> words;
    int result;
    const char* watch;  // after the request
  } cases[] = {
      {{"appalive", "set", "9", "100"}, APPALIVE_MALFORMED, "-1 0 "},
      {{"appalive", "set", "10", "100"}, APPALIVE_OK, "10 100 "},
      {{"appalive", "set", "10", "-5"}, APPALIVE_MALFORMED, "10 100 "},
      {{"appalive", "set", "30"}, APPALIVE_MALFORMED, "10 100 "},
      {{"appalive"}, APPALIVE_MALFORMED, "10 100 "},
      {{"appalive", "Set", "30", "5"}, APPALIVE_MALFORMED, "10 100 "},
      {{"appalive", "set", "12", "77", "android@a/.B", "extra"}, APPALIVE_OK, "12 77 android@a/.B"},
      {{"appalive", "clear"}, APPALIVE_MALFORMED, "12 77 android@a/.B"},
      {{"appalive", "clear", "999"}, APPALIVE_OK, "12 77 android@a/.B"},
      {{"appalive", "clear", "77"}, APPALIVE_OK, "-1 0 "},
      {{"appalive", "set", "30", "abc"}, APPALIVE_OK, "30 0 "}};  // pid 0: never fires
  for (const auto& c : cases) {
    EXPECT_EQ(appalive(c.words), c.result) << testing::PrintToString(c.words);
    EXPECT_EQ(watch_text(), c.watch) << testing::PrintToString(c.words);
  }
  EXPECT_EQ(steps_until_fired(1000), 0);
  EXPECT_TRUE(log_.lines().empty());
}

// A firing kills the watched process (not pid 1), runs its command ("android@" components
// through am), logs, and puts the default watch back.
TEST_F(AppAlive, FiringOnTheTickAfterTheTimeout) {
  const struct {
    const char* pid;
    const char* command;
    std::vector<std::string> actions;
    const char* cmd_logged;
  } cases[] = {
      {"1234", "", {"kill 1234"}, nullptr},
      {"1234", "android@com.x/.Main", {"kill 1234", "run am start com.x/.Main"}, nullptr},
      {"1", "/system/bin/foo", {"run /system/bin/foo"}, "-->appalive: cmd(/system/bin/foo)\n"}};
  for (const auto& c : cases) {
    g_actions.clear();
    ASSERT_EQ(appalive({"appalive", "set", "30", c.pid, c.command}), APPALIVE_OK);
    EXPECT_EQ(steps_until_fired(100), 31);
    EXPECT_EQ(g_actions, c.actions);
    EXPECT_TRUE(
        log_.has(std::string("appalive: kill&restart process[") + c.pid + "," + c.command + "]\n",
                 LOG_PRIORITY_ERROR));
    EXPECT_TRUE(!c.cmd_logged || log_.has(c.cmd_logged, LOG_PRIORITY_ERROR));
    EXPECT_EQ(watch_text(), "180 1 reboot");
  }
  EXPECT_FALSE(log_.has("-->appalive: cmd(am start com.x/.Main)\n"));
}

TEST_F(AppAlive, DefaultWatchRebootsOnThe181stTickUnlessAHeartbeatComes) {
  appalive_reset_default();
  EXPECT_EQ(steps_until_fired(1000), 181);
  EXPECT_EQ(g_actions, std::vector<std::string>{"run reboot"});
  EXPECT_TRUE(log_.has("-->appalive: cmd(reboot)\n", LOG_PRIORITY_ERROR));
  EXPECT_EQ(appalive({"appalive", "clear", "1"}), APPALIVE_MALFORMED);  // cannot be cleared
  // Every heartbeat starts the count again; pid 0 disarms.
  EXPECT_EQ(appalive({"appalive", "set", "10", "55"}), APPALIVE_OK);
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(appalive_step());
  EXPECT_EQ(appalive({"appalive", "set", "10", "55"}), APPALIVE_OK);
  EXPECT_EQ(steps_until_fired(100), 11);
  for (int i = 0; i < 170; ++i) EXPECT_FALSE(appalive_step());
  EXPECT_EQ(appalive({"appalive", "set", "10", "0"}), APPALIVE_OK);
  EXPECT_EQ(steps_until_fired(1000), 0);
  EXPECT_EQ(g_actions, (std::vector<std::string>{"run reboot", "kill 55"}));
}

// The monitor arms the default watch, then it and heartbeats from other threads meet only
// under appalive_mutex (checked by the thread sanitizer build).
TEST_F(AppAlive, HeartbeatsRaceTheMonitorSafely) {
  static std::atomic<int> ticks{0};
  static std::atomic<bool> armed{false};
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
      std::array<char, REPLY_TEXT_SIZE> reply{};
      EXPECT_EQ(run_request(request, reply), 0);
    }
  });
  monitor.join();
  client.join();
  EXPECT_EQ(appalive_watch().pid, 0);
  EXPECT_TRUE(log_.has("appalive: [thread]\n", platform::LOG_PRIORITY_INFO));
  EXPECT_TRUE(
      log_.has("appalive: [wait to default \"appalive set\"]\n", platform::LOG_PRIORITY_INFO));
}

std::atomic<int> g_commits{0};

class AutoCommit : public settings::test::DeviceFixture {
 protected:
  AutoCommit() {
    set_auto_commit_action([] { ++g_commits; });
  }
  ~AutoCommit() override {
    set_auto_commit_action(nullptr);
    appalive_clear();
  }
};

// Armed on a pending trial unless the property says "0"; the first heartbeat is answered at
// once even while a tool command holds the command mutex, and the commit follows it, once.
TEST_F(AutoCommit, FirstHeartbeatOfAPendingTrialCommitsOnceWithoutWaitingForTools) {
  const std::pair<std::vector<std::string>, bool> rows[] = {
      {{"upgrade_available=0"}, false},
      {{"upgrade_available=1", "sys.trial.autocommit=0"}, false},
      {{"sys.trial.autocommit=1"}, false},
      {{"upgrade_available=1", "sys.trial.autocommit=1"}, true}};
  for (const auto& [env, armed] : rows) {
    write_entries(env);
    EXPECT_EQ(auto_commit_arm(), armed) << env[0];
  }
  {
    const std::lock_guard tool(command_mutex);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(appalive({"appalive", "set", "10", "0"}), APPALIVE_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_commits, 0);
  }
  for (int i = 0; i < 500 && g_commits == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(appalive({"appalive", "set", "10", "0"}), APPALIVE_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(g_commits, 1);
}

}  // namespace
}  // namespace vorn::daemon
