#include "settings/env_layout.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn::settings::test {
namespace {

// The grammar of the boot loader's tools: offsets C integers, sizes and sectors hexadecimal.
TEST(EnvLayoutTest, ConfigurationLinesAsTheBootLoaderToolsReadThem) {
  const struct {
    std::string text;
    int line;  // 0: parses
    std::string devices;
    int64_t first, second;
    uint32_t size;
  } rows[] = {
      {"/dev/block/mmcblk0 0xC0000 0x2000\n", 0, "/dev/block/mmcblk0", 0xC0000, 0, 0x2000},
      {"# two copies\n\n  /d\t-0x4000 2000 0x20000 1\r\n/d 010 0X2000\n", 0, "/d/d", -0x4000, 8,
       0x2000},
      {"/d 786432 10", 0, "/d", 786432, 0, 0x10},
      {"/d -0x2000 0x2000\n/d -0x4000 0x2000\n", 0, "/d/d", -0x2000, -0x4000, 0x2000},
      {"", 1, "", 0, 0, 0},
      {"# only a comment\n", 2, "", 0, 0, 0},
      {"/d 0 0x2000\n/d 0x2000 0x2000\n/d 0x4000 0x2000\n", 3, "", 0, 0, 0},
      {"/d 0 0x2000\n/e 0x2000 0x1000\n", 2, "", 0, 0, 0},
      {"/d 0 0x2000\n/d 0x1000 0x2000\n", 2, "", 0, 0, 0},
      {"d 0 0x2000\n", 1, "", 0, 0, 0},
      {"/d 0x 0x2000\n", 1, "", 0, 0, 0},
      {"/d 09 0x2000\n", 1, "", 0, 0, 0},
      {"/d 0 0xf\n", 1, "", 0, 0, 0},
      {"/d 0 0x100001\n", 1, "", 0, 0, 0},
      {"/d 0 0x2000g\n", 1, "", 0, 0, 0},
      {"/d 0\n", 1, "", 0, 0, 0},
      {"/d 0 0x2000 0x20000 1 0\n", 1, "", 0, 0, 0},
      {"/d 0 0x2000 sector\n", 1, "", 0, 0, 0},
      {"/" + std::string(126, 'd') + " 0 0x2000\n", 0, "/" + std::string(126, 'd'), 0, 0, 0x2000},
      {"/" + std::string(127, 'd') + " 0 0x2000\n", 1, "", 0, 0, 0},
  };
  for (const auto& row : rows) {
    EnvLayout layout;
    EnvConfigError error;
    const bool parsed = env_layout_parse(row.text, layout, error);
    EXPECT_EQ(parsed ? 0 : error.line, row.line) << row.text;
    if (!parsed || row.line != 0) continue;
    std::string devices = layout.copies[0].device.data();
    if (layout.redundant()) devices += layout.copies[1].device.data();
    EXPECT_EQ(devices, row.devices) << row.text;
    EXPECT_EQ(layout.copies[0].offset, row.first) << row.text;
    EXPECT_EQ(layout.redundant() ? layout.copies[1].offset : 0, row.second) << row.text;
    EXPECT_EQ(layout.size, row.size) << row.text;
    EXPECT_EQ(layout.header(), layout.redundant() ? 5u : 4u);
  }
}

}  // namespace
}  // namespace vorn::settings::test
