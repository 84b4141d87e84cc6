// One request from its bytes to its reply: framing, words, the command table, the reply text.

#include "daemon/daemon_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/progress.h"
#include "daemon/app_alive.h"
#include "daemon/framing.h"
#include "daemon/log_capture.h"
#include "daemon/request_words.h"
#include "daemon/socket_helpers.h"
#include "daemon/socket_server.h"
#include "platform/fixed_text.h"

namespace vorn::daemon {
namespace {

using platform::LOG_PRIORITY_ERROR;
using Words = std::vector<std::string>;

Words g_seen;  // the words the fake tool got
std::string g_reply_text;

int fake_tool(int argc, char** argv, std::span<char> reply) {
  g_seen.assign(argv, argv + argc);
  EXPECT_EQ(argv[argc], nullptr);
  platform::copy_text(reply, g_reply_text);
  return argc;
}

class Request : public testing::Test {
 protected:
  Request() {
    g_seen.clear();
    g_reply_text.clear();
    set_tool_runner(fake_tool);
    appalive_clear();
  }
  ~Request() override {
    set_tool_runner(nullptr);
    appalive_clear();
  }

  // The reply body for one request line.
  static std::string reply_for(std::string request) {
    request.push_back('\0');
    std::array<char, REPLY_TEXT_SIZE> text{};
    const int code = run_request(request, text);
    std::array<char, 1024> out;
    return std::string(format_reply(out, code, text));
  }

  test::LogCapture log_;
};

TEST(RequestWords, SplitAtRunsOfWhiteSpaceUpToTheFirstNulEightAtMost) {
  const struct {
    std::string text;
    Words words;
  } cases[] = {{"vorn getprop sys.eth.if", {"vorn", "getprop", "sys.eth.if"}},
               {" \t vorn\n\v\f\rinfo  \r\n", {"vorn", "info"}},
               {" \t\n\v\f\r ", {}},
               {std::string("vorn info\0 a b c d e f g h i", 29), {"vorn", "info"}},
               {std::string("\0vorn", 5), {}}};
  for (const auto& c : cases) {
    std::string text = c.text + '\0';
    RequestWords words;
    const int count = split_words(text, words);
    Words got = count == WORDS_TOO_MANY ? Words{"<too many>"} : Words{};
    for (int i = 0; i < count; ++i) got.emplace_back(words.words[static_cast<size_t>(i)]);
    EXPECT_EQ(got, c.words) << c.text;
    EXPECT_TRUE(count < 0 || words.words[static_cast<size_t>(count)] == nullptr);
  }
}

TEST_F(Request, RepliesAndLogLinesOfTheCommands) {
  const struct {
    const char* request;
    const char* reply_text;
    const char* reply;
    const char* logged;
  } cases[] = {{"vorn getprop sys.eth.if", "", "3\n", nullptr},
               {"vorn getprop sys.eth.if", "eth0\n", "3\neth0\n\n", nullptr},
               {"vorn info hw_version", "zt4100.1.0", "3\nzt4100.1.0\n", nullptr},
               {"vorn 1 2 3 4 5 6 7", "", "8\n", nullptr},
               {"vorn 1 2 3 4 5 6 7 8", "", "-1\n", "too many arguments\n"},
               {"foo bar", "", "-1\n", "unsupported command 'foo'\n"},
               {" \t\r\n ", "", "-1\n", "unsupported command ''\n"},
               {"appalive set 9 100", "", "-1\n", nullptr},
               {"appalive set 10 100", "", "0\n", nullptr},
               {"progress", "", "0\nidle 0/0 - 0/0\n", nullptr},
               {"progress now", "", "-1\n", "progress requires 1 arguments (2 given)\n"}};
  for (const auto& c : cases) {
    g_reply_text = c.reply_text;
    EXPECT_EQ(reply_for(c.request), c.reply) << c.request;
    EXPECT_TRUE(!c.logged || log_.has(c.logged, LOG_PRIORITY_ERROR)) << c.logged;
  }
  EXPECT_EQ(g_seen, (Words{"vorn", "1", "2", "3", "4", "5", "6", "7"}));
  EXPECT_EQ(appalive_watch().pid, 100);
}

TEST_F(Request, ARowWithAWordCountRefusesOtherCounts) {
  static constexpr DaemonCommand TABLE[] = {{.name = "pair", .arg_count = 2, .handler = fake_tool}};
  std::array<char, REPLY_TEXT_SIZE> text{};
  char three[] = "pair a b";
  EXPECT_EQ(run_request_in(TABLE, three, text), DAEMON_COMMAND_FAILED);
  EXPECT_TRUE(log_.has("pair requires 2 arguments (3 given)\n", LOG_PRIORITY_ERROR));
  char two[] = "pair a";
  EXPECT_EQ(run_request_in(TABLE, two, text), 2);
}

TEST_F(Request, ReplyFormattingNeverOverflows) {
  std::array<char, REPLY_TEXT_SIZE> text;
  text.fill('x');
  text.back() = '\0';
  std::array<char, 1024> out;
  const std::string_view body = format_reply(out, -2147483647 - 1, text);
  EXPECT_EQ(body.size(), 12 + 511 + 1);
  EXPECT_EQ(body.substr(0, 12), "-2147483648\n");
  EXPECT_EQ(body.back(), '\n');
  text.fill('y');  // no NUL: read only up to the end of its buffer
  EXPECT_EQ(format_reply(out, 0, text).size(), 2 + 512 + 1);
  std::array<char, 8> small;
  EXPECT_EQ(format_reply(small, 0, text), "0\nyyyyy");  // cut, and terminated
}

TEST_F(Request, ToolCommandsRunUnderTheCommandMutex) {
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

TEST_F(Request, ProgressIsAnsweredWhileAToolCommandRunsAndIdleAfterIt) {
  static std::string seen;
  set_tool_runner([](int, char**, std::span<char>) {
    core::progress_begin(core::Stage::INSTALL, 2, 2, "system", 300);
    core::progress_bytes(100);
    // Another client asks while this command holds the mutex.
    std::thread client([] { seen = reply_for("progress"); });
    client.join();
    return 0;
  });
  EXPECT_EQ(reply_for("vorn upgrade x"), "0\n");
  EXPECT_EQ(seen, "0\ninstall 2/2 system 100/300\n");
  EXPECT_EQ(reply_for("progress"), "0\nidle 0/0 - 0/0\n");
}

// The management loop on the daemon end of a socket pair: what a client gets for its bytes.
TEST_F(Request, FramingErrorsCloseTheConnectionWithoutReply) {
  std::string longest = "vorn info foo";
  longest.resize(MAX_REQUEST_LENGTH, ' ');
  const struct {
    std::string bytes;
    const char* reply;  // null: closed without one
    const char* logged;
  } cases[] = {{test::frame(longest), "3\n", "eof\n"},
               {test::frame("", 0), nullptr, "invalid size 0\n"},
               {test::frame(std::string(1024, 'a')), nullptr, "invalid size 1024\n"},
               {test::frame("vorn", 10), nullptr, "failed to read command\n"},
               {std::string(1, '\x05'), nullptr, "failed to read size\n"}};
  for (const auto& c : cases) {
    auto [client, server] = test::socket_pair();
    std::thread thread(management, std::move(server));
    ASSERT_TRUE(test::send_all(client.get(), c.bytes));
    ::shutdown(client.get(), SHUT_WR);
    const std::optional<std::string> reply = test::read_reply(client.get());
    EXPECT_EQ(reply.value_or("<none>"), c.reply ? c.reply : "<none>") << c.logged;
    EXPECT_FALSE(test::read_reply(client.get()).has_value()) << "closed after it";
    thread.join();
    EXPECT_TRUE(log_.has(c.logged, LOG_PRIORITY_ERROR)) << c.logged;
  }
}

TEST_F(Request, WritingToAGoneClientFailsWithoutSigpipe) {
  auto [client, server] = test::socket_pair();
  client.reset();
  EXPECT_EQ(write_frame(server.get(), "0\n"), -1);
  EXPECT_TRUE(log_.lines().back().starts_with("write error: "));
}

}  // namespace
}  // namespace vorn::daemon
