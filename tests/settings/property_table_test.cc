#include "settings/property_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/property_command.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"
#include "device_fixture.h"
#include "fake_platform_calls.h"

namespace vorn::settings::test {
namespace {

using Entries = std::vector<std::string>;

// The rows in listing order: names, order and count are what users and scripts see.
const std::vector<std::string> NAMES = {
    "sys.hw.version",       "sys.eth.addr",       "sys.eth.if",        "sys.eth.ip.mode",
    "sys.eth.ip.addrs",     "sys.eth.ip.gateway", "sys.eth.ip.dns1",   "sys.eth.ip.dns2",
    "sys.eth.ip.setup",     "sys.wlan.if",        "sys.wlan.mode",     "sys.wlan.ssid",
    "sys.wlan.secret",      "sys.wlan.ip.mode",   "sys.wlan.ip.addrs", "sys.wlan.ip.gateway",
    "sys.wlan.ip.dns1",     "sys.wlan.ip.dns2",   "sys.wlan.ip.setup", "sys.watchdog.enable",
    "sys.watchdog.timeout", "sys.mem.free",       "sys.mem.total",     "sys.mem.cached",
    "sys.mem.drop_caches",  "sys.mem.min_free",   "sys.reboot",        "sys.debug.instant"};

class PropertyTest : public DeviceFixture {
 protected:
  PropertyTest()
      : meminfo_(platform::FixedPath::PROC_MEMINFO,
                 dir_.write("meminfo", "MemTotal: 2048 kB\nMemFree: 512 kB\nCached: 300 kB\n")),
        min_free_(platform::FixedPath::MIN_FREE_KBYTES, dir_.write("min_free_kbytes", "4096\n")),
        drop_(platform::FixedPath::DROP_CACHES, dir_.file("drop_caches")) {
    select("zt4100.1.0");
    core::set_verbosity(core::VERBOSITY_NORMAL);
  }
  ~PropertyTest() override {
    core::hardware_tag_clear();
    (void)property_table_select();
    core::set_verbosity(core::VERBOSITY_NORMAL);
  }

  static int select(const char* tag) {
    core::hardware_tag_set(tag);
    return property_table_select();
  }

  static std::string captured(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
  }

  vorn::test::ScopedPathOverride meminfo_;
  vorn::test::ScopedPathOverride min_free_;
  vorn::test::ScopedPathOverride drop_;
  FakePlatformCalls calls_;
};

TEST_F(PropertyTest, ModelSelectionByTagPrefix) {
  for (const char* tag : {"zt4100", "zt4100.0.0", "zt4100x", "q5.1", "q5"}) {
    EXPECT_EQ(select(tag), 0) << tag;
    EXPECT_EQ(property_count(nullptr), 28) << tag;
  }
  for (const char* tag : {"", "zt410", "ZT4100", "q", "x-zt4100"}) {
    EXPECT_EQ(select(tag), -1) << tag;
    EXPECT_EQ(property_count(nullptr), -1) << tag;
  }
}

// The compiler cannot check this one (function addresses are no constant expressions).
TEST_F(PropertyTest, EveryRowsOperationsMatchItsAccess) {
  const PropertyDesc* table = nullptr;
  ASSERT_EQ(property_count(&table), 28);
  for (int i = 0; i < 28; ++i) {
    const PropertyDesc& row = table[i];
    EXPECT_TRUE(row.getter == nullptr || (row.access & PROP_READ) != 0) << row.name;
    EXPECT_TRUE(row.setter == nullptr || (row.access & PROP_WRITE) != 0) << row.name;
    EXPECT_EQ(row.action != nullptr, (row.access & PROP_ACTION) != 0) << row.name;
  }
}

TEST_F(PropertyTest, ListingsShowEveryRowAndRunNothing) {
  write_entries({"sys.eth.if=eth1"});
  const std::map<std::string, std::string> values = {
      {"sys.hw.version", "zt4100.1.0"}, {"sys.eth.if", "eth1"},    {"sys.mem.free", "512"},
      {"sys.mem.total", "2048"},        {"sys.mem.cached", "300"}, {"sys.mem.min_free", "4096"}};
  std::string expected;
  for (const std::string& name : NAMES) {
    const auto it = values.find(name);
    expected += " " + name + std::string(20 - name.size(), ' ') + " : " +
                (it == values.end() ? "" : it->second) + "\n";
  }
  EXPECT_EQ(captured([] { EXPECT_EQ(cli::property_command(false, nullptr, nullptr, true), 0); }),
            expected);

  const std::string comments =
      captured([] { EXPECT_EQ(cli::property_command(false, "comment", nullptr, true), 0); });
  EXPECT_EQ(std::count(comments.begin(), comments.end(), '\n'), 28);
  for (const char* line : {" sys.hw.version       [rw-] : hardware version info\n",
                           " sys.mem.free         [r--] : dram free(KB)\n",
                           " sys.reboot           [--x] : reboot system\n",
                           " sys.debug.instant    [--x] : system debug instant(on/off),option: "
                           "act=[on|off]\n"}) {
    EXPECT_NE(comments.find(line), std::string::npos) << line;
  }
  EXPECT_TRUE(calls_.log.empty()) << "a listing ran a command";

  core::set_verbosity(core::VERBOSITY_QUIET);
  EXPECT_EQ(captured([] { (void)cli::property_command(false, nullptr, nullptr, true); }), "");
  EXPECT_EQ(captured([] { (void)cli::property_command(false, "comment", nullptr, true); }), "");
  core::set_verbosity(core::VERBOSITY_NORMAL);
  select("");
  EXPECT_EQ(captured([] { EXPECT_EQ(cli::property_command(false, nullptr, nullptr, true), 0); }),
            "");
}

TEST_F(PropertyTest, HardwareVersionAndMacAddressFallBackToBootValues) {
  write_entries({"ethaddr=00:11:22:33:44:55"});
  EXPECT_STREQ(property_get("sys.hw.version"), "zt4100.1.0");
  ASSERT_EQ(property_set("sys.hw.version", "zt4100.2.0"), 0);
  EXPECT_STREQ(property_get("sys.hw.version"), "zt4100.2.0");
  ASSERT_EQ(property_set("sys.hw.version", nullptr), 0);

  EXPECT_STREQ(property_get("sys.eth.addr"), "00:11:22:33:44:55");
  EXPECT_EQ(cli::property_command(true, "sys.eth.addr", "1E:ED:19:27:1A", false), -1);
  EXPECT_EQ(property_set("sys.eth.addr", ""), -1);
  EXPECT_EQ(cli::property_command(true, "sys.eth.addr", "1E:ED:19:27:1A:B4", false), 0);
  EXPECT_STREQ(property_get("sys.eth.addr"), "1E:ED:19:27:1A:B4");
  EXPECT_EQ(cli::property_command(true, "sys.eth.addr", nullptr, false), 0);
  EXPECT_STREQ(property_get("sys.eth.addr"), "00:11:22:33:44:55");
  EXPECT_EQ(stored_entries(), (Entries{"ethaddr=00:11:22:33:44:55"}));
}

TEST_F(PropertyTest, SetFailuresHaveTheirCodesAndTheCommandMakesThemMinusOne) {
  write_entries({});
  const struct {
    const char* name;
    const char* value;
    int code;
  } cases[] = {{nullptr, "1", PROP_SET_INVALID_NAME},
               {"", "1", PROP_SET_INVALID_NAME},
               {"sys.nothing", "1", PROP_SET_NO_ROW},
               {"!sys.nothing", "1", PROP_SET_NO_ROW},
               {"!", "1", PROP_SET_NO_ROW},
               {"sys.mem.free", "5", PROP_SET_NOT_WRITABLE},
               {"sys.reboot", nullptr, PROP_SET_NOT_WRITABLE},
               {"!sys.eth.if", nullptr, PROP_SET_NO_ACTION_FLAG}};
  for (const auto& c : cases) {
    EXPECT_EQ(property_set(c.name, c.value), c.code) << (c.name ? c.name : "null");
    EXPECT_EQ(cli::property_command(true, c.name, c.value, false), cli::PROP_COMMAND_FAILED);
  }
  const std::string overlong_user = "@" + std::string(62, 'k');
  EXPECT_EQ(cli::property_command(true, overlong_user.c_str(), "v", false),
            cli::PROP_COMMAND_FAILED);
  EXPECT_EQ(stored_entries(), Entries{});
  EXPECT_TRUE(calls_.log.empty());
}

TEST_F(PropertyTest, UserPropertiesNeedNoTable) {
  write_entries({});
  select("unknown-board");
  EXPECT_EQ(cli::property_command(true, "@color", "red", false), 0);
  EXPECT_STREQ(property_get("@color"), "red");
  EXPECT_EQ(stored_entries(), (Entries{"@color=red"}));
  EXPECT_EQ(cli::property_command(true, "@color", nullptr, false), 0);
  EXPECT_EQ(property_get("@color"), nullptr);
  // Without a table every table property fails.
  EXPECT_EQ(property_get("sys.eth.if"), nullptr);
  EXPECT_EQ(property_set("sys.eth.if", "eth0"), PROP_SET_NO_ROW);
  EXPECT_EQ(cli::property_command(true, "default", nullptr, false), -1);
}

TEST_F(PropertyTest, ActionsAreQueriedWithoutRunningAndRunThroughTheSeam) {
  write_entries({});
  EXPECT_EQ(
      captured([] { EXPECT_EQ(cli::property_command(false, "!sys.reboot", nullptr, false), 0); }),
      "\n");
  EXPECT_STREQ(property_get("!sys.eth.ip.setup"), "");
  EXPECT_EQ(property_get("!sys.eth.if"), nullptr);
  EXPECT_EQ(property_get("!sys.nothing"), nullptr);
  EXPECT_TRUE(calls_.log.empty());
  EXPECT_EQ(cli::property_command(true, "!sys.reboot", nullptr, false), 0);
  EXPECT_EQ(calls_.log, Entries{"restart"});
}

TEST_F(PropertyTest, DefaultsSetEveryRowAndPrintOneLineEach) {
  write_entries({"sys.eth.ip.addrs=10.0.0.2/24", "@keep=1", "sys.wlan.secret=wpa@x"});
  const std::map<std::string, std::string> defaults = {
      {"sys.hw.version", "zt4100.0.0"}, {"sys.eth.addr", "1E:ED:19:27:1A:B3"},
      {"sys.eth.if", "eth0"},           {"sys.eth.ip.mode", "dhcp"},
      {"sys.wlan.if", "wlan0"},         {"sys.wlan.mode", "device"},
      {"sys.wlan.ssid", "zt4100"},      {"sys.wlan.ip.mode", "dhcp"},
      {"sys.watchdog.enable", "0"},     {"sys.watchdog.timeout", "60"}};
  std::string expected;
  Entries stored = {"@keep=1"};
  for (const std::string& name : NAMES) {
    const auto it = defaults.find(name);
    expected += " " + name + std::string(20 - name.size(), ' ') +
                (it == defaults.end() ? " [del]\n" : " [set] : " + it->second + "\n");
    if (it != defaults.end()) stored.push_back(name + "=" + it->second);
  }
  EXPECT_EQ(captured([] { EXPECT_EQ(cli::property_command(true, "default", nullptr, false), 0); }),
            expected);
  EXPECT_EQ(stored_entries(), stored);
  EXPECT_TRUE(calls_.log.empty()) << "an action ran, or min_free was written";

  write_entries({});
  core::set_verbosity(core::VERBOSITY_QUIET);
  EXPECT_EQ(captured([] { EXPECT_EQ(property_set_defaults(), 0); }), "");
  EXPECT_STREQ(property_get("sys.eth.if"), "eth0");
}

TEST_F(PropertyTest, InvalidBlockMakesOnlyStoredPropertiesFail) {
  std::vector<uint8_t> b = block_of({"sys.eth.if=eth1"});
  b[5] ^= 0xFF;
  write_device(b);
  EXPECT_EQ(property_get("sys.eth.if"), nullptr);
  EXPECT_EQ(cli::property_command(true, "sys.eth.if", "eth2", false), -1);
  EXPECT_STREQ(property_get("sys.hw.version"), "zt4100.1.0");
  EXPECT_STREQ(property_get("sys.mem.total"), "2048");
}

}  // namespace
}  // namespace vorn::settings::test
