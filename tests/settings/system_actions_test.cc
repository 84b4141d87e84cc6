#include "settings/system_actions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform_calls.h"
#include "support/path_override.h"
#include "support/temp_dir.h"

namespace vorn::settings::test {
namespace {

using Log = std::vector<std::string>;
using platform::FixedPath;

class SystemActionsTest : public ::testing::Test {
 protected:
  void meminfo(const std::string& text) { dir_.write("meminfo", text); }
  void min_free(const std::string& text) { dir_.write("min_free_kbytes", text); }
  std::string min_free_path() const { return dir_.file("min_free_kbytes"); }

  vorn::test::TempDir dir_;
  vorn::test::ScopedPathOverride meminfo_{FixedPath::PROC_MEMINFO, dir_.file("meminfo")};
  vorn::test::ScopedPathOverride min_free_{FixedPath::MIN_FREE_KBYTES, min_free_path()};
  vorn::test::ScopedPathOverride drop_{FixedPath::DROP_CACHES, dir_.file("drop_caches")};
  FakePlatformCalls calls_;
};

TEST_F(SystemActionsTest, MeminfoReadsTheFigureOfTheLineStartingWithTheKey) {
  meminfo("MemTotal:        2048 kB\nMemFree:   12 kB\nSwapCached:   7 kB\nCached:  300 kB\n");
  EXPECT_EQ(meminfo_value("MemTotal:"), 2048);
  EXPECT_EQ(meminfo_value("MemFree:"), 12);
  EXPECT_EQ(meminfo_value("Cached:"), 300);
  EXPECT_EQ(meminfo_value("Active:"), -1);
  EXPECT_EQ(meminfo_value(nullptr), -1);
  EXPECT_STREQ(mem_total("sys.mem.total"), "2048");
  EXPECT_STREQ(mem_free("sys.mem.free"), "12");
  EXPECT_STREQ(mem_cached("sys.mem.cached"), "300");
}

TEST_F(SystemActionsTest, SwapCachedIsNotCached) {
  meminfo("MemTotal: 2048 kB\nSwapCached:   7 kB\n");
  EXPECT_EQ(meminfo_value("Cached:"), -1);
  EXPECT_EQ(mem_cached("sys.mem.cached"), nullptr);
}

TEST_F(SystemActionsTest, MeminfoWithoutNumberOrFileFails) {
  meminfo("MemTotal: lots\nMemFree: 99999999999999 kB\n");
  EXPECT_EQ(meminfo_value("MemTotal:"), -1);
  EXPECT_EQ(meminfo_value("MemFree:"), -1);
  ::unlink(dir_.file("meminfo").c_str());
  EXPECT_EQ(meminfo_value("MemTotal:"), -1);
  EXPECT_EQ(mem_total("sys.mem.total"), nullptr);
}

TEST_F(SystemActionsTest, GettersNeedAName) {
  meminfo("MemTotal: 1 kB\nMemFree: 1 kB\nCached: 1 kB\n");
  min_free("1\n");
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(mem_total(name), nullptr);
    EXPECT_EQ(mem_free(name), nullptr);
    EXPECT_EQ(mem_cached(name), nullptr);
    EXPECT_EQ(min_free_get(name), nullptr);
    EXPECT_EQ(min_free_set(name, "1"), -1);
  }
}

TEST_F(SystemActionsTest, MinFreeReadsBackWithoutTheLineEnd) {
  min_free("4096\n");
  EXPECT_STREQ(min_free_get("sys.mem.min_free"), "4096");
  min_free("");
  EXPECT_EQ(min_free_get("sys.mem.min_free"), nullptr);
  ::unlink(min_free_path().c_str());
  EXPECT_EQ(min_free_get("sys.mem.min_free"), nullptr);
}

TEST_F(SystemActionsTest, MinFreeSetRunsTheEchoCommandForADecimalNumber) {
  EXPECT_EQ(min_free_set("sys.mem.min_free", "8192"), 0);
  const std::string longest(MIN_FREE_DIGITS_MAX, '9');
  EXPECT_EQ(min_free_set("sys.mem.min_free", longest.c_str()), 0);
  EXPECT_EQ(calls_.log, (Log{"shell echo 8192 > " + min_free_path(),
                             "shell echo " + longest + " > " + min_free_path()}));
}

TEST_F(SystemActionsTest, MinFreeSetWithoutValueChangesNothing) {
  EXPECT_EQ(min_free_set("sys.mem.min_free", nullptr), 0);
  EXPECT_EQ(min_free_set("sys.mem.min_free", ""), 0);
  EXPECT_TRUE(calls_.log.empty());
}

TEST_F(SystemActionsTest, MinFreeSetRefusesAnythingButDigits) {
  const std::string too_long(MIN_FREE_DIGITS_MAX + 1, '1');
  for (const char* value : {"1;reboot", "1 && reboot", "$(reboot)", "`reboot`", "-5", "+5", " 5",
                            "5 ", "0x10", "12a", "1\n2", too_long.c_str()}) {
    EXPECT_EQ(min_free_set("sys.mem.min_free", value), -1) << value;
  }
  EXPECT_TRUE(calls_.log.empty());
}

TEST_F(SystemActionsTest, DropCachesRunsOnlyWhenRun) {
  EXPECT_EQ(drop_caches(ACTION_QUERY, "sys.mem.drop_caches", {}), 0);
  EXPECT_TRUE(calls_.log.empty());
  EXPECT_EQ(drop_caches(7, "sys.mem.drop_caches", {}), ACTION_BAD_MODE);
  EXPECT_EQ(drop_caches(ACTION_RUN, "", {}), -1);
  EXPECT_EQ(drop_caches(ACTION_RUN, nullptr, {}), -1);
  EXPECT_TRUE(calls_.log.empty());
  EXPECT_EQ(drop_caches(ACTION_RUN, "sys.mem.drop_caches", {}), 0);
  EXPECT_EQ(calls_.log, Log{"shell echo 1 > " + dir_.file("drop_caches")});
}

TEST_F(SystemActionsTest, RebootOnlyWhenRun) {
  EXPECT_EQ(reboot_system(ACTION_QUERY, "sys.reboot", {}), 0);
  EXPECT_EQ(reboot_system(2, "sys.reboot", {}), ACTION_BAD_MODE);
  EXPECT_EQ(reboot_system(ACTION_RUN, nullptr, {}), -1);
  EXPECT_EQ(calls_.restarts, 0);
  EXPECT_EQ(reboot_system(ACTION_RUN, "sys.reboot", {}), 0);
  EXPECT_EQ(calls_.restarts, 1);
}

TEST_F(SystemActionsTest, DebugInstantSwitchesAdbOverTcp) {
  EXPECT_EQ(debug_instant(ACTION_RUN, "sys.debug.instant", {.result = {}, .option = "act=on"}), 0);
  EXPECT_EQ(calls_.log, (Log{"shell setprop service.adb.tcp.port 5555", "shell stop adbd",
                             "shell start adbd"}));
  calls_.log.clear();
  EXPECT_EQ(debug_instant(ACTION_RUN, "sys.debug.instant", {.result = {}, .option = "act=onward"}),
            0);
  EXPECT_EQ(calls_.log.front(), "shell setprop service.adb.tcp.port 5555");
  calls_.log.clear();
  EXPECT_EQ(debug_instant(ACTION_RUN, "sys.debug.instant", {.result = {}, .option = "act=off"}), 0);
  EXPECT_EQ(calls_.log,
            (Log{"shell setprop service.adb.tcp.port -1", "shell stop adbd", "shell start adbd"}));
}

TEST_F(SystemActionsTest, DebugInstantIgnoresOtherOptions) {
  for (const char* option : {"act", "act=", "ACT=on", "on", ""}) {
    EXPECT_EQ(debug_instant(ACTION_RUN, "sys.debug.instant", {.result = {}, .option = option}), 0);
  }
  EXPECT_EQ(debug_instant(ACTION_RUN, "sys.debug.instant", {}), 0);
  EXPECT_EQ(debug_instant(ACTION_QUERY, "sys.debug.instant", {}), 0);
  EXPECT_EQ(debug_instant(3, "sys.debug.instant", {}), ACTION_BAD_MODE);
  EXPECT_TRUE(calls_.log.empty());
}

}  // namespace
}  // namespace vorn::settings::test
