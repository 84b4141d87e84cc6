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
  std::string path(const char* name) const { return dir_.file(name); }

  vorn::test::TempDir dir_;
  vorn::test::ScopedPathOverride meminfo_{FixedPath::PROC_MEMINFO, path("meminfo")};
  vorn::test::ScopedPathOverride min_free_{FixedPath::MIN_FREE_KBYTES, path("min_free_kbytes")};
  vorn::test::ScopedPathOverride drop_{FixedPath::DROP_CACHES, path("drop_caches")};
  FakePlatformCalls calls_;
};

TEST_F(SystemActionsTest, MeminfoFiguresComeFromTheLineStartingWithTheKey) {
  meminfo(
      "MemTotal:        2048 kB\nSwapCached:   7 kB\nMemFree:   12 kB\nCached:  300 kB\n"
      "Odd: lots\nHuge: 99999999999999 kB\n");
  const struct {
    const char* key;
    int kb;
  } cases[] = {{"MemTotal:", 2048}, {"MemFree:", 12}, {"Cached:", 300}, {"Active:", -1},
               {"Odd:", -1},        {"Huge:", -1},    {nullptr, -1}};
  for (const auto& c : cases) EXPECT_EQ(meminfo_value(c.key), c.kb) << (c.key ? c.key : "null");
  EXPECT_STREQ(mem_total("sys.mem.total"), "2048");
  EXPECT_STREQ(mem_free("sys.mem.free"), "12");
  EXPECT_STREQ(mem_cached("sys.mem.cached"), "300");
  meminfo("MemTotal: 2048 kB\nSwapCached:   7 kB\n");
  EXPECT_EQ(mem_cached("sys.mem.cached"), nullptr) << "SwapCached is not Cached";
  ::unlink(path("meminfo").c_str());
  EXPECT_EQ(mem_total("sys.mem.total"), nullptr);
}

TEST_F(SystemActionsTest, EveryOperationNeedsAName) {
  meminfo("MemTotal: 1 kB\nMemFree: 1 kB\nCached: 1 kB\n");
  dir_.write("min_free_kbytes", "1\n");
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(mem_total(name), nullptr);
    EXPECT_EQ(mem_free(name), nullptr);
    EXPECT_EQ(mem_cached(name), nullptr);
    EXPECT_EQ(min_free_get(name), nullptr);
    EXPECT_EQ(min_free_set(name, "1"), -1);
    EXPECT_EQ(drop_caches(ACTION_RUN, name, {}), -1);
    EXPECT_EQ(reboot_system(ACTION_RUN, name, {}), -1);
    EXPECT_EQ(debug_instant(ACTION_RUN, name, {.result = {}, .option = "act=on"}), -1);
  }
  EXPECT_TRUE(calls_.log.empty());
}

TEST_F(SystemActionsTest, MinFreeReadsTheSettingAndWritesOnlyDigits) {
  dir_.write("min_free_kbytes", "4096\n");
  EXPECT_STREQ(min_free_get("sys.mem.min_free"), "4096");
  dir_.write("min_free_kbytes", "");
  EXPECT_EQ(min_free_get("sys.mem.min_free"), nullptr);
  ::unlink(path("min_free_kbytes").c_str());
  EXPECT_EQ(min_free_get("sys.mem.min_free"), nullptr);

  // The value becomes part of a command the shell runs as root.
  const std::string longest(MIN_FREE_DIGITS_MAX, '9');
  const std::string too_long(MIN_FREE_DIGITS_MAX + 1, '1');
  for (const char* value : {"1;reboot", "1 && reboot", "$(reboot)", "`reboot`", "-5", "+5", " 5",
                            "5 ", "0x10", "12a", "1\n2", too_long.c_str()}) {
    EXPECT_EQ(min_free_set("sys.mem.min_free", value), -1) << value;
  }
  EXPECT_EQ(min_free_set("sys.mem.min_free", nullptr), 0);
  EXPECT_EQ(min_free_set("sys.mem.min_free", ""), 0);
  EXPECT_TRUE(calls_.log.empty());
  EXPECT_EQ(min_free_set("sys.mem.min_free", "8192"), 0);
  EXPECT_EQ(min_free_set("sys.mem.min_free", longest.c_str()), 0);
  const std::string target = " > " + path("min_free_kbytes");
  EXPECT_EQ(calls_.log, (Log{"shell echo 8192" + target, "shell echo " + longest + target}));
}

TEST_F(SystemActionsTest, ActionsRunOnlyInRunMode) {
  using Action = int (*)(int, const char*, ActionArgument);
  const struct {
    Action action;
    const char* name;
    const char* option;
    Log log;
  } cases[] = {
      {drop_caches, "sys.mem.drop_caches", nullptr, {"shell echo 1 > " + path("drop_caches")}},
      {reboot_system, "sys.reboot", nullptr, {"restart"}},
      {debug_instant,
       "sys.debug.instant",
       "act=on",
       {"shell setprop service.adb.tcp.port 5555", "shell stop adbd", "shell start adbd"}},
      {debug_instant,
       "sys.debug.instant",
       "act=onward",
       {"shell setprop service.adb.tcp.port 5555", "shell stop adbd", "shell start adbd"}},
      {debug_instant,
       "sys.debug.instant",
       "act=off",
       {"shell setprop service.adb.tcp.port -1", "shell stop adbd", "shell start adbd"}},
      {debug_instant, "sys.debug.instant", nullptr, {}},
      {debug_instant, "sys.debug.instant", "act", {}},
      {debug_instant, "sys.debug.instant", "act=", {}},
      {debug_instant, "sys.debug.instant", "ACT=on", {}},
      {debug_instant, "sys.debug.instant", "", {}}};
  for (const auto& c : cases) {
    const ActionArgument argument{.result = {}, .option = c.option};
    EXPECT_EQ(c.action(ACTION_QUERY, c.name, argument), 0) << c.name;
    EXPECT_EQ(c.action(7, c.name, argument), ACTION_BAD_MODE) << c.name;
    EXPECT_TRUE(calls_.log.empty()) << c.name;
    EXPECT_EQ(c.action(ACTION_RUN, c.name, argument), 0) << c.name;
    EXPECT_EQ(calls_.log, c.log) << c.name << " " << (c.option ? c.option : "null");
    calls_.log.clear();
  }
}

}  // namespace
}  // namespace vorn::settings::test
