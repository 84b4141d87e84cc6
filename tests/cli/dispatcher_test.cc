#include "cli/dispatcher.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"
#include "settings/device_fixture.h"
#include "settings/property_table.h"

namespace vorn::cli {
namespace {

// The dispatcher over a temporary boot environment, as a fresh command runs it.
class Dispatch : public settings::test::DeviceFixture {
 protected:
  Dispatch() {
    core::hardware_tag_set("zt4100.1.0");
    EXPECT_EQ(settings::property_table_select(), 0);
    write_entries({"sys.eth.if=eth1"});
  }
  ~Dispatch() override {
    core::hardware_tag_clear();
    (void)settings::property_table_select();
    core::set_verbosity(core::VERBOSITY_NORMAL);
    core::set_reply_buffer({});
  }

  int run(std::vector<std::string> words, std::span<char> reply = {}) {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    core::set_verbosity(core::VERBOSITY_NORMAL);
    core::set_reply_buffer({});
    testing::internal::CaptureStdout();
    const int result = dispatch(static_cast<int>(words.size()), argv.data(), reply);
    out_ = testing::internal::GetCapturedStdout();
    return result;
  }

  std::string out_;
};

TEST_F(Dispatch, CommandWordsAndTheirArguments) {
  struct Case {
    std::vector<std::string> words;
    int result;
    std::string out;
  };
  const Case cases[] = {{{"vorn"}, DISPATCH_UNKNOWN, ""},
                        {{"vorn", "Help"}, DISPATCH_UNKNOWN, ""},
                        {{"vorn", ""}, DISPATCH_UNKNOWN, ""},
                        {{"vorn", "info"}, 0, ""},
                        {{"vorn", "info", "foo"}, 0, ""},
                        {{"vorn", "info", "hw_version"}, 0, "zt4100.1.0"},
                        {{"vorn", "list"}, 0, ""},
                        {{"vorn", "list", "bmaps"}, 0, ""},
                        {{"vorn", "infos", "version"}, DISPATCH_UNKNOWN, ""},
                        {{"vorn", "getprop", "sys.eth.if"}, 0, "eth1\n"},
                        {{"vorn", "getprop", "sys.nothing"}, 0, ""},
                        {{"vorn", "setprop"}, DISPATCH_UNKNOWN, ""},
                        {{"vorn", "setprop", "sys.mem.free", "5"}, -1, ""},
                        // The third word sets, a fourth is ignored; without one it deletes.
                        {{"vorn", "setprop", "sys.eth.ip.mode", "static", "ignored"}, 0, ""},
                        {{"vorn", "setprop", "sys.eth.if"}, 0, ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.words), c.result) << testing::PrintToString(c.words);
    EXPECT_EQ(out_, c.out) << testing::PrintToString(c.words);
  }
  EXPECT_EQ(stored_entries(), std::vector<std::string>{"sys.eth.ip.mode=static"});
}

// Listings print at normal verbosity (their rows are the property tests'); a get is quiet.
TEST_F(Dispatch, GetpropListingsAndQuietGets) {
  EXPECT_EQ(run({"vorn", "getprop"}), 0);
  EXPECT_EQ(core::verbosity(), core::VERBOSITY_NORMAL);
  EXPECT_EQ(run({"vorn", "getprop", "comment"}), 0);
  const std::string comments = out_;
  EXPECT_EQ(run({"vorn", "getprop", "comment", "extra"}), 0);
  EXPECT_EQ(out_, comments);
  EXPECT_EQ(run({"vorn", "getprop", "sys.eth.if"}), 0);
  EXPECT_EQ(core::verbosity(), core::VERBOSITY_QUIET);
}

// Through the daemon every command is quiet: result values only, which also go to the reply.
TEST_F(Dispatch, DaemonRunsAreQuietAndCollectResultsInTheReply) {
  struct Case {
    std::vector<std::string> words;
    std::string reply;
  };
  const Case cases[] = {{{"vorn", "info", "hw_version"}, "zt4100.1.0"},
                        {{"vorn", "getprop", "sys.eth.if"}, "eth1\n"},
                        {{"vorn", "getprop"}, ""},
                        {{"vorn", "upgrade.status"}, "off\n"},
                        {{"vorn", "help"}, ""}};
  for (const Case& c : cases) {
    std::array<char, core::REPLY_BUFFER_SIZE> reply{};
    EXPECT_EQ(run(c.words, reply), 0);
    EXPECT_STREQ(reply.data(), c.reply.c_str()) << testing::PrintToString(c.words);
    EXPECT_EQ(out_, c.reply) << testing::PrintToString(c.words);
  }
}

}  // namespace
}  // namespace vorn::cli
