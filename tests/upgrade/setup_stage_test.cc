#include "upgrade/setup_stage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "upgrade/installed_regions.h"
#include "upgrade_fixture.h"

namespace vorn::upgrade {
namespace {

using testing::HasSubstr;

// The copies are "mounted" at a directory of the test, so the scripts run there without any
// mount; its name, full of shell syntax, shows that no command line is built from it.
using SetupStage = test::UpgradeTest;

TEST_F(SetupStage, RunsEachScriptInItsCopyInListOrder) {
  const std::string odd = dir_.file("m;touch${IFS}injected;$(touch${IFS}injected)");
  std::filesystem::create_directory(odd);
  dir_.write("mounts", part(4) + " " + odd + " ext4 rw 0 0\n" + part(5) + " " + odd + " ext4 rw\n");
  dir_.write(odd.substr(dir_.path().size() + 1) + "/%vif-setup%",
             "basename \"$(pwd)\" >> " + dir_.file("log") + "; exit 3\n");
  constexpr struct {
    const char* list;
    int want, runs;
  } ROWS[] = {{"", 0, 0},
              {"system#1,app", 0, 2},
              {"system#1,", 0, 1},
              {"system#1,,app", -1, 1},
              {"kernel,system#1", -1, 0},
              {"system#x", -1, 0}};
  for (const auto& row : ROWS) {
    dir_.write("log", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(setup_stage(row.list), row.want) << row.list;
    const std::string out = testing::internal::GetCapturedStdout();
    const std::vector<uint8_t> log = vorn::test::read_file(dir_.file("log"));
    EXPECT_EQ(std::string(log.begin(), log.end()).size(),
              (odd.size() - dir_.path().size()) * row.runs);
    if (row.runs > 0) {
      EXPECT_NE(out.find("Setup Image Executed(system#1)(cd " + odd + ";sh " + odd +
                         "/%vif-setup%)(768)\n"),
                std::string::npos)
          << out;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.file("injected")));
  installed_regions_clear();
  ASSERT_EQ(installed_regions_add("system#1"), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(setup_stage_run(nullptr), 0) << "the installed regions are the list";
  EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("(system#1)"));
  installed_regions_clear();

  // A script that is a link (here out of the copy) is refused, never run.
  const std::string outside = dir_.write("outside", "touch " + dir_.file("injected") + "\n");
  std::filesystem::remove(odd + "/%vif-setup%");
  std::filesystem::create_symlink(outside, odd + "/%vif-setup%");
  testing::internal::CaptureStdout();
  EXPECT_EQ(setup_stage("system#1"), -1);
  EXPECT_THAT(testing::internal::GetCapturedStdout(),
              HasSubstr("[Error] Setup Script Refused(system#1)"));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("injected")));
}

// A list that would not fit is refused whole: a cut list would skip a setup script.
TEST(InstalledRegions, JoinsWithCommasAndRefusesWhatWouldNotFit) {
  installed_regions_clear();
  ASSERT_EQ(installed_regions_add("boot"), 0);
  ASSERT_EQ(installed_regions_add(std::string(127 - 5, 's').c_str()), 0);  // exactly 127
  EXPECT_EQ(std::string(installed_regions()), "boot," + std::string(122, 's'));
  EXPECT_EQ(installed_regions_add("x"), -1);
  EXPECT_EQ(installed_regions_add(nullptr), -1);
  EXPECT_EQ(std::string(installed_regions()).size(), 127u);
  installed_regions_clear();
  EXPECT_STREQ(installed_regions(), "");
}

}  // namespace
}  // namespace vorn::upgrade
