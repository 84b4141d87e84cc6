#include "bootmap/boot_map.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "bootmap/cmdline.h"
#include "support/path_override.h"
#include "support/temp_dir.h"

namespace vorn::bootmap {
namespace {

using platform::FixedPath;

constexpr char EXAMPLE[] =
    "bmap_dev=sd:/dev/block/mmcblk1 "
    "bmap=boot:1%androidboot:2%androidboot,system:3:4,app:5:sd@6,recovery:7%androidboot "
    "bmap_seq=1:3:sd@6:7\n";

class BootMapTest : public testing::Test {
 protected:
  // Builds the map from a kernel command line written to a temporary file.
  void boot_with(const std::string& cmdline) {
    const std::string path = dir_.write("cmdline", cmdline);
    test::ScopedPathOverride over(FixedPath::KERNEL_CMDLINE, path);
    ASSERT_EQ(bootmap_init(), 0);
  }

  std::string device(const char* region, int i) {
    std::array<char, COPY_DEVICE_PATH_SIZE> out{};
    if (bootmap_copy_device(region, out, i) != 0) return "<none>";
    return out.data();
  }

  test::TempDir dir_;
};

TEST_F(BootMapTest, ExampleGivesTheStatedCopiesIndexesAndPaths) {
  boot_with(std::string("console=ttyS0 ") + EXAMPLE);
  EXPECT_EQ(bootmap_region_count(), 4);
  EXPECT_STREQ(bootmap_region_name(0), "boot");
  EXPECT_STREQ(bootmap_region_name(3), "recovery");
  EXPECT_EQ(bootmap_region_name(4), nullptr);

  EXPECT_EQ(bootmap_copy_count("boot"), 2);
  EXPECT_STREQ(bootmap_copy_fs("boot", 0), "androidboot");
  EXPECT_STREQ(bootmap_copy_fs("boot", 1), "androidboot");
  EXPECT_EQ(bootmap_active_index("boot"), 0);
  EXPECT_EQ(bootmap_active_number("boot"), 1);
  EXPECT_EQ(bootmap_next_number("boot"), 2);
  EXPECT_EQ(device("boot", 0), "/dev/block/mmcblk0p1");
  EXPECT_EQ(device("boot", 1), "/dev/block/mmcblk0p2");

  EXPECT_STREQ(bootmap_active_fs("system"), "ext4");
  EXPECT_EQ(bootmap_next_number("system"), 4);

  EXPECT_EQ(bootmap_copy_count("app"), 2);
  EXPECT_EQ(bootmap_active_index("app"), 1);
  std::array<char, COPY_DEVICE_PATH_SIZE> out{};
  ASSERT_EQ(bootmap_active_device("app", out), 0);
  EXPECT_STREQ(out.data(), "/dev/block/mmcblk1p6");
  ASSERT_EQ(bootmap_next_device("app", out), 0);
  EXPECT_STREQ(out.data(), "/dev/block/mmcblk0p5");
  EXPECT_EQ(bootmap_next_number("app"), 5);

  EXPECT_EQ(bootmap_copy_count("recovery"), 1);
  ASSERT_EQ(bootmap_next_device("recovery", out), 0);  // one copy: next is the active one
  EXPECT_STREQ(out.data(), "/dev/block/mmcblk0p7");

  int position = -1;
  EXPECT_NE(bootmap_find_by_name("app", &position), nullptr);
  EXPECT_EQ(position, 2);
  EXPECT_EQ(bootmap_find_by_name("", &position), nullptr);
}

TEST_F(BootMapTest, LookupsOfUnknownRegionsGiveTheirNoneValues) {
  boot_with(EXAMPLE);
  EXPECT_EQ(bootmap_find("kernel"), nullptr);
  EXPECT_EQ(bootmap_find(nullptr), nullptr);
  EXPECT_EQ(bootmap_copy_count("kernel"), 0);
  EXPECT_EQ(bootmap_active_index("kernel"), -1);
  EXPECT_EQ(bootmap_copy_fs("boot", 2), nullptr);
  EXPECT_EQ(bootmap_copy_fs("boot", -1), nullptr);
  EXPECT_EQ(bootmap_copy_number("boot", 5), -1);
  EXPECT_EQ(bootmap_next_fs("kernel"), nullptr);
  std::array<char, COPY_DEVICE_PATH_SIZE> out{};
  EXPECT_EQ(bootmap_copy_device("boot", out, 2), -1);
  EXPECT_EQ(bootmap_find("Boot"), nullptr);  // names match exactly
}

TEST_F(BootMapTest, RegionWithoutActiveEntryIsInvisible) {
  boot_with("bmap=boot:5:6");
  EXPECT_EQ(bootmap_region_count(), 0);
  EXPECT_EQ(bootmap_copy_count("boot"), 0);
  EXPECT_EQ(bootmap().region_count, 1u);
}

TEST_F(BootMapTest, UnknownCopyInSeqEmptiesTheWholeActiveTable) {
  boot_with("bmap=boot:5:6,system:7:8 bmap_seq=5:9");
  EXPECT_EQ(bootmap_region_count(), 0);
  EXPECT_EQ(bootmap_find("boot"), nullptr);
}

TEST_F(BootMapTest, CopySpecifications) {
  boot_with("bmap=boot:x@5:6,sys:5%btrfs,many:1:2:3:4:5:6:7,raw:9%raw bmap_seq=6:5:3:9");
  EXPECT_EQ(bootmap_copy_count("boot"), 1);  // unknown device x drops x@5
  EXPECT_EQ(bootmap_copy_number("boot", 0), 6);
  EXPECT_STREQ(bootmap_copy_fs("sys", 0), "ext4");  // unknown fs name becomes ext4
  EXPECT_EQ(bootmap_copy_count("many"), 5);
  EXPECT_EQ(bootmap_copy_number("many", 4), 5);
  EXPECT_EQ(bootmap_active_index("many"), 2);
  EXPECT_STREQ(bootmap_active_fs("raw"), "raw");
}

TEST_F(BootMapTest, NamedDeviceCopyIsToldApartFromDefaultCopyWithTheSameNumber) {
  boot_with("bmap_dev=sd:/dev/block/mmcblk1 bmap=app:6:sd@6 bmap_seq=sd@6");
  EXPECT_EQ(bootmap_active_index("app"), 1);
  boot_with("bmap_dev=sd:/dev/block/mmcblk1 bmap=app:6:sd@6 bmap_seq=6");
  EXPECT_EQ(bootmap_active_index("app"), 0);
}

TEST_F(BootMapTest, DoubleSpaceEndsTheWalkAndTrailingNewlineIsDropped) {
  boot_with("bmap=boot:1:2  bmap_seq=2");
  EXPECT_EQ(bootmap_region_count(), 0);
  boot_with("bmap=boot:1:2 bmap_seq=2\n");
  EXPECT_EQ(bootmap_active_number("boot"), 2);
}

TEST_F(BootMapTest, LaterKeyReplacesEarlierAndEmptyItemsEndLists) {
  boot_with("bmap=a:1 bmap_seq=1 bmap=boot:1:2,,system:3 bmap_seq=2:3");
  EXPECT_EQ(bootmap_region_count(), 1);
  EXPECT_EQ(bootmap_active_number("boot"), 2);
  EXPECT_EQ(bootmap_find("system"), nullptr);
}

TEST_F(BootMapTest, OverlongValueIsRejectedRatherThanCut) {
  // A cut map could name the wrong partition: the key reads as absent instead.
  std::string regions = "bmap=boot:1:2";
  while (regions.size() <= 5 + 255) regions += ",r" + std::to_string(regions.size()) + ":9";
  boot_with(regions + " bmap_seq=1");
  EXPECT_EQ(bootmap().region_count, 0u);
  EXPECT_EQ(bootmap_region_count(), 0);
  std::string exact = "bmap=boot:1:2," + std::string(255 - 11, 'x') + ":3";
  ASSERT_EQ(exact.size(), 5u + 255u);
  boot_with(exact + " bmap_seq=1");
  EXPECT_EQ(bootmap_active_number("boot"), 1);
}

TEST_F(BootMapTest, TenRegionsAtMostAndNamesCutTo16) {
  std::string map = "bmap=";
  std::string seq = "bmap_seq=";
  for (int i = 0; i < 12; ++i) {
    // Appended piece by piece: GCC 12 at -O3 sees a false overlap in "text" + std::string.
    map.append(i ? ",r" : "region_with_long_name_").append(std::to_string(i)).append(":");
    map.append(std::to_string(i + 1));
    seq.append(i ? ":" : "").append(std::to_string(i + 1));
  }
  bootmap_set_values(map.substr(5).c_str(), seq.substr(9).c_str(), nullptr);
  EXPECT_EQ(bootmap_region_count(), 10);
  EXPECT_STREQ(bootmap_region_name(0), "region_with_long");
}

// What the map drops is named on standard error; the map itself stays as it was.
TEST_F(BootMapTest, RejectedKeysAreNamedOnStandardError) {
  std::string eleven = "bmap=";
  for (int i = 0; i < 11; ++i) eleven += (i ? ",r" : "r") + std::to_string(i) + ":1";
  const std::pair<std::string, std::string> cases[] = {
      {EXAMPLE, ""},
      {"bmap=boot:1:2,sys:3:4,app:5:6,rec:7 bmap_seq=1:3:6:9",
       "bmap_seq: value ignored, no region is active: \"9\" names no copy of region \"rec\""},
      {"bmap=boot:1:2," + std::string(250, 'x'), "line: bmap: value of 259 characters ignored"},
      {eleven, "bmap: region \"r10\" ignored: more than 10 regions"},
  };
  for (const auto& [cmdline, warning] : cases) {
    testing::internal::CaptureStderr();
    boot_with(cmdline);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.empty(), warning.empty()) << err;
    EXPECT_NE(err.find(warning), err.npos) << err;
  }
  EXPECT_EQ(bootmap_region_count(), 0);  // as before: eleven regions, none active
}

TEST_F(BootMapTest, LongCommandLineIsReadToItsEnd) {
  boot_with("console=" + std::string(1100, 'x') + " bmap=boot:1:2 bmap_seq=2\n");
  EXPECT_EQ(bootmap_active_number("boot"), 2);
}

TEST(Cmdline, MissingFileGivesNoToken) {
  test::ScopedPathOverride over(FixedPath::KERNEL_CMDLINE, "/nonexistent/cmdline");
  int calls = 0;
  cmdline_walk(&calls, [](char*, void* ctx) { ++*static_cast<int*>(ctx); });
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace vorn::bootmap
