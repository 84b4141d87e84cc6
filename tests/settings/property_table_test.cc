// The property table, its getters, setters and actions, and the getprop/setprop back end.

#include "settings/property_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/property_command.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "device_fixture.h"
#include "fake_platform_calls.h"
#include "settings/system_actions.h"

namespace vorn::settings::test {
namespace {

using testing::HasSubstr;
using testing::Not;

using Log = std::vector<std::string>;

// The rows in listing order: names, order and count are what users and scripts see.
const std::vector<std::string> NAMES = {
    "sys.hw.version",      "sys.eth.addr",         "sys.eth.if",
    "sys.eth.ip.mode",     "sys.eth.ip.addrs",     "sys.eth.ip.gateway",
    "sys.eth.ip.dns1",     "sys.eth.ip.dns2",      "sys.eth.ip.setup",
    "sys.wlan.if",         "sys.wlan.mode",        "sys.wlan.ssid",
    "sys.wlan.secret",     "sys.wlan.ip.mode",     "sys.wlan.ip.addrs",
    "sys.wlan.ip.gateway", "sys.wlan.ip.dns1",     "sys.wlan.ip.dns2",
    "sys.wlan.ip.setup",   "sys.watchdog.enable",  "sys.watchdog.timeout",
    "sys.mem.free",        "sys.mem.total",        "sys.mem.cached",
    "sys.mem.drop_caches", "sys.mem.min_free",     "sys.reboot",
    "sys.debug.instant",   "sys.trial.autocommit", "sys.update.stall_seconds",
    "sys.update.retries"};

// The listing of every row, " name : value", or for the defaults " name [set] : value" and
// " name [del]".
std::string listing(const std::map<std::string, std::string>& values, bool defaults) {
  std::string out;
  for (const std::string& name : NAMES) {
    const auto it = values.find(name);
    out += " " + name + std::string(20 - std::min<size_t>(name.size(), 20), ' ');
    if (it == values.end()) {
      out += defaults ? " [del]\n" : " : \n";
    } else {
      out += (defaults ? " [set] : " : " : ") + it->second + "\n";
    }
  }
  return out;
}

std::string captured(const std::function<void()>& run) {
  testing::internal::CaptureStdout();
  run();
  return testing::internal::GetCapturedStdout();
}

class PropertyTest : public DeviceFixture {
 protected:
  PropertyTest() {
    meminfo("MemTotal: 2048 kB\nSwapCached: 7 kB\nMemFree: 512 kB\nCached: 300 kB\n");
    dir_.write("min_free_kbytes", "4096\n");
    select("zt4100.1.0");
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
  void meminfo(const std::string& text) { dir_.write("meminfo", text); }
  static int command(const char* name, const char* value) {
    return cli::property_command(true, name, value, false);
  }

  vorn::test::ScopedPathOverride meminfo_{platform::FixedPath::PROC_MEMINFO, dir_.file("meminfo")};
  vorn::test::ScopedPathOverride min_free_{platform::FixedPath::MIN_FREE_KBYTES,
                                           dir_.file("min_free_kbytes")};
  vorn::test::ScopedPathOverride drop_{platform::FixedPath::DROP_CACHES, dir_.file("drop_caches")};
  FakePlatformCalls calls_;
};

TEST_F(PropertyTest, ModelSelectionByTagPrefixAndRowsThatMatchTheirAccess) {
  for (const char* tag : {"zt4100", "zt4100x", "q5.1", "q5", "", "zt410", "ZT4100", "x-zt4100"}) {
    const bool known = std::string(tag).starts_with("zt4100") || std::string(tag).starts_with("q5");
    EXPECT_EQ(select(tag), known ? 0 : -1) << tag;
    EXPECT_EQ(property_count(nullptr), known ? static_cast<int>(NAMES.size()) : -1) << tag;
  }
  select("zt4100.1.0");
  // The compiler cannot check this one (function addresses are no constant expressions).
  const PropertyDesc* table = nullptr;
  ASSERT_EQ(property_count(&table), static_cast<int>(NAMES.size()));
  EXPECT_EQ(std::string(access_text(2)) + access_text(7), "-w-rwx");  // no row has these
  EXPECT_EQ(access_text(5), nullptr);
  for (const PropertyDesc* row = table; row != table + NAMES.size(); ++row) {
    EXPECT_TRUE(row->getter == nullptr || (row->access & PROP_READ) != 0) << row->name;
    EXPECT_TRUE(row->setter == nullptr || (row->access & PROP_WRITE) != 0) << row->name;
    EXPECT_EQ(row->action != nullptr, (row->access & PROP_ACTION) != 0) << row->name;
  }
}

TEST_F(PropertyTest, ListingsShowEveryRowAndRunNothing) {
  write_entries({"sys.eth.if=eth1"});
  EXPECT_EQ(captured([] { EXPECT_EQ(cli::property_command(false, nullptr, nullptr, true), 0); }),
            listing({{"sys.hw.version", "zt4100.1.0"},
                     {"sys.eth.if", "eth1"},
                     {"sys.mem.free", "512"},
                     {"sys.mem.total", "2048"},
                     {"sys.mem.cached", "300"},
                     {"sys.mem.min_free", "4096"}},
                    false));
  const std::string comments =
      captured([] { EXPECT_EQ(cli::property_command(false, "comment", nullptr, true), 0); });
  EXPECT_EQ(std::count(comments.begin(), comments.end(), '\n'), std::ssize(NAMES));
  for (const char* line : {" sys.hw.version       [rw-] : hardware version info\n",
                           " sys.mem.free         [r--] : dram free(KB)\n",
                           " sys.debug.instant    [--x] : system debug instant(on/off),option: "
                           "act=[on|off]\n"}) {
    EXPECT_THAT(comments, HasSubstr(line));
  }
  EXPECT_TRUE(calls_.log.empty()) << "a listing ran a command";
  core::set_verbosity(core::VERBOSITY_QUIET);
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
  EXPECT_EQ(command("sys.eth.addr", "1E:ED:19:27:1A"), -1);
  EXPECT_EQ(property_set("sys.eth.addr", ""), -1);
  EXPECT_EQ(command("sys.eth.addr", "1E:ED:19:27:1A:B4"), 0);
  EXPECT_STREQ(property_get("sys.eth.addr"), "1E:ED:19:27:1A:B4");
  EXPECT_EQ(command("sys.eth.addr", nullptr), 0);
  EXPECT_EQ(stored_entries(), Log{"ethaddr=00:11:22:33:44:55"});
}

TEST_F(PropertyTest, FailuresHaveTheirCodesAndTheCommandMakesThemMinusOne) {
  write_entries({});
  const std::string overlong_user = "@" + std::string(62, 'k');
  const struct {
    const char* name;
    const char* value;
    int code;
  } cases[] = {{nullptr, "1", PROP_SET_INVALID_NAME},
               {"", "1", PROP_SET_INVALID_NAME},
               {"sys.nothing", "1", PROP_SET_NO_ROW},
               {"!sys.nothing", "1", PROP_SET_NO_ROW},
               {"sys.mem.free", "5", PROP_SET_NOT_WRITABLE},
               {"sys.reboot", nullptr, PROP_SET_NOT_WRITABLE},
               {"!sys.eth.if", nullptr, PROP_SET_NO_ACTION_FLAG},
               {overlong_user.c_str(), "v", -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(property_set(c.name, c.value), c.code) << (c.name ? c.name : "null");
    EXPECT_EQ(command(c.name, c.value), cli::PROP_COMMAND_FAILED);
  }
  // Without a table only user properties are left.
  select("unknown-board");
  EXPECT_EQ(command("@color", "red"), 0);
  EXPECT_STREQ(property_get("@color"), "red");
  EXPECT_EQ(property_get("sys.eth.if"), nullptr);
  EXPECT_EQ(property_set("sys.eth.if", "eth0"), PROP_SET_NO_ROW);
  EXPECT_EQ(command("default", nullptr), -1);
  EXPECT_EQ(stored_entries(), Log{"@color=red"});
  EXPECT_TRUE(calls_.log.empty());
}

TEST_F(PropertyTest, DefaultsSetEveryRowAndPrintOneLineEach) {
  write_entries({"sys.eth.ip.addrs=10.0.0.2/24", "@keep=1", "sys.wlan.secret=wpa@x"});
  const std::map<std::string, std::string> defaults = {{"sys.hw.version", "zt4100.0.0"},
                                                       {"sys.eth.addr", "1E:ED:19:27:1A:B3"},
                                                       {"sys.eth.if", "eth0"},
                                                       {"sys.eth.ip.mode", "dhcp"},
                                                       {"sys.wlan.if", "wlan0"},
                                                       {"sys.wlan.mode", "device"},
                                                       {"sys.wlan.ssid", "zt4100"},
                                                       {"sys.wlan.ip.mode", "dhcp"},
                                                       {"sys.watchdog.enable", "0"},
                                                       {"sys.watchdog.timeout", "60"},
                                                       {"sys.update.stall_seconds", "30"},
                                                       {"sys.update.retries", "5"}};
  EXPECT_EQ(captured([] { EXPECT_EQ(command("default", nullptr), 0); }), listing(defaults, true));
  Log stored = {"@keep=1"};
  for (const std::string& name : NAMES) {
    if (defaults.contains(name)) stored.push_back(name + "=" + defaults.at(name));
  }
  EXPECT_EQ(stored_entries(), stored);
  EXPECT_TRUE(calls_.log.empty()) << "an action ran, or min_free was written";
  core::set_verbosity(core::VERBOSITY_QUIET);
  EXPECT_EQ(captured([] { EXPECT_EQ(property_set_defaults(), 0); }), "");
}

// Bad CRC, no terminator, no room: defaults and stored properties fail, claim no store and leave
// the device alone; values that are not stored still read.
TEST_F(PropertyTest, UnusableBlockFailsOnlyStoredProperties) {
  std::vector<uint8_t> bad_crc = block_of({"sys.eth.if=eth1"});
  bad_crc[5] ^= 0xFF;
  for (const auto& b : {bad_crc, block_from_area(std::vector<uint8_t>(AREA_SIZE, 'a')),
                        block_of({std::string("@fill=").append(AREA_SIZE - 20, 'f')})}) {
    write_device(b);
    const std::vector<uint8_t> before = device();
    int result = 0;
    const std::string out = captured([&] { result = command("default", nullptr); });
    EXPECT_EQ(result, -1);
    EXPECT_THAT(out, Not(HasSubstr("[set]")));
    EXPECT_THAT(out, HasSubstr(" sys.eth.if           [fail]\n"));
    EXPECT_EQ(property_get("sys.eth.if"), nullptr);
    EXPECT_EQ(command("sys.eth.if", "eth2"), -1);
    EXPECT_STREQ(property_get("sys.hw.version"), "zt4100.1.0") << "not a stored value";
    EXPECT_EQ(device(), before);
  }
}

TEST_F(PropertyTest, MemoryFiguresComeFromTheLineStartingWithTheKey) {
  meminfo("MemTotal: 2048 kB\nSwapCached: 7 kB\nOdd: lots\nHuge: 99999999999999 kB\n");
  for (const char* key :
       {"Cached:", "Odd:", "Huge:", "Active:", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(meminfo_value(key), -1) << (key ? key : "null");
  }
  EXPECT_EQ(meminfo_value("MemTotal:"), 2048);
  EXPECT_EQ(property_get("sys.mem.cached"), nullptr) << "SwapCached is not Cached";
  ::unlink(dir_.file("meminfo").c_str());
  EXPECT_EQ(property_get("sys.mem.total"), nullptr);
  for (const auto get : {mem_total, mem_free, mem_cached, min_free_get}) {
    EXPECT_EQ(get(nullptr), nullptr);
  }
  EXPECT_EQ(min_free_set("", "1"), -1);
}

TEST_F(PropertyTest, MinFreeReadsTheSettingAndWritesOnlyDigits) {
  EXPECT_STREQ(property_get("sys.mem.min_free"), "4096");
  dir_.write("min_free_kbytes", "");
  EXPECT_EQ(property_get("sys.mem.min_free"), nullptr);
  ::unlink(dir_.file("min_free_kbytes").c_str());
  EXPECT_EQ(property_get("sys.mem.min_free"), nullptr);
  // The value becomes part of a command the shell runs as root.
  const std::string longest(MIN_FREE_DIGITS_MAX, '9');
  const std::string too_long(MIN_FREE_DIGITS_MAX + 1, '1');
  for (const char* value : {"1;reboot", "$(reboot)", "-5", " 5", "0x10", too_long.c_str()}) {
    EXPECT_EQ(property_set("sys.mem.min_free", value), -1) << value;
  }
  EXPECT_EQ(property_set("sys.mem.min_free", nullptr), 0);
  EXPECT_EQ(property_set("sys.mem.min_free", ""), 0);
  EXPECT_TRUE(calls_.log.empty());
  EXPECT_EQ(property_set("sys.mem.min_free", "8192"), 0);
  EXPECT_EQ(property_set("sys.mem.min_free", longest.c_str()), 0);
  const std::string target = " > " + dir_.file("min_free_kbytes");
  EXPECT_EQ(calls_.log, (Log{"shell echo 8192" + target, "shell echo " + longest + target}));
}

// A query ("!" get) answers an empty text and runs nothing; a run ("!" set) acts.
TEST_F(PropertyTest, ActionsRunOnlyWhenRun) {
  write_entries({});
  const Log adb_on = {"shell setprop service.adb.tcp.port 5555", "shell stop adbd",
                      "shell start adbd"};
  const struct {
    const char* name;
    const char* option;
    Log log;
  } cases[] = {{"!sys.mem.drop_caches", nullptr, {"shell echo 1 > " + dir_.file("drop_caches")}},
               {"!sys.reboot", nullptr, {"restart"}},
               {"!sys.debug.instant", "act=on", adb_on},
               {"!sys.debug.instant", "act=onward", adb_on},
               {"!sys.debug.instant",
                "act=off",
                {"shell setprop service.adb.tcp.port -1", "shell stop adbd", "shell start adbd"}},
               {"!sys.debug.instant", nullptr, {}},
               {"!sys.debug.instant", "ACT=on", {}}};
  for (const auto& c : cases) {
    EXPECT_EQ(
        captured([&] { EXPECT_EQ(cli::property_command(false, c.name, c.option, false), 0); }),
        "\n");
    EXPECT_TRUE(calls_.log.empty()) << c.name;
    EXPECT_EQ(command(c.name, c.option), 0);
    EXPECT_EQ(calls_.log, c.log) << c.name << " " << (c.option ? c.option : "null");
    calls_.log.clear();
  }
  for (const auto action : {drop_caches, reboot_system, debug_instant}) {
    EXPECT_EQ(action(7, "x", {}), ACTION_BAD_MODE);
    EXPECT_EQ(action(ACTION_RUN, nullptr, {}), -1);
  }
  EXPECT_EQ(property_get("!sys.eth.if"), nullptr);
  EXPECT_TRUE(calls_.log.empty());
}

}  // namespace
}  // namespace vorn::settings::test
