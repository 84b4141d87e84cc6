#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bootmap/boot_map.h"
#include "core/output.h"
#include "storage/image_locator.h"
#include "storage/mount_manager.h"
#include "storage/path_io.h"
#include "storage/region_io.h"
#include "support/path_override.h"
#include "support/temp_dir.h"

namespace vorn::storage {
namespace {

using testing::HasSubstr;

using vorn::test::read_file;

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7);
  return v;
}

// A boot map whose copies live on a "device" of regular files in a temporary directory (copy
// n is the file <dir>/dp<n>), and a /proc/mounts of our own.
class Storage : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_LT(dev_.size() + 3, DEV_PATH_SIZE) << "TMPDIR too long for device paths";
    ASSERT_TRUE(bootmap::bootmap_set_values(
        "boot:t@1%androidboot:t@2%androidboot,system:t@3:t@4,recovery:t@7%androidboot",
        "t@1:t@3:t@7", ("t:" + dev_).c_str()));
    set_mounts("");
  }

  std::string part(int n) const { return dev_ + "p" + std::to_string(n); }
  void set_mounts(const std::string& text) { dir_.write("mounts", text); }

  // The parsed locator, its device path written as "P<n>" for copy n of the test device.
  std::string parsed(const char* text) {
    ImageLocator loc;
    if (locator_parse(text, &loc) == nullptr) return "null";
    std::string dev = loc.dev_path.data();
    if (dev.starts_with(dev_)) (dev = dev.substr(dev_.size()))[0] = 'P';  // ".../dp3": "P3"
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, " %d:%d ", loc.dev_no, loc.part_no);
    dev.append(numbers).append(loc.fs_type.data()).append(" ").append(loc.fs_path.data());
    if (loc.is_raw) dev.append(std::to_string(loc.raw_offset) + "+" + std::to_string(loc.raw_size));
    return dev;
  }

  vorn::test::TempDir dir_;
  std::string dev_ = dir_.file("d");
  vorn::test::ScopedPathOverride mounts_{platform::FixedPath::PROC_MOUNTS, dir_.file("mounts")};
  vorn::test::ScopedPathOverride private_{platform::FixedPath::PRIVATE_MOUNT, dir_.file("private")};
  vorn::test::ScopedPathOverride lock_{platform::FixedPath::MOUNT_LOCK, dir_.file("private.lock")};
};

TEST_F(Storage, LocatorTexts) {
  const std::string longest = "/data/" + std::string(121, 'p');  // the 127 of the path slot
  const struct {
    std::string text, parsed;
  } cases[] = {
      {"file@!,/a.vif", " 0:0  /a.vif"},
      {"file@!/a.vif", "null"},  // no comma
      {"file@!," + longest, " 0:0  " + longest},
      {"file@!," + longest + "x", "null"},  // refused, never cut
      {"file@/dev/block/mmcblk1p1:1:2,vfat@/up.vif", "/dev/block/mmcblk1p1 1:2 vfat /up.vif"},
      {"file@/dev/x:1,ext4@/a", "null"},     // one colon
      {"file@/dev/x:1:1,raw@0:10", "null"},  // not a file system
      // A device path longer than 31 characters is refused, not cut.
      {"file@/dev/block/platform/by-name/appdata:1:1,ext4@/a", "null"},
      {"bmap@system,ext4@/%vif-info%", "P3 0:3 ext4 /%vif-info%"},
      {"bmap@system~0,ext4@/x", "P3 0:3 ext4 /x"},
      {"bmap@system~5,ext4@/x", "P4 0:4 ext4 /x"},
      {"bmap@system#1,ext4@" + longest, "P4 0:4 ext4 " + longest},
      {"bmap@boot#1,raw@0x10:400", "P2 0:2 raw 16+1024"},
      {"bmap@boot~1#0,raw@0:1", "null"},  // "#" is looked for first: region "boot~1"
      {"bmap@boot", "null"},
      {"bmap@boot#2,raw@0:400", "null"},
      {"bmap@boot,raw@400", "null"},
      {"bmap@kernel,raw@0:400", "null"},
      {"bmap@boot,vfat@/x", "null"},  // vfat only for file locators
      {"file@!" + std::string(250, 'x') + ",/a", "null"},
      {"dev@x,raw@0:10", "null"}};
  for (const auto& c : cases) EXPECT_EQ(parsed(c.text.c_str()), c.parsed) << c.text;
  // An index or step that is not a plain decimal number selects nothing.
  for (const char* id : {"#-1", "#", "#0x1", "# 1", "#+1", "~-1", "~99999999999", "~1x"}) {
    EXPECT_EQ(parsed(("bmap@boot" + std::string(id) + ",raw@0:400").c_str()), "null") << id;
  }
  EXPECT_STREQ(region_ops_find("bmap@bootx")->prefix, "bmap@boot");  // a prefix match
  EXPECT_EQ(region_ops_find(nullptr), nullptr);
  ImageLocator loc;
  EXPECT_EQ(locator_parse(nullptr, &loc), nullptr);
  EXPECT_EQ(locator_parse("file@!,/a", nullptr), nullptr);
}

TEST_F(Storage, PathIo) {
  const std::string f = dir_.write("f", pattern(100));
  std::vector<uint8_t> buf(1000);
  EXPECT_EQ(path_read_at(f.c_str(), std::span(buf).first(20), 90), 10);
  EXPECT_EQ(buf[0], pattern(100)[90]);
  EXPECT_EQ(path_read_capped(f.c_str(), buf, 0), 100);
  EXPECT_EQ(path_read_at(f.c_str(), std::span(buf).first(10), 500), 0);
  EXPECT_EQ(path_read_at("/nonexistent", buf, 0), 0);
  EXPECT_EQ(path_read_at(nullptr, buf, 0), -1);
  EXPECT_EQ(path_size(f.c_str()), 100);
  EXPECT_EQ(path_size(dir_.file("missing").c_str()), 0);
  // A file write replaces the file.
  EXPECT_EQ(path_write_at(f.c_str(), std::vector<uint8_t>{1, 2, 3}, 5), 3);
  EXPECT_EQ(read_file(f), (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 2, 3}));
}

TEST_F(Storage, DeviceWriteNeverCreatesAMissingNode) {
  const std::vector<uint8_t> data = {1, 2, 3};
  EXPECT_EQ(device_write_at(part(2).c_str(), data, 0, true, true), 0);
  struct stat st {};
  EXPECT_NE(::stat(part(2).c_str(), &st), 0) << "no file may appear in place of a device";
  dir_.write("dp2", pattern(16));
  EXPECT_EQ(device_write_at(part(2).c_str(), data, 4, true, true), 3);
  std::vector<uint8_t> expected = pattern(16);
  expected[4] = 1, expected[5] = 2, expected[6] = 3;
  EXPECT_EQ(read_file(part(2)), expected) << "the rest of the device is left alone";
}

TEST_F(Storage, RawWindowsOfTheSelectedCopy) {
  dir_.write("dp7", pattern(4096));
  std::vector<uint8_t> buf(2048);
  // The window in the text wins over offset and length.
  EXPECT_EQ(locator_read("bmap@recovery,raw@0:400", buf, 5000, 7), 1024);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 1024, pattern(4096).begin()));
  std::vector<uint8_t> small(16);
  EXPECT_EQ(locator_read("bmap@recovery,raw@0:400", small, 0, 16), -1)
      << "a buffer smaller than the window is refused, not overrun";
  EXPECT_EQ(locator_size("bmap@recovery,raw@0:100000"), 0x100000);
  EXPECT_EQ(locator_read("bmap@kernel,raw@0:1", buf, 0, 1), -1);

  dir_.write("dp2", pattern(4096));
  EXPECT_EQ(locator_write("bmap@boot~1,raw@0x200:0x100", std::vector<uint8_t>(0x100, 0xEE), 0, 0),
            0x100);
  std::vector<uint8_t> expected = pattern(4096);
  std::fill(expected.begin() + 0x200, expected.begin() + 0x300, 0xEE);
  EXPECT_EQ(read_file(part(2)), expected);
}

// A raw write under a mounted file system would corrupt it; when the mounts cannot be read
// the write is refused too.
TEST_F(Storage, RawWriteToAMountedCopyIsRefused) {
  dir_.write("dp3", pattern(64));
  const std::vector<uint8_t> block(16, 0xEE);
  set_mounts(part(3) + " /system ext4 rw,relatime 0 0\n");
  EXPECT_EQ(locator_write("bmap@system,raw@0:10", block, 0, 16), -1);
  vorn::test::ScopedPathOverride gone(platform::FixedPath::PROC_MOUNTS, dir_.file("nothing"));
  EXPECT_EQ(locator_write("bmap@system,raw@0:10", block, 0, 16), -1);
  EXPECT_EQ(read_file(part(3)), pattern(64));
}

TEST_F(Storage, MountListKeepsEveryLineInFileOrder) {
  std::string text;
  for (int i = 0; i < 60; ++i) {
    text += "/dev/block/dm-" + std::to_string(i) + " /mnt/point/number/" + std::to_string(i) +
            " ext4 rw,seclabel,nosuid,nodev,noatime,errors=panic 0 0\n";
  }
  text += "broken line\n" + part(4) + " /first ext4 rw 0 0\n" + part(4) + " /second ext4 rw 0 0";
  ASSERT_GT(text.size(), 4096u);
  set_mounts(text);
  const MountedVolume* v = mounts_find_by_device(part(4).c_str());
  ASSERT_NE(v, nullptr) << "mounts past the first 4 KiB and 32 lines are seen";
  EXPECT_EQ(v->mount_point, "/first");
  EXPECT_NE(mounts_find_by_dir("/mnt/point/number/59"), nullptr);
  EXPECT_EQ(mounts_find_by_dir("/mnt/point/number/60"), nullptr);
}

TEST_F(Storage, PrivateMountPointReusesOnlyItsOwnDevice) {
  ImageLocator raw;
  ASSERT_NE(locator_parse("bmap@boot,raw@0:400", &raw), nullptr);
  core::set_verbosity(3);  // the storage diagnostics show from verbosity 3 on
  testing::internal::CaptureStdout();
  EXPECT_EQ(mount_locator(&raw, MountMode::READ_ONLY), -1);
  EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("unknown fs_type \"raw\""));
  core::set_verbosity(core::VERBOSITY_NORMAL);
  EXPECT_EQ(mount_locator(nullptr, MountMode::READ_ONLY), -1);
  ImageLocator system;
  ASSERT_NE(locator_parse("bmap@system,ext4@/x", &system), nullptr);
  EXPECT_EQ(unmount_private(&system), 0);  // nothing there
  set_mounts(part(3) + " " + dir_.file("private") + " ext4 rw 0 0\n");
  EXPECT_EQ(mount_locator(&system, MountMode::READ_ONLY), 0) << "used where it is";
  EXPECT_EQ(locator_unmount(&system), 0);
  ImageLocator other;
  ASSERT_NE(locator_parse("bmap@system~1,ext4@/x", &other), nullptr);
  EXPECT_EQ(mount_locator(&other, MountMode::READ_ONLY), -1)
      << "another device there is never read as this one";
  ImageLocator plain;
  ASSERT_NE(locator_parse("file@!,/x.vif", &plain), nullptr);
  EXPECT_EQ(locator_unmount(&plain), 0);
  EXPECT_EQ(locator_unmount(nullptr), -1);
  EXPECT_EQ(unmount_private(nullptr), -1);
  EXPECT_EQ(locator_release("bmap@kernel,ext4@/x"), -1);
}

// Offsets past 2 and 4 GiB reach their place in a sparse file, and raw windows are 64-bit.
TEST_F(Storage, OffsetsBeyond4GiB) {
  const std::string f = dir_.write("dp4", "");
  ASSERT_EQ(::truncate(f.c_str(), 6LL << 30), 0);
  const std::vector<uint8_t> data = pattern(300);
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

}  // namespace
}  // namespace vorn::storage
