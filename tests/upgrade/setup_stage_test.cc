#include "upgrade/setup_stage.h"

#include <gtest/gtest.h>

#include <string>

#include "upgrade/installed_regions.h"
#include "upgrade_fixture.h"

namespace vorn::upgrade {
namespace {

// The copies are "mounted" at directories of the test, so the scripts run there without any
// mount; a directory name full of shell syntax shows that no command line is built from it.
class SetupStageTest : public test::UpgradeTest {};

TEST_F(SetupStageTest, RunsEachScriptInItsCopyInListOrder) {
  const std::string odd = dir_.file("m5;touch${IFS}injected;$(touch${IFS}injected2)");
  std::filesystem::create_directory(odd);
  dir_.write("mounts",
             part(4) + " " + odd + " ext4 rw 0 0\n" + part(5) + " " + odd + " ext4 rw 0 0\n");
  dir_.write("log", "");
  dir_.write(odd.substr(dir_.path().size() + 1) + "/%vif-setup%",
             "echo \"$(basename \"$(pwd)\") $1\" >> " + dir_.file("log") + "; exit 3\n");
  struct Row {
    const char* list;
    int want;
    int runs;
  };
  constexpr Row ROWS[] = {
      {"", 0, 0},          {"system#1", 0, 1},       {"system#1,app", 0, 2},
      {"system#1,", 0, 1}, {"system#1,,app", -1, 1}, {"kernel,system#1", -1, 0},
      {"system#x", -1, 0},
  };
  for (const Row& row : ROWS) {
    dir_.write("log", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(setup_stage(row.list), row.want) << row.list;
    const std::string out = testing::internal::GetCapturedStdout();
    const std::vector<uint8_t> log = vorn::test::read_file(dir_.file("log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), row.runs) << row.list;
    if (row.runs > 0) {
      EXPECT_NE(out.find("Setup Image Executed(system#1)(cd " + odd + ";sh " + odd +
                         "/%vif-setup%)(768)\n"),
                std::string::npos)
          << out;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.file("injected")));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("injected2")));
  installed_regions_clear();
  ASSERT_EQ(installed_regions_add("system#1"), 0);
  dir_.write("log", "");
  testing::internal::CaptureStdout();
  EXPECT_EQ(setup_stage_run(nullptr), 0) << "the installed regions are the list";
  testing::internal::GetCapturedStdout();
  const std::vector<uint8_t> log = vorn::test::read_file(dir_.file("log"));
  EXPECT_EQ(std::string(log.begin(), log.end()), odd.substr(dir_.path().size() + 1) + " \n")
      << "run in the copy's root";
  installed_regions_clear();
}

}  // namespace
}  // namespace vorn::upgrade
