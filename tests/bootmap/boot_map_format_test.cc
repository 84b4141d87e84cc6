#include "bootmap/boot_map_format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "platform/fixed_text.h"

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
  for (const Row& row : ROWS) {
    ASSERT_TRUE(bootmap_set_values(row.bmap, row.seq, row.dev));
    EXPECT_EQ(format(row.changes), row.want) << row.bmap << " / " << row.changes;
  }
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
