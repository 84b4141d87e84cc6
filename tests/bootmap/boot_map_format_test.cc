#include "bootmap/boot_map_format.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace vorn::bootmap {
namespace {

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
      {EX, "2:4", nullptr, "boot,system",
       "bmap=boot:1%androidboot:2%androidboot,system:3:4 bmap_seq=1:3"},
      {EX, "1:3", nullptr, "system,,boot",
       "bmap=boot:1%androidboot:2%androidboot,system:3:4 bmap_seq=1:4"},
      {EX, "1:3", nullptr, "kernel,",
       "bmap=boot:1%androidboot:2%androidboot,system:3:4 bmap_seq=1:3"},
      {"boot:1,system:3%ext4:4%vfat:5%btrfs", "1:4", nullptr, "boot,system",
       "bmap=boot:1,system:3:4%vfat:5 bmap_seq=1:5"},  // one copy keeps it; "%ext4" is implied
      {"app:5:sd@6,rec:7%raw", "sd@6:7", "sd:/dev/block/mmcblk1", "app",
       "bmap_dev=sd:/dev/block/mmcblk1 bmap=app:5:sd@6,rec:7%raw bmap_seq=5:7"},
      {"app:5:sd@6", "5", "sd:/dev/block/mmcblk1,e:/x", "app",
       "bmap_dev=sd:/dev/block/mmcblk1,e:/x bmap=app:5:sd@6 bmap_seq=sd@6"},
      {EX, nullptr, nullptr, "boot", "bmap=boot:1%androidboot:2%androidboot,system:3:4 "},
      {EX, "1:9", nullptr, "boot", "bmap=boot:1%androidboot:2%androidboot,system:3:4 "},
      {"boot:1:2,system:3", "2", nullptr, "system", "bmap=boot:1:2,system:3 bmap_seq=2"},
      {nullptr, nullptr, nullptr, "boot", ""},
  };
  for (const Row& row : ROWS) {
    ASSERT_TRUE(bootmap_set_values(row.bmap, row.seq, row.dev));
    EXPECT_EQ(format(row.changes), row.want) << row.bmap << " / " << row.changes;
  }
  std::array<char, 8> out{};
  EXPECT_EQ(bootmap_format(nullptr, out), BOOTMAP_FORMAT_ABSENT);
  EXPECT_EQ(bootmap_format("boot", std::span<char>()), BOOTMAP_FORMAT_ABSENT);
}

// Ten devices, ten regions, every value close to its 255-character slot: the whole text is
// written (three times what a 256-byte buffer holds) and reads back as the same map; a map
// whose text would not fit anywhere is refused, never cut.
TEST(BootMapFormat, LargestMapIsWrittenWholeOrRefused) {
  std::string dev, bmap, seq, seq_next;
  for (int k = 0; k < 10; ++k) {
    const std::string name = "d" + std::to_string(k);
    dev += (k ? "," : "") + name + ":/dev/block/mmcblk" + std::string(k < 6 ? 2 : 1, 'x');
    bmap += (k ? ",r" : "r") + std::to_string(k) + ":1:2:3%raw:" + name + "@4:" + name + "@55";
    seq += (k ? ":" : "") + name + "@55";
    seq_next += (k ? ":" : "") + std::string("1");
  }
  ASSERT_LE(dev.size(), 255u);
  ASSERT_LE(bmap.size(), 255u);
  ASSERT_GT(dev.size() + bmap.size(), 440u);
  ASSERT_TRUE(bootmap_set_values(bmap.c_str(), seq.c_str(), dev.c_str()));
  ASSERT_EQ(bootmap_region_count(), 10);
  const std::string all = "r0,r1,r2,r3,r4,r5,r6,r7,r8,r9";
  const std::string want = "bmap_dev=" + dev + " bmap=" + bmap + " bmap_seq=" + seq_next;
  EXPECT_EQ(format(all.c_str()), want);
  EXPECT_EQ(format(""), "bmap_dev=" + dev + " bmap=" + bmap + " bmap_seq=" + seq);

  std::array<char, 64> small{};
  EXPECT_EQ(bootmap_format(all.c_str(), small), BOOTMAP_FORMAT_TOO_LONG);
  EXPECT_STREQ(small.data(), "");

  // Copies without numbers are written back with their 0: the value grows past its slot.
  std::string grows;
  for (int k = 0; k < 9; ++k)
    grows += (k ? ",r" : "r") + std::to_string(k) + ":%raw:%raw:%raw:%raw:%raw";
  ASSERT_LE(grows.size(), 255u);
  ASSERT_TRUE(bootmap_set_values(grows.c_str(), "0", nullptr));
  std::array<char, BOOTMAP_TEXT_SIZE> out{};
  EXPECT_EQ(bootmap_format("r0", out), BOOTMAP_FORMAT_TOO_LONG);
  EXPECT_STREQ(out.data(), "");
}

}  // namespace
}  // namespace vorn::bootmap
