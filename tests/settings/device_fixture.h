#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/path_override.h"
#include "support/temp_dir.h"

namespace vorn::settings::test {

inline constexpr size_t BLOCK_OFFSET = 0xC0000;
inline constexpr size_t BLOCK_SIZE = 8192;
inline constexpr size_t AREA_SIZE = 8188;
inline constexpr uint8_t OUTSIDE_FILL = 0xA5;  // bytes of the device outside the block

// CRC-32 (reflected, polynomial 0xEDB88320), computed bit by bit: independent of zlib.
inline uint32_t reference_crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// A block whose area is exactly the given bytes (zero filled behind), with a correct CRC.
inline std::vector<uint8_t> block_from_area(const std::vector<uint8_t>& area) {
  std::vector<uint8_t> block(BLOCK_SIZE, 0);
  std::copy_n(area.begin(), std::min(area.size(), AREA_SIZE), block.begin() + 4);
  const uint32_t crc = reference_crc32(block.data() + 4, AREA_SIZE);
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(crc >> (8 * i));
  return block;
}

// A block with the entries stored back to back, each with its NUL.
inline std::vector<uint8_t> block_of(const std::vector<std::string>& entries) {
  std::vector<uint8_t> area;
  for (const std::string& e : entries) area.insert(area.end(), e.c_str(), e.c_str() + e.size() + 1);
  return block_from_area(area);
}

// A temporary eMMC image and lock file in place of the device's, and no boot loader
// configuration (the default place of the block), for the life of the fixture.
class DeviceFixture : public ::testing::Test {
 protected:
  // Writes the whole device: filler around the block.
  void write_device(const std::vector<uint8_t>& block) {
    std::vector<uint8_t> image(BLOCK_OFFSET + BLOCK_SIZE + 4096, OUTSIDE_FILL);
    std::copy(block.begin(), block.end(), image.begin() + BLOCK_OFFSET);
    dir_.write("mmcblk0", image);
  }
  void write_entries(const std::vector<std::string>& entries) { write_device(block_of(entries)); }
  std::vector<uint8_t> device() const { return vorn::test::read_file(device_path_); }

  // The entries of the block on the device, checked for a correct CRC, a terminator and zero
  // bytes behind it.
  std::vector<std::string> stored_entries() const {
    const std::vector<uint8_t> image = device();
    EXPECT_GE(image.size(), BLOCK_OFFSET + BLOCK_SIZE);
    if (image.size() < BLOCK_OFFSET + BLOCK_SIZE) return {};
    const uint8_t* b = image.data() + BLOCK_OFFSET;
    EXPECT_EQ(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24,
              reference_crc32(b + 4, AREA_SIZE));
    std::vector<std::string> entries;
    size_t at = 4;
    while (at < BLOCK_SIZE && b[at] != 0) {
      entries.emplace_back(reinterpret_cast<const char*>(b + at));
      at += entries.back().size() + 1;
    }
    EXPECT_LT(at, BLOCK_SIZE) << "no terminating empty entry";
    EXPECT_TRUE(std::all_of(b + at, b + BLOCK_SIZE, [](uint8_t c) { return c == 0; }))
        << "non-zero bytes behind the terminator";
    return entries;
  }

  bool lock_file_exists() const { return ::access(dir_.file("vorn-lock").c_str(), F_OK) == 0; }

  vorn::test::TempDir dir_;
  std::string device_path_ = dir_.file("mmcblk0");
  vorn::test::ScopedPathOverride device_{platform::FixedPath::EMMC_DEVICE, device_path_};
  vorn::test::ScopedPathOverride lock_{platform::FixedPath::LOCK_FILE, dir_.file("vorn-lock")};
  vorn::test::ScopedPathOverride no_config_{platform::FixedPath::FW_ENV_CONFIG,
                                            dir_.file("no-fw_env.config")};
};

}  // namespace vorn::settings::test
