#include "upgrade/trial_boot.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "bootmap/boot_map.h"
#include "settings/device_fixture.h"
#include "upgrade/install.h"

namespace vorn::upgrade {
namespace {

using Entries = std::vector<std::string>;

const std::string MAP = "bmap=boot:1%androidboot:2%androidboot,system:3:4 bmap_seq=";
const std::string BMAP = "bmap=" + MAP + "1:4";
const std::string PREV = "bmap_prev=" + MAP + "1:3";
const Entries PENDING = {"bootlimit=3",
                         "bmap=bmap=boot:1%androidboot:2%androidboot,system:3%ext4:4 "
                         "bmap_seq=1:4",
                         PREV, "upgrade_available=1", "bootcount=2"};

class TrialBootTest : public settings::test::DeviceFixture {
 protected:
  // The kernel command line runs system copy 3 or 4.
  static void running(const char* seq) {
    ASSERT_TRUE(
        bootmap::bootmap_set_values("boot:1%androidboot:2%androidboot,system:3:4", seq, nullptr));
  }
};

TEST_F(TrialBootTest, SwitchIsATrialOnlyOnABoardWithAPositiveBootlimit) {
  running("1:3");
  const std::string next = MAP + "1:4";
  const std::pair<Entries, Entries> rows[] = {
      {{}, {BMAP}},
      {{"bootlimit=0"}, {"bootlimit=0", BMAP}},
      {{"bootlimit=x"}, {"bootlimit=x", BMAP}},
      {{"bootcount=7", "bootlimit=3"},
       {"bootcount=0", "bootlimit=3", BMAP, PREV, "upgrade_available=1"}}};
  for (const auto& [before, after] : rows) {
    write_entries(before);
    ASSERT_EQ(trial_store_switch(next.c_str()), 0);
    EXPECT_EQ(stored_entries(), after);
  }
}

// Commit and rollback end a pending trial in one store; the commit only on the trial's map
// (as this system spells it), so never after the boot loader fell back.
TEST_F(TrialBootTest, CommitRollbackAndStatusOfEachState) {
  const Entries fell_back = {"bootlimit=3", PREV, "upgrade_available=0"};
  const Entries committed = {"bootlimit=3", PENDING[1], "upgrade_available=0", "bootcount=0"};
  const Entries rolled_back = {"bootlimit=3", "bmap=" + MAP + "1:3", "upgrade_available=0",
                               "bootcount=0"};
  // Entries, the running map, the command, its result, the entries after (empty: unchanged) and
  // the start of what it prints.
  const std::tuple<Entries, const char*, int (*)(), int, Entries, std::string> rows[] = {
      {PENDING, "1:4", trial_commit, 0, committed, "Upgrade Committed\n"},
      {PENDING, "1:3", trial_commit, TRIAL_NOT_RUNNING, {}, "[Error] Upgrade Not Com"},
      {fell_back, "1:3", trial_commit, TRIAL_NONE, {}, "No Upgrade Pending\n"},
      {PENDING, "1:4", trial_rollback, 0, rolled_back, "Upgrade Rolled Back"},
      {fell_back, "1:3", trial_rollback, TRIAL_NOTHING_TO_ROLL_BACK, {}, "[Error] No Up"},
      {PENDING, "1:4", trial_status, TRIAL_PENDING, {}, "pending bootcount=2 bootlimit=3\n"},
      {fell_back, "1:3", trial_status, TRIAL_NONE, {}, "fallback\n"},
      {{"bootlimit=3"}, "1:3", trial_status, TRIAL_NONE, {}, "none\n"},
      {{"bootlimit=-1"}, "1:3", trial_status, TRIAL_NONE, {}, "off\n"}};
  for (const auto& [before, seq, run, result, after, out] : rows) {
    write_entries(before);
    running(seq);
    testing::internal::CaptureStdout();
    EXPECT_EQ(run(), result) << out;
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind(out, 0), 0u) << out;
    EXPECT_EQ(stored_entries(), after.empty() ? before : after) << out;
  }
}

// While pending, the copies bmap_prev selects are the fallback; nothing else is refused.
TEST_F(TrialBootTest, InstallIntoACopyTheTrialFallsBackToIsRefused) {
  running("1:4");
  const std::tuple<Entries, const char*, const char*, int> rows[] = {
      {PENDING, "system", "/dev/block/mmcblk0p3", INSTALL_FALLBACK_COPY},
      {PENDING, "boot", "/dev/block/mmcblk0p1", INSTALL_FALLBACK_COPY},
      {PENDING, "system", "/dev/block/mmcblk0p4", 0},
      {PENDING, "boot", "/dev/block/mmcblk0p2", 0},
      {PENDING, "system", nullptr, 0},
      {{PREV, "upgrade_available=0"}, "system", "/dev/block/mmcblk0p3", 0}};
  for (const auto& [env, region, device, result] : rows) {
    write_entries(env);
    testing::internal::CaptureStdout();
    EXPECT_EQ(trial_install_check(region, device), result) << region;
    (void)testing::internal::GetCapturedStdout();
  }
}

}  // namespace
}  // namespace vorn::upgrade
