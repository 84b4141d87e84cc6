#pragma once

// Locators: the short texts that name image sources and region copies, e.g.
//   file@!,/data/up.vif                      a plain file
//   file@/dev/block/mmcblk1p1:1:1,vfat@/up.vif a file on a named block device
//   bmap@system,ext4@/%vif-info%             a file in the active system copy
//   bmap@boot~1,raw@0:1000                   a raw byte window of the next boot copy

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn::storage {

// Longest locator text: every form with a 127-character path fits. A longer text is refused
// as a whole, never cut (a cut path names another file).
inline constexpr size_t LOCATOR_TEXT_MAX = 255;
inline constexpr size_t LOCATOR_TEXT_SIZE = LOCATOR_TEXT_MAX + 1;
inline constexpr size_t DEV_PATH_SIZE = 32;  // 31 characters and a NUL
inline constexpr size_t FS_TYPE_SIZE = 16;
inline constexpr size_t FS_PATH_SIZE = 128;

struct ImageLocator {
  std::array<char, DEV_PATH_SIZE> dev_path;  // block device; empty for a plain file
  int32_t dev_no;                            // informational
  int32_t part_no;                           // partition number of a region copy
  std::array<char, FS_TYPE_SIZE> fs_type;    // "ext4", "vfat", "raw"; empty for a plain file
  std::array<char, FS_PATH_SIZE> fs_path;    // path inside the file system, or the plain path
  uint32_t is_raw;                           // 1: a raw byte window of dev_path
  uint64_t raw_offset;                       // at most INT64_MAX, like raw_size
  uint64_t raw_size;
};

// Parses a locator text into the caller's record (zero-filled first). Returns the record, or
// null when an argument is absent or the text does not parse: longer than LOCATOR_TEXT_MAX, no
// ",", an unknown form, a region id that region_id_parse refuses, a region or copy the boot
// map does not have, a path longer than 127 or a device path longer than 31 characters, or a
// raw window beyond 64 bits (refused rather than cut, since a cut path names another file).
ImageLocator* locator_parse(const char* text, ImageLocator* locator);

// raw_size, or -1 for an absent locator.
[[nodiscard]] int64_t locator_raw_size(const ImageLocator* locator);

// Parses the text and, for a file locator, unmounts its device if (and only if) it sits on the
// private mount point. 0, or -1 when the text is absent or does not parse.
int locator_release(const char* text);

}  // namespace vorn::storage
