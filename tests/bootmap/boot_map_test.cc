#include "bootmap/boot_map.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "bootmap/boot_map_format.h"
#include "platform/fixed_text.h"
#include "support/path_override.h"
#include "support/temp_dir.h"

namespace vorn::bootmap {
namespace {

using testing::HasSubstr;

constexpr char EXAMPLE[] =
    "bmap_dev=sd:/dev/block/mmcblk1 "
    "bmap=boot:1%androidboot:2%androidboot,system:3:4,app:5:sd@6,recovery:7%androidboot "
    "bmap_seq=1:3:sd@6:7";

std::string device_name(int result, const std::array<char, COPY_DEVICE_PATH_SIZE>& path) {
  if (result != 0) return "<none>";
  const std::string text = path.data();
  return text.starts_with("/dev/block/") ? text.substr(11) : text;
}

// The map as the product sees it: per region its copies ("device%fs", "*" for the active one)
// and ">" the next copy's device.
std::string map_text() {
  std::string out;
  for (int i = 0; i < bootmap_region_count(); ++i) {
    const char* name = bootmap_region_name(i);
    // Appended piece by piece: GCC 12 at -O3 sees a false overlap in "text" + std::string.
    out.append(i ? " " : "").append(name).append(":");
    for (int c = 0; c < bootmap_copy_count(name); ++c) {
      std::array<char, COPY_DEVICE_PATH_SIZE> path{};
      out.append(c ? "," : "").append(device_name(bootmap_copy_device(name, path, c), path));
      out.append("%").append(bootmap_copy_fs(name, c));
      out.append(c == bootmap_active_index(name) ? "*" : "");
    }
    std::array<char, COPY_DEVICE_PATH_SIZE> next{};
    out.append(">").append(device_name(bootmap_next_device(name, next), next));
    EXPECT_STREQ(bootmap_active_fs(name), bootmap_copy_fs(name, bootmap_active_index(name)));
    EXPECT_STREQ(
        bootmap_next_fs(name),
        bootmap_copy_fs(name, bootmap_copy_count(name) > 1
                                  ? (bootmap_active_index(name) + 1) % bootmap_copy_count(name)
                                  : 0));
    int position = -1;
    EXPECT_EQ(bootmap_find_by_name(name, &position)->name.data(), std::string(name));
    EXPECT_EQ(position, i);
  }
  return out;
}

std::string map_of(const std::string& cmdline) {
  vorn::test::TempDir dir;
  vorn::test::ScopedPathOverride over(platform::FixedPath::KERNEL_CMDLINE,
                                      dir.write("cmdline", cmdline));
  EXPECT_EQ(bootmap_init(), 0);
  return map_text();
}

TEST(BootMap, BuiltFromTheKernelCommandLine) {
  std::string overlong = "bmap=boot:1:2";
  while (overlong.size() <= 5 + 255) overlong += ",r" + std::to_string(overlong.size()) + ":9";
  const std::string longest = "bmap=boot:1:2," + std::string(255 - 11, 'x') + ":3";
  const struct {
    std::string cmdline;
    std::string map;
  } cases[] = {
      {std::string("console=ttyS0 ") + EXAMPLE + "\n",
       "boot:mmcblk0p1%androidboot*,mmcblk0p2%androidboot>mmcblk0p2 "
       "system:mmcblk0p3%ext4*,mmcblk0p4%ext4>mmcblk0p4 "
       "app:mmcblk0p5%ext4,mmcblk1p6%ext4*>mmcblk0p5 "
       "recovery:mmcblk0p7%androidboot*>mmcblk0p7"},
      // No active copy: the region is not seen; an unknown active copy hides every region.
      {"bmap=boot:5:6", ""},
      {"bmap=boot:5:6,system:7:8 bmap_seq=5:9", ""},
      // Unknown devices drop their copy, unknown file systems read as ext4, five copies at most.
      {"bmap=boot:x@5:6,sys:5%btrfs,many:1:2:3:4:5:6:7,raw:9%raw bmap_seq=6:5:3:9",
       "boot:mmcblk0p6%ext4*>mmcblk0p6 sys:mmcblk0p5%ext4*>mmcblk0p5 "
       "many:mmcblk0p1%ext4,mmcblk0p2%ext4,mmcblk0p3%ext4*,mmcblk0p4%ext4,mmcblk0p5%ext4>"
       "mmcblk0p4 raw:mmcblk0p9%raw*>mmcblk0p9"},
      // A copy on a named device is told apart from the default device's of the same number.
      {"bmap_dev=sd:/dev/block/mmcblk1 bmap=app:6:sd@6 bmap_seq=sd@6",
       "app:mmcblk0p6%ext4,mmcblk1p6%ext4*>mmcblk0p6"},
      {"bmap_dev=sd:/dev/block/mmcblk1 bmap=app:6:sd@6 bmap_seq=6",
       "app:mmcblk0p6%ext4*,mmcblk1p6%ext4>mmcblk1p6"},
      // Two spaces end the walk; a later key replaces an earlier; an empty item ends a list.
      {"bmap=boot:1:2  bmap_seq=2", ""},
      {"bmap=a:1 bmap_seq=1 bmap=boot:1:2,,system:3 bmap_seq=2:3",
       "boot:mmcblk0p1%ext4,mmcblk0p2%ext4*>mmcblk0p1"},
      // A cut map could name the wrong partition: an over-long value reads as absent.
      {overlong + " bmap_seq=1", ""},
      {longest + " bmap_seq=1", "boot:mmcblk0p1%ext4*,mmcblk0p2%ext4>mmcblk0p2"}};
  for (const auto& c : cases) EXPECT_EQ(map_of(c.cmdline), c.map) << c.cmdline;

  vorn::test::ScopedPathOverride gone(platform::FixedPath::KERNEL_CMDLINE, "/nonexistent/cmdline");
  EXPECT_EQ(bootmap_init(), 0);
  EXPECT_EQ(map_text(), "");
}

// What the map drops is named on standard error; a long command line is read to its end.
TEST(BootMap, RejectedKeysAreNamedOnStandardError) {
  std::string eleven = "bmap=";
  for (int i = 0; i < 11; ++i) {
    eleven.append(i ? ",r" : "region_with_long_name_").append(std::to_string(i)).append(":1");
  }
  const std::pair<std::string, std::string> cases[] = {
      {EXAMPLE, ""},
      {"bmap=boot:1:2,sys:3:4,app:5:6,rec:7 bmap_seq=1:3:6:9",
       "bmap_seq: value ignored, no region is active: \"9\" names no copy of region \"rec\""},
      {std::string("bmap=boot:1:2,").append(250, 'x'),
       "line: bmap: value of 259 characters ignored"},
      {eleven, "bmap: region \"r10\" ignored: more than 10 regions"}};
  for (const auto& [cmdline, warning] : cases) {
    testing::internal::CaptureStderr();
    map_of(cmdline);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.empty(), warning.empty()) << err;
    EXPECT_THAT(err, HasSubstr(warning));
  }
  // Ten regions at most, names cut to 16 characters.
  ASSERT_TRUE(bootmap_set_values(eleven.substr(5).c_str(), "1:1:1:1:1:1:1:1:1:1:1", nullptr));
  EXPECT_EQ(bootmap_region_count(), 10);
  EXPECT_STREQ(bootmap_region_name(0), "region_with_long");
  EXPECT_EQ(map_of(std::string("console=").append(1100, 'x').append(" bmap=boot:1:2 bmap_seq=2")),
            "boot:mmcblk0p1%ext4,mmcblk0p2%ext4*>mmcblk0p1");
}

TEST(BootMap, LookupsOutsideTheMapGiveTheirNoneValues) {
  map_of(EXAMPLE);
  std::array<char, COPY_DEVICE_PATH_SIZE> out{};
  EXPECT_EQ(bootmap_copy_count("Boot"), 0);  // names match exactly
  EXPECT_EQ(bootmap_active_number("kernel"), -1);
  EXPECT_EQ(bootmap_next_number("kernel"), -1);
  EXPECT_EQ(bootmap_next_fs("kernel"), nullptr);
  EXPECT_EQ(bootmap_find_by_name("", nullptr), nullptr);
  EXPECT_EQ(bootmap_copy_number("boot", 2), -1);
  EXPECT_EQ(bootmap_copy_fs("boot", -1), nullptr);
  EXPECT_EQ(bootmap_region_name(4), nullptr);
  EXPECT_EQ(bootmap_copy_device("boot", out, 2), -1);
  EXPECT_EQ(bootmap_next_device("kernel", out), -1);
  EXPECT_EQ(bootmap_active_device("boot", {}), -1);
  EXPECT_STREQ(out.data(), "");
}

struct Row {
  const char* bmap;
  const char* seq;
  const char* dev;
  const char* changes;
  const char* want;
};

std::string format(const char* changes) {
  std::array<char, BOOTMAP_TEXT_SIZE> out{};
  EXPECT_EQ(bootmap_format(changes, out), 0) << changes;
  return out.data();
}

TEST(BootMapFormat, Table) {
  constexpr const char* EX = "boot:1%androidboot:2%androidboot,system:3:4";
  constexpr Row ROWS[] = {
      {EX, "1:3", nullptr, "system",
       "bmap=boot:1%androidboot:2%androidboot,system:3:4 bmap_seq=1:4"},
      {EX, "1:3", nullptr, "boot,system",
       "bmap=boot:1%androidboot:2%androidboot,system:3:4 bmap_seq=2:4"},
      {EX, "1:3", nullptr, "system,,boot",
       "bmap=boot:1%androidboot:2%androidboot,system:3:4 bmap_seq=1:4"},
      {"boot:1,system:3%ext4:4%vfat:5%btrfs", "1:4", nullptr, "boot,system",
       "bmap=boot:1,system:3:4%vfat:5 bmap_seq=1:5"},  // one copy keeps it; "%ext4" is implied
      {"app:5:sd@6", "5", "sd:/dev/block/mmcblk1,e:/x", "app",
       "bmap_dev=sd:/dev/block/mmcblk1,e:/x bmap=app:5:sd@6 bmap_seq=sd@6"},
      {EX, nullptr, nullptr, "boot", "bmap=boot:1%androidboot:2%androidboot,system:3:4 "},
      {"boot:1:2,system:3", "2", nullptr, "system", "bmap=boot:1:2,system:3 bmap_seq=2"},
      {nullptr, nullptr, nullptr, "boot", ""},
  };
  static BootMap stored;  // the text read back as the next boot would, without the running map
  for (const Row& row : ROWS) {
    ASSERT_TRUE(bootmap_set_values(row.bmap, row.seq, row.dev));
    EXPECT_EQ(format(row.changes), row.want) << row.bmap << " / " << row.changes;
    ASSERT_TRUE(bootmap_parse(std::string("console=x ") + row.want, stored));
    std::array<char, BOOTMAP_TEXT_SIZE> again{};
    EXPECT_EQ(bootmap_format(stored, "", again), 0);
    EXPECT_STREQ(again.data(), row.want);
  }
  std::array<char, COPY_DEVICE_PATH_SIZE> device{};
  ASSERT_TRUE(bootmap_parse(ROWS[4].want, stored));
  EXPECT_EQ(bootmap_active_device(stored, "app", device), 0);
  EXPECT_STREQ(device.data(), "/dev/block/mmcblk1p6");
  EXPECT_EQ(bootmap_active_device(stored, "boot", device), -1);
  std::array<char, 8> out{};
  EXPECT_EQ(bootmap_format(nullptr, out), BOOTMAP_FORMAT_ABSENT);
  EXPECT_EQ(bootmap_format("boot", std::span<char>()), BOOTMAP_FORMAT_ABSENT);
}

// Ten devices, ten regions, values close to their 255-character slots: the whole text is
// written (about three times what a 256-byte buffer holds); a map whose text would not fit is
// refused, never cut.
TEST(BootMapFormat, LargestMapIsWrittenWholeOrRefused) {
  std::array<char, BOOTMAP_VALUE_SIZE> dev{}, bmap{}, seq{};
  for (int k = 0; k < 10; ++k) {
    const char* sep = k ? "," : "";
    ASSERT_TRUE(
        platform::append_format(dev, "%sd%d:/dev/block/mmcblk%s", sep, k, k < 6 ? "xx" : "x") &&
        platform::append_format(bmap, "%sr%d:1:2:3%%raw:d%d@4:d%d@55", sep, k, k, k) &&
        platform::append_format(seq, "%sd%d@55", k ? ":" : "", k));
  }
  ASSERT_GT(std::strlen(dev.data()) + std::strlen(bmap.data()), 440u);
  ASSERT_TRUE(bootmap_set_values(bmap.data(), seq.data(), dev.data()));
  ASSERT_EQ(bootmap_region_count(), 10);
  const std::string head =
      std::string("bmap_dev=").append(dev.data()).append(" bmap=").append(bmap.data());
  EXPECT_EQ(format("r0,r1,r2,r3,r4,r5,r6,r7,r8,r9"), head + " bmap_seq=1:1:1:1:1:1:1:1:1:1");
  EXPECT_EQ(format(""), head + " bmap_seq=" + seq.data());
  std::array<char, 64> small{};
  EXPECT_EQ(bootmap_format("r0", small), BOOTMAP_FORMAT_TOO_LONG);
  EXPECT_STREQ(small.data(), "");

  // Copies without numbers are written back with their 0: the value grows past its slot.
  std::array<char, BOOTMAP_VALUE_SIZE> grows{};
  for (int k = 0; k < 9; ++k) {
    ASSERT_TRUE(
        platform::append_format(grows, "%sr%d:%%raw:%%raw:%%raw:%%raw:%%raw", k ? "," : "", k));
  }
  ASSERT_TRUE(bootmap_set_values(grows.data(), "0", nullptr));
  std::array<char, BOOTMAP_TEXT_SIZE> out{};
  EXPECT_EQ(bootmap_format("r0", out), BOOTMAP_FORMAT_TOO_LONG);
  EXPECT_STREQ(out.data(), "");
}

}  // namespace
}  // namespace vorn::bootmap
