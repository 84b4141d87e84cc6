#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "cli/dispatch_words.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"
#include "settings/device_fixture.h"
#include "settings/property_table.h"

namespace vorn::cli {
namespace {

using settings::test::DeviceFixture;

class PropertyCommandsTest : public DeviceFixture {
 protected:
  PropertyCommandsTest() {
    core::hardware_tag_set("zt4100.0.0");
    EXPECT_EQ(settings::property_table_select(), 0);
  }
  ~PropertyCommandsTest() override {
    core::hardware_tag_clear();
    (void)settings::property_table_select();
    core::set_verbosity(core::VERBOSITY_NORMAL);
    core::set_reply_buffer({});
  }

  int run(std::vector<std::string> words, std::span<char> reply = {}) {
    testing::internal::CaptureStdout();
    const int result = test::dispatch_words(std::move(words), reply);
    out_ = testing::internal::GetCapturedStdout();
    return result;
  }

  static size_t lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  std::string out_;
};

TEST_F(PropertyCommandsTest, GetpropAloneListsValues) {
  write_entries({"sys.eth.if=eth1"});
  EXPECT_EQ(run({"vorn", "getprop"}), 0);
  EXPECT_EQ(lines(out_), 28u);
  EXPECT_NE(out_.find(" sys.eth.if           : eth1\n"), std::string::npos);
  EXPECT_EQ(core::verbosity(), core::VERBOSITY_NORMAL);
}

TEST_F(PropertyCommandsTest, GetpropCommentListsDescriptionsAlsoWithExtraWords) {
  EXPECT_EQ(run({"vorn", "getprop", "comment"}), 0);
  EXPECT_EQ(lines(out_), 28u);
  EXPECT_NE(out_.find(" sys.reboot           [--x] : reboot system\n"), std::string::npos);
  const std::string first = out_;
  EXPECT_EQ(run({"vorn", "getprop", "comment", "extra"}), 0);
  EXPECT_EQ(out_, first);
}

TEST_F(PropertyCommandsTest, GetpropNameIsAQuietGet) {
  write_entries({"sys.eth.if=eth1"});
  EXPECT_EQ(run({"vorn", "getprop", "sys.eth.if"}), 0);
  EXPECT_EQ(out_, "eth1\n");
  EXPECT_EQ(core::verbosity(), core::VERBOSITY_QUIET);
  EXPECT_EQ(run({"vorn", "getprop", "sys.nothing"}), 0);
  EXPECT_EQ(out_, "");
}

TEST_F(PropertyCommandsTest, DaemonRepliesCarryTheValueAndListingsStaySilent) {
  write_entries({"sys.eth.if=eth1"});
  std::array<char, core::REPLY_BUFFER_SIZE> reply{};
  EXPECT_EQ(run({"vorn", "getprop", "sys.eth.if"}, reply), 0);
  EXPECT_STREQ(reply.data(), "eth1\n");
  reply.fill('\0');
  EXPECT_EQ(run({"vorn", "getprop"}, reply), 0);
  EXPECT_EQ(out_, "");
  EXPECT_STREQ(reply.data(), "");
}

TEST_F(PropertyCommandsTest, SetpropArgumentRules) {
  write_entries({"sys.eth.if=eth1"});
  EXPECT_EQ(run({"vorn", "setprop"}), DISPATCH_UNKNOWN);
  EXPECT_EQ(run({"vorn", "setprop", "sys.eth.ip.mode", "static", "ignored"}), 0);
  EXPECT_STREQ(settings::property_get("sys.eth.ip.mode"), "static");
  EXPECT_EQ(run({"vorn", "setprop", "sys.eth.if"}), 0);
  EXPECT_EQ(settings::property_get("sys.eth.if"), nullptr);
  EXPECT_EQ(run({"vorn", "setprop", "sys.mem.free", "5"}), -1);
  EXPECT_EQ(run({"vorn", "setprop", "sys.nothing", "1"}), -1);
  EXPECT_EQ(run({"vorn", "setprop", "!sys.eth.if"}), -1);
  EXPECT_EQ(run({"vorn", "setprop", "sys.mem.min_free", "1;reboot"}), -1);
  EXPECT_EQ(stored_entries(), (std::vector<std::string>{"sys.eth.ip.mode=static"}));
}

TEST_F(PropertyCommandsTest, SetpropDefaultPrintsOneLinePerRow) {
  write_entries({});
  EXPECT_EQ(run({"vorn", "setprop", "default"}), 0);
  EXPECT_EQ(lines(out_), 28u);
  EXPECT_STREQ(settings::property_get("sys.watchdog.timeout"), "60");
}

}  // namespace
}  // namespace vorn::cli
