#include "upgrade/dependency.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "core/hardware_tag.h"
#include "platform/fixed_text.h"
#include "upgrade/image_checks.h"
#include "upgrade_fixture.h"

namespace vorn::upgrade {
namespace {

struct CompareRow {
  const char* left;
  const char* right;
  char op;
  int want;
};

TEST(VersionCompare, Table) {
  constexpr CompareRow ROWS[] = {
      {"1.2.3", "1.2.3", '=', 1},     {"1.2.3", "1.2.3", '+', 1},
      {"1.2.3", "1.2.3", '-', 1},     {"1.2.3", "1.2.3", '<', 0},
      {"1.2.3", "1.2.3", '>', 0},     {"1.0.0-rc39", "1.0.0", '+', 1},
      {"1.2.3-rc1", "1.2.3", '=', 1}, {"1.2.3.7", "1.2.3", '=', 1},
      {"1.10.0", "1.9.9", '>', 1},                                    // parts are numbers, not text
      {"1024.0.0", "0.0.0", '=', 1},  {"0.0.4096", "0.0.0", '=', 1},  // fields wrap
      {"0.1023.0", "1.0.0", '<', 1},  {"2.0.0", "1.999.4095", '>', 1},
      {"1.2.3", "1.*.*", '=', 1},     {"7.8.9", "*.*.*", '=', 1},
      {"1.2.3", "1.*.4", '=', -4},    {"1.2.3", "*.2.3", '=', -4},
      {"1.2.3", "*.*", '=', -5},      {"1.2.3", "1.2", '=', -5},
      {"1.2.3", "1.2.3", '!', -2},    {"x", "y", '!', -2},  // the operator is looked at first
      {"2.0", "1.0.0", '=', -3},      {"1.2", "1.2", '=', -3},
      {"1", "1.2.3", '=', -3},        {"1.2.3", "1.2.4", '<', 1},
      {"1.2.5", "1.2.4", '-', 0},     {" 1.+2.3", "1.2.3", '=', 1},
  };
  for (const CompareRow& row : ROWS) {
    EXPECT_EQ(version_compare(row.left, row.right, row.op), row.want)
        << row.left << " " << row.op << " " << row.right;
  }
  EXPECT_EQ(version_compare(nullptr, "1.0.0", '='), -1);
  EXPECT_EQ(version_compare("1.0.0", nullptr, '!'), -1);
}

using DependencyTest = test::UpgradeTest;

TEST_F(DependencyTest, DependencyStrings) {
  for (int n : {2, 3, 4, 5}) fake_mount(n);  // nothing in them
  const std::string contents = dir_.write("k.bin", std::string(100, 'k'));
  const std::string boot =
      mkvif("boot.vif", "image --alias boot --version 1.2.0 --contents " + contents);
  ASSERT_EQ(std::rename(boot.c_str(), part(1).c_str()), 0);
  constexpr struct {
    const char *hw, *text;
    int want;
  } ROWS[] = {
      {"zt4100.1.5", "%hw%,zt4100.1.*,+", 1},
      {"q5.1.5", "%hw%,zt4100.1.*,+", 0},
      {"", "%hw%,zt4100.1.*,+", -5},
      {"zt4100.1.0.7", "%hw%,zt4100.1.0,=", 1},
      {"zt4100.1", "%hw%,zt4100.1.0,=", -5},
      {"zt4100.1.0", "%hw%,zt4100.2.0,-", 1},
      {"zt4100.1.0", "%hw%,zt4100,+", -5},
      {".1.0", "%hw%,.1.0,=", 0},
      {"zt4100.1.0", "%hw%,zt4100.1.0", -4},
      {"zt4100.1.0", "%hw%,zt4100.1.0,", -5},
      {"", "boot,1.2.0,+", 1},
      {"", "boot,1.1.9,>", 1},
      {"", "boot,1.2.1,+", 0},
      {"", "boot,1.2.0", -4},
      {"", "boot", -2},
      {"", "kernel,1.0.0,+", -3},
      {"", "system,1.0.0,+", -6},  // nothing installed in system
      {"", "boot,1.2,+", -7},
      {"", "boot,1.2.0,?", -7},
      {"", "", -2},
  };
  for (const auto& row : ROWS) {
    ASSERT_TRUE(core::hardware_tag_set(row.hw));
    EXPECT_EQ(dependency_check(row.text), row.want) << row.hw << " / " << row.text;
  }
  EXPECT_EQ(dependency_check(nullptr), -1);
  std::array<char, 6> out{};
  EXPECT_STREQ(installed_version("bmap@boot#0", out), "1.2.0");
  EXPECT_EQ(installed_version("bmap@boot#1", out), nullptr);
  EXPECT_EQ(installed_version("bmap@boot", std::span(out).first(5)), nullptr) << "never cut";
}

// Every slot is looked at: an image whose one unmet dependency sits in slot k (the others met)
// is reported with exactly that dependency.
TEST_F(DependencyTest, EachSoftwareSlotIsChecked) {
  for (int n : {2, 3, 4, 5}) fake_mount(n);
  const std::string contents = dir_.write("k.bin", std::string(100, 'k'));
  const std::string boot =
      mkvif("boot.vif", "image --alias boot --version 1.2.0 --contents " + contents);
  ASSERT_EQ(std::rename(boot.c_str(), part(1).c_str()), 0);
  ASSERT_TRUE(core::hardware_tag_set("zt4100.1.0"));
  for (int k = 0; k < 5; ++k) {
    std::string args =
        "image --alias app --version 1.0.0 --req-hw %hw%,zt4100.1.*,+ --contents " + contents;
    for (int i = 0; i < 5; ++i) {
      args += " --req-sw" + std::to_string(i) + (i == k ? " boot,1.3.0,+" : " boot,1.1.0,+");
    }
    const std::string image = "file@!," + mkvif("app.vif", args);
    UpgradeEntry entry{};
    EXPECT_EQ(check_upgrade_entry(image.c_str(), &entry), 1) << "slot " << k;
    EXPECT_STREQ(entry.deps[0].text.data(), "boot,1.3.0,+") << "slot " << k;
  }
}

// What the image builder refuses: strings whose check fails on every device.
TEST(DependencyWellFormed, Table) {
  constexpr struct {
    const char* text;
    int want;
  } ROWS[] = {
      {"boot,1.0.0,+", 0},     {"%hw%,zt4100.1.*,+", 0}, {"app,*.*.*,=", 0},
      {"system>=2.0", -2},     {"boot,1.0.0", -4},       {",1.0.0,+", -3},
      {"%hw%,zt4100.1.0", -4}, {"%hw%,zt4100.1,+", -5},  {"%hw%,.1.0,+", -5},
      {"%hw%,zt4100,+", -5},   {"boot,1.*.0,=", -7},     {"boot,1.0.0,!", -7},
      {"boot,1.0,+", -7},      {"boot,1.0.0,", -7},
  };
  for (const auto& row : ROWS) EXPECT_EQ(dependency_well_formed(row.text), row.want) << row.text;
  EXPECT_EQ(dependency_well_formed(nullptr), -1);
}

TEST(DependencyBatch, EntriesOfTheBatchMeetDependencies) {
  upgrade_batch_clear();
  auto batch = upgrade_batch();
  platform::copy_text(batch[0].alias, "system");
  platform::copy_text(batch[0].version, "2.0.0");
  platform::copy_text(batch[1].alias, "boot");
  platform::copy_text(batch[1].version, "1.2.0");
  constexpr struct {
    const char* text;
    int want;
    uint32_t resolved;
  } ROWS[] = {
      {"boot,1.1.0,+", 0, 1},      {"boot,1.3.0,+", 0, 0}, {"app,1.0.0,+", 0, 0},
      {"%hw%,zt4100.1.0,+", 0, 0}, {"boot", -2, 0},        {"boot,1.0.0", -3, 0},
      {"boot,1.0,+", -4, 0},
  };
  for (const auto& row : ROWS) {
    DependencySlot slot{};
    platform::copy_text(slot.text, row.text);
    EXPECT_EQ(dependency_check_batch(&slot), row.want) << row.text;
    EXPECT_EQ(slot.resolved, row.resolved) << row.text;
  }
  EXPECT_EQ(dependency_check_batch(nullptr), -1);
  upgrade_batch_clear();
}

}  // namespace
}  // namespace vorn::upgrade
