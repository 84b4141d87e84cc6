#include "daemon/framing.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>

#include "daemon/daemon_commands.h"
#include "daemon/log_capture.h"
#include "daemon/socket_helpers.h"
#include "daemon/socket_server.h"
#include "platform/log.h"

namespace vorn::daemon {
namespace {

using test::frame;
using test::read_reply;
using test::send_all;

int answer_zero(int, char**, std::span<char>) { return 0; }

class Framing : public testing::Test {
 protected:
  Framing() { set_tool_runner(answer_zero); }
  ~Framing() override { set_tool_runner(nullptr); }
  test::LogCapture log_;
};

TEST_F(Framing, WriteToAGoneClientFailsWithoutSigpipe) {
  auto [client, server] = test::socket_pair();
  client.reset();
  EXPECT_EQ(write_frame(server.get(), "0\n"), -1);
  ASSERT_FALSE(log_.lines().empty());
  EXPECT_EQ(log_.lines().front().rfind("write error: ", 0), 0u);
}

// Runs the management loop on the daemon end and returns what the client gets for its bytes.
struct Served {
  std::optional<std::string> reply;
  bool closed_after = false;
};

Served serve_bytes(const std::string& bytes) {
  auto [client, server] = test::socket_pair();
  std::thread thread(management, std::move(server));
  Served out;
  EXPECT_TRUE(send_all(client.get(), bytes));
  ::shutdown(client.get(), SHUT_WR);
  out.reply = read_reply(client.get());
  if (out.reply) out.closed_after = !read_reply(client.get()).has_value();
  client.reset();
  thread.join();
  return out;
}

TEST_F(Framing, RequestOf1023BytesIsAccepted) {
  std::string body = "vorn info foo";
  body.resize(MAX_REQUEST_LENGTH, ' ');
  const Served served = serve_bytes(frame(body));
  ASSERT_TRUE(served.reply.has_value());
  EXPECT_EQ(*served.reply, "0\n");
  EXPECT_TRUE(served.closed_after);
}

TEST_F(Framing, LengthZeroClosesWithoutReply) {
  const Served served = serve_bytes(frame("", 0));
  EXPECT_FALSE(served.reply.has_value());
  EXPECT_TRUE(log_.has("invalid size 0\n", platform::LOG_PRIORITY_ERROR));
}

TEST_F(Framing, Length1024ClosesWithoutReply) {
  const Served served = serve_bytes(frame(std::string(1024, 'a')));
  EXPECT_FALSE(served.reply.has_value());
  EXPECT_TRUE(log_.has("invalid size 1024\n", platform::LOG_PRIORITY_ERROR));
}

TEST_F(Framing, ShortBodyClosesWithoutReply) {
  const Served served = serve_bytes(frame("vorn", 10));
  EXPECT_FALSE(served.reply.has_value());
  EXPECT_TRUE(log_.has("failed to read command\n", platform::LOG_PRIORITY_ERROR));
}

TEST_F(Framing, HalfALengthClosesWithoutReply) {
  const Served served = serve_bytes(std::string(1, '\x05'));
  EXPECT_FALSE(served.reply.has_value());
  EXPECT_TRUE(log_.has("failed to read size\n", platform::LOG_PRIORITY_ERROR));
}

}  // namespace
}  // namespace vorn::daemon
