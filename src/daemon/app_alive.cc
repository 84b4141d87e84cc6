#include "daemon/app_alive.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <string_view>
#include <thread>

#include "daemon/auto_commit.h"
#include "daemon/threads.h"
#include "platform/fixed_text.h"
#include "platform/log.h"
#include "platform/number_text.h"
#include "platform/shell.h"

namespace vorn::daemon {

using platform::log_print;
using platform::LOG_PRIORITY_ERROR;
using platform::LOG_PRIORITY_INFO;

std::mutex appalive_mutex;

namespace {

AppAliveWatch g_watch;  // guarded by appalive_mutex

int kill_with_sigkill(int pid) { return ::kill(pid, SIGKILL); }

std::atomic<int (*)(int)> g_kill{kill_with_sigkill};
std::atomic<int (*)(const char*)> g_run{platform::shell_run};

void set_watch(int countdown, int pid, std::string_view command) {
  g_watch.countdown = countdown;
  g_watch.pid = pid;
  platform::copy_text(g_watch.command, command);
}

void fire_locked() {
  std::array<char, APPALIVE_COMMAND_SIZE> line{};
  if (g_watch.pid > APPALIVE_DEFAULT_PID) (void)g_kill.load()(g_watch.pid);
  const std::string_view command = platform::slot_text(g_watch.command);
  if (!command.empty()) {
    const std::string_view prefix = APPALIVE_ANDROID_PREFIX;
    if (command.starts_with(prefix)) {
      const std::string_view component = command.substr(prefix.size());
      platform::format_text(line, "am start %.*s", static_cast<int>(component.size()),
                            component.data());
    } else {
      platform::copy_text(line, command);
      log_print(LOG_PRIORITY_ERROR, "-->appalive: cmd(%s)\n", line.data());
    }
    (void)g_run.load()(line.data());
  }
  log_print(LOG_PRIORITY_ERROR, "appalive: kill&restart process[%d,%s]\n", g_watch.pid,
            g_watch.command.data());
  set_watch(APPALIVE_DEFAULT_COUNTDOWN, APPALIVE_DEFAULT_PID, APPALIVE_DEFAULT_COMMAND);
}

bool sleep_one_second() {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return true;
}

}  // namespace

void set_appalive_actions(const AppAliveActions& actions) {
  g_kill.store(actions.kill_process ? actions.kill_process : kill_with_sigkill);
  g_run.store(actions.run_command ? actions.run_command : platform::shell_run);
}

int cmd_appalive(int argc, char** argv, std::span<char> /*reply*/) {
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) return APPALIVE_MALFORMED;
  const std::string_view sub = argv[1];
  if (sub == "set") {
    if (argc < 4) return APPALIVE_MALFORMED;
    const int timeout = platform::decimal_prefix(argv[2]);
    const int pid = platform::decimal_prefix(argv[3]);
    if (timeout < APPALIVE_MIN_TIMEOUT || pid < 0) return APPALIVE_MALFORMED;
    const char* command = (argc >= 5 && argv[4] != nullptr) ? argv[4] : "";
    {
      std::lock_guard lock(appalive_mutex);
      set_watch(timeout, pid, command);
    }
    auto_commit_heartbeat();
    return APPALIVE_OK;
  }
  if (sub == "clear") {
    if (argc < 3) return APPALIVE_MALFORMED;
    const int pid = platform::decimal_prefix(argv[2]);
    if (pid < APPALIVE_MIN_CLEAR_PID) return APPALIVE_MALFORMED;
    std::lock_guard lock(appalive_mutex);
    if (g_watch.pid == pid) set_watch(-1, 0, "");
    return APPALIVE_OK;
  }
  return APPALIVE_MALFORMED;
}

void appalive_reset_default() {
  std::lock_guard lock(appalive_mutex);
  set_watch(APPALIVE_DEFAULT_COUNTDOWN, APPALIVE_DEFAULT_PID, APPALIVE_DEFAULT_COMMAND);
}

void appalive_clear() {
  std::lock_guard lock(appalive_mutex);
  set_watch(-1, 0, "");
}

AppAliveWatch appalive_watch() {
  std::lock_guard lock(appalive_mutex);
  return g_watch;
}

bool appalive_step() {
  std::lock_guard lock(appalive_mutex);
  if (g_watch.pid <= 0) return false;
  if (g_watch.countdown > 0) {
    --g_watch.countdown;
    return false;
  }
  fire_locked();
  return true;
}

void appalive_run(bool (*tick)(), void (*armed)(void*), void* armed_arg) {
  log_print(LOG_PRIORITY_INFO, "appalive: [thread]\n");
  appalive_reset_default();
  if (armed != nullptr) armed(armed_arg);
  log_print(LOG_PRIORITY_INFO, "appalive: [wait to default \"appalive set\"]\n");
  do {
    appalive_step();
  } while (tick());
}

namespace {

// Lets appalive_start wait for the default watch. The flag is set and signalled under the mutex,
// so the waiter cannot return (and end this object's life) while the monitor still touches it.
struct ArmedSignal {
  std::mutex mutex;
  std::condition_variable cv;
  bool armed = false;
};

void signal_armed(void* raw) {
  auto* signal = static_cast<ArmedSignal*>(raw);
  std::lock_guard lock(signal->mutex);
  signal->armed = true;
  signal->cv.notify_all();
}

void monitor_thread(void* signal) { appalive_run(sleep_one_second, signal_armed, signal); }

}  // namespace

bool appalive_start() {
  ArmedSignal signal;
  if (!start_detached_thread(monitor_thread, &signal)) return false;
  std::unique_lock lock(signal.mutex);
  signal.cv.wait(lock, [&signal] { return signal.armed; });
  return true;
}

}  // namespace vorn::daemon
