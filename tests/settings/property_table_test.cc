#include "settings/property_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/property_command.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"
#include "device_fixture.h"
#include "fake_platform_calls.h"
#include "settings/boot_env.h"

namespace vorn::settings::test {
namespace {

using Entries = std::vector<std::string>;

constexpr const char MEMINFO[] =
    "MemTotal:        2048 kB\n"
    "MemFree:          512 kB\n"
    "Buffers:           16 kB\n"
    "Cached:           300 kB\n"
    "SwapCached:         7 kB\n";

class PropertyTest : public DeviceFixture {
 protected:
  PropertyTest()
      : meminfo_(platform::FixedPath::PROC_MEMINFO, dir_.write("meminfo", MEMINFO)),
        min_free_(platform::FixedPath::MIN_FREE_KBYTES, dir_.write("min_free_kbytes", "4096\n")),
        drop_(platform::FixedPath::DROP_CACHES, dir_.file("drop_caches")) {
    select("zt4100.1.0");
    core::set_verbosity(core::VERBOSITY_NORMAL);
    core::set_reply_buffer({});
  }
  ~PropertyTest() override {
    core::hardware_tag_clear();
    (void)property_table_select();
    core::set_verbosity(core::VERBOSITY_NORMAL);
    core::set_reply_buffer({});
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

  static size_t lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
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

TEST_F(PropertyTest, TableHasTwentyEightRowsInOrder) {
  const PropertyDesc* table = nullptr;
  ASSERT_EQ(property_count(&table), 28);
  ASSERT_NE(table, nullptr);
  EXPECT_STREQ(table[0].name, "sys.hw.version");
  EXPECT_STREQ(table[8].name, "sys.eth.ip.setup");
  EXPECT_STREQ(table[18].name, "sys.wlan.ip.setup");
  EXPECT_STREQ(table[25].name, "sys.mem.min_free");
  EXPECT_STREQ(table[27].name, "sys.debug.instant");
  EXPECT_EQ(table[28].name, nullptr);
  EXPECT_EQ(property_find("sys.eth.if"), &table[2]);
  EXPECT_EQ(property_find("sys.eth"), nullptr);
  EXPECT_EQ(property_find(""), nullptr);
  EXPECT_EQ(property_find(nullptr), nullptr);
}

TEST_F(PropertyTest, EveryRowsOperationsMatchItsAccess) {
  const PropertyDesc* table = nullptr;
  ASSERT_EQ(property_count(&table), 28);
  for (int i = 0; i < 28; ++i) {
    const PropertyDesc& row = table[i];
    EXPECT_TRUE(row.getter == nullptr || (row.access & PROP_READ) != 0) << row.name;
    EXPECT_TRUE(row.setter == nullptr || (row.access & PROP_WRITE) != 0) << row.name;
    EXPECT_EQ(row.action != nullptr, (row.access & PROP_ACTION) != 0) << row.name;
    EXPECT_NE(access_text(row.access), nullptr) << row.name;
  }
}

TEST_F(PropertyTest, AccessTexts) {
  EXPECT_STREQ(access_text(1), "r--");
  EXPECT_STREQ(access_text(2), "-w-");
  EXPECT_STREQ(access_text(3), "rw-");
  EXPECT_STREQ(access_text(4), "--x");
  EXPECT_STREQ(access_text(7), "rwx");
  EXPECT_EQ(access_text(0), nullptr);
  EXPECT_EQ(access_text(5), nullptr);
}

TEST_F(PropertyTest, ListingShowsEveryRowWithItsValue) {
  write_entries({"sys.eth.if=eth1"});
  int result = -7;
  const std::string out =
      captured([&] { result = cli::property_command(false, nullptr, nullptr, true); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out,
            " sys.hw.version       : zt4100.1.0\n"
            " sys.eth.addr         : \n"
            " sys.eth.if           : eth1\n"
            " sys.eth.ip.mode      : \n"
            " sys.eth.ip.addrs     : \n"
            " sys.eth.ip.gateway   : \n"
            " sys.eth.ip.dns1      : \n"
            " sys.eth.ip.dns2      : \n"
            " sys.eth.ip.setup     : \n"
            " sys.wlan.if          : \n"
            " sys.wlan.mode        : \n"
            " sys.wlan.ssid        : \n"
            " sys.wlan.secret      : \n"
            " sys.wlan.ip.mode     : \n"
            " sys.wlan.ip.addrs    : \n"
            " sys.wlan.ip.gateway  : \n"
            " sys.wlan.ip.dns1     : \n"
            " sys.wlan.ip.dns2     : \n"
            " sys.wlan.ip.setup    : \n"
            " sys.watchdog.enable  : \n"
            " sys.watchdog.timeout : \n"
            " sys.mem.free         : 512\n"
            " sys.mem.total        : 2048\n"
            " sys.mem.cached       : 300\n"
            " sys.mem.drop_caches  : \n"
            " sys.mem.min_free     : 4096\n"
            " sys.reboot           : \n"
            " sys.debug.instant    : \n");
  EXPECT_TRUE(calls_.log.empty()) << "listing ran a command";
}

TEST_F(PropertyTest, CommentListingShowsAccessAndDescription) {
  const std::string out =
      captured([] { (void)cli::property_command(false, "comment", nullptr, true); });
  EXPECT_EQ(lines(out), 28u);
  EXPECT_NE(out.find(" sys.mem.free         [r--] : dram free(KB)\n"), std::string::npos);
  EXPECT_NE(out.find(" sys.reboot           [--x] : reboot system\n"), std::string::npos);
  EXPECT_NE(out.find(" sys.eth.if           [rw-] : ethernet logical interface name\n"),
            std::string::npos);
  EXPECT_EQ(out.rfind(" sys.hw.version       [rw-] : hardware version info\n", 0), 0u);
  EXPECT_NE(out.find(" sys.debug.instant    [--x] : system debug instant(on/off),option: "
                     "act=[on|off]\n"),
            std::string::npos);
}

TEST_F(PropertyTest, ListingsPrintNothingWhenQuietOrWithoutTable) {
  write_entries({"sys.eth.if=eth1"});
  core::set_verbosity(core::VERBOSITY_QUIET);
  EXPECT_EQ(captured([] { (void)cli::property_command(false, nullptr, nullptr, true); }), "");
  EXPECT_EQ(captured([] { (void)cli::property_command(false, "comment", nullptr, true); }), "");
  core::set_verbosity(core::VERBOSITY_NORMAL);
  select("");
  EXPECT_EQ(captured([] { EXPECT_EQ(cli::property_command(false, nullptr, nullptr, true), 0); }),
            "");
}

TEST_F(PropertyTest, GetPrintsTheValueWithANewlineAndAppendsItToTheReply) {
  write_entries({"sys.eth.if=eth1"});
  std::array<char, core::REPLY_BUFFER_SIZE> reply{};
  core::set_reply_buffer(reply);
  core::set_verbosity(core::VERBOSITY_QUIET);
  EXPECT_EQ(
      captured([] { EXPECT_EQ(cli::property_command(false, "sys.eth.if", nullptr, false), 0); }),
      "eth1\n");
  EXPECT_STREQ(reply.data(), "eth1\n");
  EXPECT_EQ(
      captured([] { EXPECT_EQ(cli::property_command(false, "sys.nothing", nullptr, false), 0); }),
      "");
  EXPECT_STREQ(reply.data(), "eth1\n");
}

TEST_F(PropertyTest, HardwareVersionFallsBackToTheTag) {
  write_entries({});
  EXPECT_STREQ(property_get("sys.hw.version"), "zt4100.1.0");
  ASSERT_EQ(property_set("sys.hw.version", "zt4100.2.0"), 0);
  EXPECT_STREQ(property_get("sys.hw.version"), "zt4100.2.0");
}

TEST_F(PropertyTest, MacAddressChecksLengthAndFallsBackToTheBootLoaderValue) {
  write_entries({"ethaddr=00:11:22:33:44:55"});
  EXPECT_STREQ(property_get("sys.eth.addr"), "00:11:22:33:44:55");
  EXPECT_EQ(cli::property_command(true, "sys.eth.addr", "1E:ED:19:27:1A", false), -1);
  EXPECT_EQ(property_set("sys.eth.addr", ""), -1);
  EXPECT_EQ(cli::property_command(true, "sys.eth.addr", "1E:ED:19:27:1A:B4", false), 0);
  EXPECT_STREQ(property_get("sys.eth.addr"), "1E:ED:19:27:1A:B4");
  EXPECT_EQ(cli::property_command(true, "sys.eth.addr", nullptr, false), 0);
  EXPECT_STREQ(property_get("sys.eth.addr"), "00:11:22:33:44:55");
  EXPECT_EQ(stored_entries(), (Entries{"ethaddr=00:11:22:33:44:55"}));
}

TEST_F(PropertyTest, StoredRowsSetAndDelete) {
  write_entries({"sys.eth.if=eth1"});
  EXPECT_EQ(cli::property_command(true, "sys.eth.ip.mode", "static", false), 0);
  EXPECT_STREQ(property_get("sys.eth.ip.mode"), "static");
  EXPECT_EQ(cli::property_command(true, "sys.eth.if", nullptr, false), 0);
  EXPECT_EQ(property_get("sys.eth.if"), nullptr);
  EXPECT_EQ(stored_entries(), (Entries{"sys.eth.ip.mode=static"}));
}

TEST_F(PropertyTest, SetFailuresHaveTheirCodesAndTheCommandReducesThemToMinusOne) {
  write_entries({});
  EXPECT_EQ(property_set(nullptr, "1"), PROP_SET_INVALID_NAME);
  EXPECT_EQ(property_set("", "1"), PROP_SET_INVALID_NAME);
  EXPECT_EQ(property_set("sys.nothing", "1"), PROP_SET_NO_ROW);
  EXPECT_EQ(property_set("!sys.nothing", "1"), PROP_SET_NO_ROW);
  EXPECT_EQ(property_set("!", "1"), PROP_SET_NO_ROW);
  EXPECT_EQ(property_set("sys.mem.free", "5"), PROP_SET_NOT_WRITABLE);
  EXPECT_EQ(property_set("sys.reboot", nullptr), PROP_SET_NOT_WRITABLE);
  EXPECT_EQ(property_set("!sys.eth.if", nullptr), PROP_SET_NO_ACTION_FLAG);
  for (const char* name : {"sys.nothing", "sys.mem.free", "!sys.eth.if", ""}) {
    EXPECT_EQ(cli::property_command(true, name, "5", false), cli::PROP_COMMAND_FAILED) << name;
  }
  EXPECT_EQ(stored_entries(), Entries{});
  EXPECT_EQ(calls_.restarts, 0);
}

TEST_F(PropertyTest, UserPropertiesNeedNoTable) {
  write_entries({});
  select("unknown-board");
  EXPECT_EQ(cli::property_command(true, "@color", "red", false), 0);
  EXPECT_STREQ(property_get("@color"), "red");
  EXPECT_EQ(stored_entries(), (Entries{"@color=red"}));
  EXPECT_EQ(cli::property_command(true, "@color", nullptr, false), 0);
  EXPECT_EQ(property_get("@color"), nullptr);
  // Without a table, every table property fails.
  EXPECT_EQ(property_get("sys.eth.if"), nullptr);
  EXPECT_EQ(property_set("sys.eth.if", "eth0"), PROP_SET_NO_ROW);
  EXPECT_EQ(cli::property_command(true, "default", nullptr, false), -1);
  EXPECT_EQ(property_set_defaults(), -1);
}

TEST_F(PropertyTest, UserPropertyWithAnOverlongKeyIsRefused) {
  write_entries({});
  const std::string name = "@" + std::string(62, 'k');
  EXPECT_EQ(cli::property_command(true, name.c_str(), "v", false), -1);
  EXPECT_EQ(property_get(name.c_str()), nullptr);
  EXPECT_EQ(stored_entries(), Entries{});
}

TEST_F(PropertyTest, ActionQueryAnswersEmptyAndRunsNothing) {
  write_entries({});
  std::string out =
      captured([] { EXPECT_EQ(cli::property_command(false, "!sys.reboot", nullptr, false), 0); });
  EXPECT_EQ(out, "\n");
  EXPECT_STREQ(property_get("!sys.eth.ip.setup"), "");
  EXPECT_EQ(property_get("!sys.eth.if"), nullptr);
  EXPECT_EQ(property_get("!sys.nothing"), nullptr);
  EXPECT_EQ(calls_.restarts, 0);
  EXPECT_TRUE(calls_.log.empty());
}

TEST_F(PropertyTest, ActionRunGoesThroughTheSeam) {
  write_entries({});
  EXPECT_EQ(cli::property_command(true, "!sys.reboot", nullptr, false), 0);
  EXPECT_EQ(calls_.restarts, 1);
  EXPECT_EQ(cli::property_command(true, "!sys.mem.drop_caches", nullptr, false), 0);
  EXPECT_EQ(calls_.log.back(), "shell echo 1 > " + dir_.file("drop_caches"));
}

TEST_F(PropertyTest, DefaultsSetEveryRowAndPrintOneLineEach) {
  write_entries({"sys.eth.ip.addrs=10.0.0.2/24", "@keep=1", "sys.wlan.secret=wpa@x"});
  int result = -7;
  const std::string out =
      captured([&] { result = cli::property_command(true, "default", nullptr, false); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(lines(out), 28u);
  EXPECT_EQ(out.rfind(" sys.hw.version       [set] : zt4100.0.0\n"
                      " sys.eth.addr         [set] : 1E:ED:19:27:1A:B3\n"
                      " sys.eth.if           [set] : eth0\n"
                      " sys.eth.ip.mode      [set] : dhcp\n"
                      " sys.eth.ip.addrs     [del]\n",
                      0),
            0u);
  EXPECT_NE(out.find(" sys.mem.free         [del]\n"), std::string::npos);
  EXPECT_NE(out.find(" sys.watchdog.timeout [set] : 60\n"), std::string::npos);
  EXPECT_EQ(stored_entries(),
            (Entries{"@keep=1", "sys.hw.version=zt4100.0.0", "sys.eth.addr=1E:ED:19:27:1A:B3",
                     "sys.eth.if=eth0", "sys.eth.ip.mode=dhcp", "sys.wlan.if=wlan0",
                     "sys.wlan.mode=device", "sys.wlan.ssid=zt4100", "sys.wlan.ip.mode=dhcp",
                     "sys.watchdog.enable=0", "sys.watchdog.timeout=60"}));
  // No action ran and min_free was left alone.
  EXPECT_TRUE(calls_.log.empty());
  EXPECT_EQ(calls_.restarts, 0);
}

TEST_F(PropertyTest, DefaultsAreSilentWhenQuiet) {
  write_entries({});
  core::set_verbosity(core::VERBOSITY_QUIET);
  EXPECT_EQ(captured([] { EXPECT_EQ(property_set_defaults(), 0); }), "");
  EXPECT_STREQ(property_get("sys.eth.if"), "eth0");
}

// Bad CRC, no terminator, no room: the command fails, claims no store, leaves the device alone.
TEST_F(PropertyTest, DefaultsOnAnUnusableBlockFail) {
  std::vector<uint8_t> bad_crc = block_of({"sys.eth.if=eth1"});
  bad_crc[5] ^= 0xFF;
  for (const auto& b : {bad_crc, block_from_area(std::vector<uint8_t>(AREA_SIZE, 'a')),
                        block_of({"@fill=" + std::string(AREA_SIZE - 20, 'f')})}) {
    write_device(b);
    int result = 0;
    const std::string out =
        captured([&] { result = cli::property_command(true, "default", nullptr, false); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out.find("[set]"), std::string::npos) << out;
    EXPECT_NE(out.find(" sys.eth.if           [fail]\n"), std::string::npos) << out;
    EXPECT_EQ(block(), b);
  }
}

TEST_F(PropertyTest, InvalidBlockMakesStoredPropertiesFail) {
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
