#include "storage/image_locator.h"

#include <gtest/gtest.h>

#include <string>

#include "storage/region_io.h"
#include "storage_fixture.h"

namespace vorn::storage {
namespace {

using test::StorageTest;

TEST_F(StorageTest, PlainFileLocators) {
  ImageLocator loc;
  ASSERT_NE(locator_parse("file@!,/a.vif", &loc), nullptr);
  EXPECT_STREQ(loc.fs_path.data(), "/a.vif");
  EXPECT_STREQ(loc.dev_path.data(), "");
  EXPECT_STREQ(loc.fs_type.data(), "");
  EXPECT_EQ(loc.is_raw, 0u);
  ASSERT_NE(locator_parse("file@!x,a.vif", &loc), nullptr);  // the parser does not judge paths
  EXPECT_STREQ(loc.fs_path.data(), "a.vif");
  EXPECT_EQ(locator_parse("file@!/a.vif", &loc), nullptr);  // no comma
  EXPECT_EQ(locator_parse(nullptr, &loc), nullptr);
  EXPECT_EQ(locator_parse("file@!,/a", nullptr), nullptr);
}

TEST_F(StorageTest, LongLocatorsWorkUpToThePathSlotAndAreRefusedBeyond) {
  ImageLocator loc;
  const std::string path = "/data/" + std::string(121, 'p');  // 127 characters
  ASSERT_NE(locator_parse(("file@!," + path).c_str(), &loc), nullptr);
  EXPECT_EQ(std::string(loc.fs_path.data()), path);
  EXPECT_EQ(locator_parse(("file@!," + path + "x").c_str(), &loc), nullptr);
  ASSERT_NE(locator_parse(("bmap@system#1,ext4@" + path).c_str(), &loc), nullptr);
  EXPECT_EQ(locator_parse(("file@!" + std::string(250, 'x') + ",/a").c_str(), &loc), nullptr);
}

TEST_F(StorageTest, DeviceFileLocators) {
  ImageLocator loc;
  ASSERT_NE(locator_parse("file@/dev/block/mmcblk1p1:1:2,vfat@/up.vif", &loc), nullptr);
  EXPECT_STREQ(loc.dev_path.data(), "/dev/block/mmcblk1p1");
  EXPECT_EQ(loc.dev_no, 1);
  EXPECT_EQ(loc.part_no, 2);
  EXPECT_STREQ(loc.fs_type.data(), "vfat");
  EXPECT_STREQ(loc.fs_path.data(), "/up.vif");
  EXPECT_EQ(locator_parse("file@/dev/x:1,ext4@/a", &loc), nullptr);     // one colon
  EXPECT_EQ(locator_parse("file@/dev/x:1:1,raw@0:10", &loc), nullptr);  // not a file system
  EXPECT_EQ(locator_parse("file@/dev/block/platform/by-name/appdata:1:1,ext4@/a", &loc), nullptr)
      << "a device path longer than 31 characters is refused, not cut";
}

TEST_F(StorageTest, RegionLocatorsSelectCopies) {
  ImageLocator loc;
  ASSERT_NE(locator_parse("bmap@system,ext4@/%vif-info%", &loc), nullptr);
  EXPECT_EQ(std::string(loc.dev_path.data()), part(3));
  EXPECT_EQ(loc.part_no, 3);
  EXPECT_STREQ(loc.fs_type.data(), "ext4");
  EXPECT_STREQ(loc.fs_path.data(), "/%vif-info%");
  ASSERT_NE(locator_parse("bmap@system~0,ext4@/x", &loc), nullptr);
  EXPECT_EQ(loc.part_no, 3);
  ASSERT_NE(locator_parse("bmap@system~5,ext4@/x", &loc), nullptr);
  EXPECT_EQ(loc.part_no, 4);
  ASSERT_NE(locator_parse("bmap@system~00,ext4@/x", &loc), nullptr);
  EXPECT_EQ(loc.part_no, 3);
  ASSERT_NE(locator_parse("bmap@boot#1,raw@0x10:400", &loc), nullptr);
  EXPECT_EQ(loc.part_no, 2);
  EXPECT_EQ(loc.is_raw, 1u);
  EXPECT_EQ(loc.raw_offset, 0x10u);
  EXPECT_EQ(loc.raw_size, 0x400u);
  EXPECT_STREQ(loc.fs_type.data(), "raw");
  // "#" is looked for first: the region name would be "boot~1".
  EXPECT_EQ(locator_parse("bmap@boot~1#0,raw@0:1", &loc), nullptr);
}

TEST_F(StorageTest, RegionLocatorsThatDoNotParse) {
  ImageLocator loc;
  EXPECT_EQ(locator_parse("bmap@boot", &loc), nullptr);
  EXPECT_EQ(locator_parse("bmap@boot#2,raw@0:400", &loc), nullptr);
  // An index or step that is not a plain decimal number selects nothing.
  for (const char* id :
       {"#-1", "#x", "#", "#0x1", "#0#1", "# 1", "#+1", "~x", "~-1", "~", "~99999999999", "~1x"}) {
    EXPECT_EQ(locator_parse(("bmap@boot" + std::string(id) + ",raw@0:400").c_str(), &loc), nullptr)
        << id;
  }
  EXPECT_EQ(locator_parse("bmap@boot,vfat@/x", &loc), nullptr);
  EXPECT_EQ(locator_parse("bmap@boot,raw@400", &loc), nullptr);
  EXPECT_EQ(locator_parse("bmap@kernel,raw@0:400", &loc), nullptr);
  EXPECT_EQ(locator_parse("dev@x,raw@0:10", &loc), nullptr);
  EXPECT_NE(region_ops_find("dev@x,raw@0:10"), nullptr);
}

TEST_F(StorageTest, RegionTableMatchesByPrefix) {
  for (const char* name : {"bmap@boot#1", "bmap@boot~1", "bmap@boot,raw@0x0:0x400", "bmap@bootx"}) {
    const RegionOps* row = region_ops_find(name);
    ASSERT_NE(row, nullptr) << name;
    EXPECT_STREQ(row->prefix, "bmap@boot");
  }
  EXPECT_EQ(region_ops_find("bmap@recovery")->access_kinds, ACCESS_RAW);
  EXPECT_EQ(region_ops_find("bmap@recovery")->read_file, nullptr);
  EXPECT_EQ(region_ops_find("file@!,/x")->read_raw, nullptr);
  EXPECT_EQ(region_ops_find("bmap@kernel"), nullptr);
  EXPECT_EQ(region_ops_find(nullptr), nullptr);
}

}  // namespace
}  // namespace vorn::storage
