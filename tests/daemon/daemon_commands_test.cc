#include "daemon/daemon_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "daemon/app_alive.h"
#include "daemon/log_capture.h"
#include "platform/fixed_text.h"
#include "platform/log.h"

namespace vorn::daemon {
namespace {

using platform::LOG_PRIORITY_ERROR;

std::vector<std::string> g_seen;  // words the fake tool runner got
int g_answer = 0;
std::string g_reply_text;

int fake_tool(int argc, char** argv, std::span<char> reply) {
  g_seen.assign(argv, argv + argc);
  EXPECT_EQ(argv[argc], nullptr);
  EXPECT_EQ(reply.size(), REPLY_TEXT_SIZE);
  platform::copy_text(reply, g_reply_text);
  return g_answer;
}

class DaemonCommands : public testing::Test {
 protected:
  DaemonCommands() {
    g_seen.clear();
    g_answer = 0;
    g_reply_text.clear();
    set_tool_runner(fake_tool);
    appalive_clear();
  }
  ~DaemonCommands() override { set_tool_runner(nullptr); }

  // The reply body for one request line.
  std::string reply_for(std::string request) {
    request.push_back('\0');
    std::array<char, REPLY_TEXT_SIZE> text{};
    const int code = run_request(request, text);
    std::array<char, 1024> out;
    return std::string(format_reply(out, code, text));
  }

  test::LogCapture log_;
};

TEST_F(DaemonCommands, TableLookupIsExact) {
  EXPECT_EQ(daemon_command_find(DAEMON_COMMANDS, "vorn"), &DAEMON_COMMANDS[0]);
  EXPECT_EQ(daemon_command_find(DAEMON_COMMANDS, "appalive"), &DAEMON_COMMANDS[1]);
  EXPECT_EQ(daemon_command_find(DAEMON_COMMANDS, "Vorn"), nullptr);
  EXPECT_EQ(daemon_command_find(DAEMON_COMMANDS, ""), nullptr);
}

TEST_F(DaemonCommands, VornHandsTheWordsToTheTool) {
  EXPECT_EQ(reply_for("vorn getprop sys.eth.if"), "0\n");
  EXPECT_EQ(g_seen, (std::vector<std::string>{"vorn", "getprop", "sys.eth.if"}));
}

TEST_F(DaemonCommands, ReplyCarriesTheCodeAndTheText) {
  g_answer = -2;
  EXPECT_EQ(reply_for("vorn"), "-2\n");
  g_answer = 0;
  g_reply_text = "eth0\n";
  EXPECT_EQ(reply_for("vorn getprop sys.eth.if"), "0\neth0\n\n");
  g_reply_text = "zt4100.1.0";
  EXPECT_EQ(reply_for("vorn info hw_version"), "0\nzt4100.1.0\n");
}

TEST_F(DaemonCommands, UnsupportedCommandsAnswerMinusOne) {
  EXPECT_EQ(reply_for("foo bar"), "-1\n");
  EXPECT_TRUE(log_.has("unsupported command 'foo'\n", LOG_PRIORITY_ERROR));
  EXPECT_EQ(reply_for(" \t\r\n "), "-1\n");
  EXPECT_TRUE(log_.has("unsupported command ''\n", LOG_PRIORITY_ERROR));
  EXPECT_TRUE(g_seen.empty());
}

TEST_F(DaemonCommands, NineWordsAreTooManyEightAreServed) {
  EXPECT_EQ(reply_for("vorn 1 2 3 4 5 6 7 8"), "-1\n");
  EXPECT_TRUE(log_.has("too many arguments\n", LOG_PRIORITY_ERROR));
  EXPECT_TRUE(g_seen.empty());
  g_answer = 7;
  EXPECT_EQ(reply_for("vorn 1 2 3 4 5 6 7"), "7\n");
  EXPECT_EQ(g_seen.size(), 8u);
}

TEST_F(DaemonCommands, AppaliveIsServedByTheLivenessMonitor) {
  EXPECT_EQ(reply_for("appalive set 9 100"), "-1\n");
  EXPECT_EQ(reply_for("appalive set 10 100"), "0\n");
  EXPECT_EQ(appalive_watch().pid, 100);
  EXPECT_TRUE(g_seen.empty());
}

int count_words(int argc, char**, std::span<char>) { return argc; }

TEST_F(DaemonCommands, ARowWithACountRefusesOtherCounts) {
  static constexpr DaemonCommand TABLE[] = {
      {.name = "pair", .arg_count = 2, .handler = count_words},
      {.name = "pair", .arg_count = 0, .handler = count_words},
  };
  std::array<char, REPLY_TEXT_SIZE> text{};
  char three[] = "pair a b";
  EXPECT_EQ(run_request_in(TABLE, three, text), DAEMON_COMMAND_FAILED);
  EXPECT_TRUE(log_.has("pair requires 2 arguments (3 given)\n", LOG_PRIORITY_ERROR));
  char two[] = "pair a";
  EXPECT_EQ(run_request_in(TABLE, two, text), 2);
}

TEST_F(DaemonCommands, ReplyFormattingNeverOverflows) {
  std::array<char, REPLY_TEXT_SIZE> text;
  text.fill('x');
  text.back() = '\0';
  std::array<char, 1024> out;
  const std::string_view body = format_reply(out, -2147483647 - 1, text);
  EXPECT_EQ(body.size(), 12 + 511 + 1);
  EXPECT_EQ(body.substr(0, 12), "-2147483648\n");
  EXPECT_EQ(body.back(), '\n');

  // A text without a NUL is read only up to the end of its buffer.
  text.fill('y');
  EXPECT_EQ(format_reply(out, 0, text).size(), 2 + 512 + 1);

  // A small output buffer cuts the reply and stays terminated.
  std::array<char, 8> small;
  small.fill('z');
  EXPECT_EQ(format_reply(small, 0, text), "0\nyyyyy");
}

TEST_F(DaemonCommands, VornRunsUnderTheCommandMutex) {
  static std::atomic<bool> held{false};
  set_tool_runner([](int, char**, std::span<char>) {
    // Asked from another thread: try_lock by the owner itself would be undefined.
    std::thread probe([] {
      held = !command_mutex.try_lock();
      if (!held) command_mutex.unlock();
    });
    probe.join();
    return 0;
  });
  EXPECT_EQ(reply_for("vorn help"), "0\n");
  EXPECT_TRUE(held);
}

}  // namespace
}  // namespace vorn::daemon
