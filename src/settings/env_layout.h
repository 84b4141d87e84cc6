#pragma once

// Where the boot environment lives. Without "/etc/fw_env.config" it is the single 8 KiB block
// at 0xC0000 of the whole eMMC. A board whose boot loader keeps it elsewhere, or keeps two
// copies of it, says so in that file, in the format the boot loader's own environment tools
// (fw_printenv, fw_setenv) read:
//
//   # device            offset     size     [sector size]  [sectors]
//   /dev/block/mmcblk0  0xC0000    0x2000
//   /dev/block/mmcblk0  -0x2000    0x2000
//
// One line per copy, at most two; blank lines and lines starting with "#" are skipped. The
// offset is a C integer (decimal, 0x hexadecimal, a leading 0 octal) and counts from the end
// of the device when negative; the sizes and the sector count are hexadecimal, with or
// without 0x. The sector columns only matter for flash that is erased in sectors and are
// checked but not used. One line: one copy, CRC-32 | entries. Two lines: a redundant
// environment, two copies of the same size, each CRC-32 | flags byte | entries.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn::settings {

inline constexpr size_t ENV_COPIES_MAX = 2;
inline constexpr size_t ENV_DEVICE_PATH_SIZE = 128;  // 127 characters and a NUL
inline constexpr uint32_t ENV_SIZE_MIN = 16;
inline constexpr uint32_t ENV_SIZE_MAX = 0x100000;  // 1 MiB
inline constexpr size_t ENV_CONFIG_MAX = 4096;      // bytes of the configuration file

struct EnvCopyPlace {
  std::array<char, ENV_DEVICE_PATH_SIZE> device;
  int64_t offset;  // negative: from the end of the device
};

struct EnvLayout {
  std::array<EnvCopyPlace, ENV_COPIES_MAX> copies;
  size_t count;   // 1, or 2 for a redundant environment
  uint32_t size;  // bytes of each copy

  [[nodiscard]] bool redundant() const { return count == 2; }
  // Bytes in front of the entries: the CRC, and the flags byte of a redundant copy.
  [[nodiscard]] size_t header() const { return redundant() ? 5 : 4; }
};

// What is wrong with a configuration, and on which line (from 1; the line after the last for
// a file without any environment line).
struct EnvConfigError {
  int line = 0;
  const char* reason = nullptr;
};

// The layout without a configuration file: one 8 KiB copy at 0xC0000 of the whole eMMC.
[[nodiscard]] EnvLayout env_layout_default();

// Parses the text of a configuration. True with out filled; false with error filled (out is
// then unspecified) for a line that is not a device path, an offset and a size with at most
// the two sector columns behind them, a number that does not read whole, a size outside
// ENV_SIZE_MIN..ENV_SIZE_MAX, copies of different sizes, a third line, or no line at all.
[[nodiscard]] bool env_layout_parse(std::string_view text, EnvLayout& out, EnvConfigError& error);

// The layout in effect: the configuration file's, or env_layout_default() when there is no
// such file. False for a file that cannot be read, is longer than ENV_CONFIG_MAX or does not
// parse: the environment is then unusable, and a message naming the file and the line goes to
// standard error (once per process for the same fault).
[[nodiscard]] bool env_layout_load(EnvLayout& out);

}  // namespace vorn::settings
