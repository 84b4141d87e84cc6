#include "storage/region_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "storage/mount_manager.h"
#include "storage/path_io.h"
#include "storage_fixture.h"

namespace vorn::storage {
namespace {

using test::StorageTest;
using vorn::test::read_file;

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed);
  return v;
}

TEST_F(StorageTest, PathReadsStopAtTheEndAndTheCap) {
  const std::string f = dir_.write("f", pattern(100));
  std::vector<uint8_t> buf(1000);
  EXPECT_EQ(path_read_at(f.c_str(), std::span(buf).first(20), 90), 10);
  EXPECT_EQ(buf[0], pattern(100)[90]);
  EXPECT_EQ(path_read_capped(f.c_str(), buf, 0), 100);
  EXPECT_EQ(path_read_capped(f.c_str(), std::span(buf).first(0), 0), 0);
  EXPECT_EQ(path_read_at(f.c_str(), std::span(buf).first(10), 500), 0);
  EXPECT_EQ(path_read_at("/nonexistent", buf, 0), 0);
  EXPECT_EQ(path_read_at(nullptr, buf, 0), -1);
  EXPECT_EQ(path_size(f.c_str()), 100);
  EXPECT_EQ(path_size(dir_.file("missing").c_str()), 0);
}

TEST_F(StorageTest, FileWriteReplacesTheFile) {
  const std::string f = dir_.write("f", pattern(100));
  const std::vector<uint8_t> data = {1, 2, 3};
  EXPECT_EQ(path_write_at(f.c_str(), data, 5), 3);
  EXPECT_EQ(read_file(f), (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 2, 3}));
}

TEST_F(StorageTest, DeviceWriteNeverCreatesAMissingNode) {
  const std::vector<uint8_t> data = {1, 2, 3};
  EXPECT_EQ(device_write_at(part(2).c_str(), data, 0, true, true), 0);
  struct stat st {};
  EXPECT_NE(::stat(part(2).c_str(), &st), 0) << "no file may appear in place of a device";
  const std::string f = dir_.write("dp2", pattern(16));
  EXPECT_EQ(device_write_at(f.c_str(), data, 4, true, true), 3);
  std::vector<uint8_t> expected = pattern(16);
  expected[4] = 1, expected[5] = 2, expected[6] = 3;
  EXPECT_EQ(read_file(f), expected) << "the rest of the device is left alone";
}

TEST_F(StorageTest, RawLocatorWindowWinsOverOffsetAndLength) {
  const std::vector<uint8_t> partition = pattern(4096, 3);
  dir_.write("dp7", partition);
  std::vector<uint8_t> buf(2048);
  EXPECT_EQ(locator_read("bmap@recovery,raw@0:400", buf, 5000, 7), 1024);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 1024, partition.begin()));
  std::vector<uint8_t> small(16);
  EXPECT_EQ(locator_read("bmap@recovery,raw@0:400", small, 0, 16), -1)
      << "a buffer smaller than the window is refused, not overrun";
  EXPECT_EQ(locator_size("bmap@recovery,raw@0:100000"), 0x100000);
  EXPECT_EQ(locator_read("bmap@kernel,raw@0:1", buf, 0, 1), -1);
}

TEST_F(StorageTest, RawWriteGoesIntoTheWindowOfTheSelectedCopy) {
  dir_.write("dp2", pattern(4096));
  const std::vector<uint8_t> block(0x100, 0xEE);
  EXPECT_EQ(locator_write("bmap@boot~1,raw@0x200:0x100", block, 0, 0x100), 0x100);
  const std::vector<uint8_t> got = read_file(part(2));
  ASSERT_EQ(got.size(), 4096u);
  EXPECT_EQ(got[0x1FF], pattern(4096)[0x1FF]);
  EXPECT_EQ(got[0x200], 0xEE);
  EXPECT_EQ(got[0x2FF], 0xEE);
  EXPECT_EQ(got[0x300], pattern(4096)[0x300]);
}

TEST_F(StorageTest, RawWriteToAMountedCopyIsRefused) {
  dir_.write("dp3", pattern(64));
  set_mounts(part(3) + " /system ext4 rw,relatime 0 0\n");
  const std::vector<uint8_t> block(16, 0xEE);
  EXPECT_EQ(locator_write("bmap@system,raw@0:10", block, 0, 16), -1);
  EXPECT_EQ(read_file(part(3)), pattern(64));
}

TEST_F(StorageTest, RawWriteIsRefusedWhenMountsCannotBeRead) {
  dir_.write("dp3", pattern(64));
  vorn::test::ScopedPathOverride gone(platform::FixedPath::PROC_MOUNTS, dir_.file("nothing"));
  const std::vector<uint8_t> block(16, 0xEE);
  EXPECT_EQ(locator_write("bmap@system,raw@0:10", block, 0, 16), -1);
}

TEST_F(StorageTest, FileLocatorOnACopyMountedElsewhereUsesThatMount) {
  const std::string mnt = dir_.file("mnt");
  ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
  dir_.write("mnt/%vif-info%", "hello");
  set_mounts("rootfs / rootfs ro 0 0\n" + part(3) + " " + mnt + " ext4 rw 0 0\n");
  std::vector<uint8_t> buf(64);
  EXPECT_EQ(locator_size("bmap@system,ext4@/%vif-info%"), 5);
  EXPECT_EQ(locator_read("bmap@system,ext4@/%vif-info%", buf, 0, 64), 5);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 5), "hello");
  EXPECT_EQ(locator_size("bmap@system,ext4@/missing"), 0) << "a missing file has size 0";
  EXPECT_EQ(locator_release("bmap@system,ext4@/%vif-info%"), 0);
  EXPECT_NE(mounts_find_by_device(part(3).c_str()), nullptr) << "left mounted where it was";
  EXPECT_EQ(locator_release("bmap@system"), -1);
}

TEST_F(StorageTest, MountListKeepsEveryLineInFileOrder) {
  std::string text;
  for (int i = 0; i < 60; ++i) {
    text += "/dev/block/dm-" + std::to_string(i) + " /mnt/point/number/" + std::to_string(i) +
            " ext4 rw,seclabel,nosuid,nodev,noatime,errors=panic 0 0\n";
  }
  text += "broken line\n";
  text += part(4) + " /first ext4 rw 0 0\n" + part(4) + " /second ext4 rw 0 0";
  ASSERT_GT(text.size(), 4096u);
  set_mounts(text);
  const MountedVolume* v = mounts_find_by_device(part(4).c_str());
  ASSERT_NE(v, nullptr) << "mounts past the first 2 KiB and 32 lines are seen";
  EXPECT_EQ(v->mount_point, "/first");
  EXPECT_NE(mounts_find_by_dir("/mnt/point/number/59"), nullptr);
  EXPECT_EQ(mounts_find_by_dir("/mnt/point/number/60"), nullptr);
}

TEST_F(StorageTest, MountLocatorRefusesUnknownTypesAndReusesOnlyItsOwnDevice) {
  ImageLocator raw;
  ASSERT_NE(locator_parse("bmap@boot,raw@0:400", &raw), nullptr);
  EXPECT_EQ(mount_locator(&raw, MountMode::READ_ONLY), -1);
  EXPECT_EQ(mount_locator(nullptr, MountMode::READ_ONLY), -1);
  set_mounts(part(3) + " " + dir_.file("private") + " ext4 rw 0 0\n");
  ImageLocator system;
  ASSERT_NE(locator_parse("bmap@system,ext4@/x", &system), nullptr);
  EXPECT_EQ(mount_locator(&system, MountMode::READ_ONLY), 0)
      << "the device asked for is used where it is";
  EXPECT_EQ(locator_unmount(&system), 0);
  ImageLocator other;
  ASSERT_NE(locator_parse("bmap@system~1,ext4@/x", &other), nullptr);
  EXPECT_EQ(mount_locator(&other, MountMode::READ_ONLY), -1)
      << "another device there is never read as this one";
}

// Offsets past 2 and 4 GiB reach their place in a sparse file, and raw windows are 64-bit.
TEST_F(StorageTest, OffsetsBeyond4GiB) {
  const std::string f = dir_.write("dp4", "");
  ASSERT_EQ(::truncate(f.c_str(), 6LL << 30), 0);
  const std::vector<uint8_t> data = pattern(300, 9);
  std::vector<uint8_t> back(300);
  EXPECT_EQ(locator_write("bmap@system~1,raw@0x140000007:0x12c", data, 0, 300), 300);
  EXPECT_EQ(path_read_at(f.c_str(), back, (5LL << 30) + 7), 300);
  EXPECT_EQ(back, data);
  EXPECT_EQ(locator_device_size("bmap@system~1,raw@0:0"), 6LL << 30);
  uint32_t crc = 0;
  EXPECT_EQ(locator_crc32("bmap@system#1,raw@0x140000007:0x12c", &crc), 300);
  EXPECT_EQ(crc, ::crc32(0, data.data(), 300));
  EXPECT_EQ(locator_sync("bmap@system~1,ext4@/x"), -1) << "only raw locators";
  EXPECT_EQ(locator_size("bmap@system~1,raw@0:10000000000000000"), -1) << "beyond 64 bits";
}

TEST_F(StorageTest, UnmountOfAPlainFileOrAForeignMountTouchesNothing) {
  ImageLocator plain;
  ASSERT_NE(locator_parse("file@!,/x.vif", &plain), nullptr);
  EXPECT_EQ(locator_unmount(&plain), 0);
  EXPECT_EQ(locator_unmount(nullptr), -1);
  EXPECT_EQ(unmount_private(nullptr), -1);
  ImageLocator sys;
  ASSERT_NE(locator_parse("bmap@system,ext4@/x", &sys), nullptr);
  EXPECT_EQ(unmount_private(&sys), 0);  // nothing on the private mount point
}

}  // namespace
}  // namespace vorn::storage
