#pragma once

// The boot map: which partitions form which boot region and which copy of each is active, as
// the boot loader puts it on the kernel command line ("bmap_dev", "bmap", "bmap_seq").

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vorn::bootmap {

inline constexpr size_t BOOTMAP_VALUE_SIZE = 256;  // 255 characters and a NUL
inline constexpr size_t MAX_DEVICES = 10;
inline constexpr size_t MAX_REGIONS = 10;
inline constexpr size_t MAX_COPIES = 5;
inline constexpr size_t DEVICE_NAME_SIZE = 17;  // 16 characters and a NUL
inline constexpr size_t DEVICE_PATH_SIZE = 65;  // 64 characters and a NUL
inline constexpr size_t REGION_NAME_SIZE = 17;
inline constexpr size_t FS_TYPE_SIZE = 20;
inline constexpr size_t COPY_DEVICE_PATH_SIZE = 128;  // enough for any copy's device path

// Known file-system type names, in order; "ext4" is the default.
inline constexpr std::array<const char*, 4> FS_TYPE_NAMES = {"ext4", "vfat", "raw", "androidboot"};
inline constexpr const char FS_EXT4[] = "ext4";
inline constexpr const char FS_ANDROIDBOOT[] = "androidboot";

struct BootDevice {
  std::array<char, DEVICE_NAME_SIZE> name;
  std::array<char, DEVICE_PATH_SIZE> path;
};

struct BootPartition {
  int32_t number;
  std::array<char, FS_TYPE_SIZE> fs_type;
  const BootDevice* device;  // null for the default device "/dev/block/mmcblk0"
};

struct BootRegion {
  std::array<char, REGION_NAME_SIZE> name;
  std::array<BootPartition, MAX_COPIES> copies;
  uint32_t copy_count;
};

struct BootSeqEntry {
  const BootRegion* region;
  const BootPartition* copy;
  uint32_t index;
};

struct BootMap {
  std::array<char, BOOTMAP_VALUE_SIZE> bmap;
  std::array<char, BOOTMAP_VALUE_SIZE> bmap_seq;
  std::array<char, BOOTMAP_VALUE_SIZE> bmap_dev;
  std::array<BootDevice, MAX_DEVICES> devices;
  uint32_t device_count;
  std::array<BootRegion, MAX_REGIONS> regions;
  uint32_t region_count;
  std::array<BootSeqEntry, MAX_REGIONS> active;
  uint32_t active_count;
};

// The process-wide map, read-only outside this module.
[[nodiscard]] const BootMap& bootmap();

// Clears the value slots, walks the kernel command line with bootmap_keys_hook and builds the
// tables. Returns 0.
int bootmap_init();

// Sets the three value slots directly and builds (null leaves a slot empty); false when a
// value is too long for its slot, which then stays empty. Used by tools and tests that have a
// map but no kernel command line.
bool bootmap_set_values(const char* bmap, const char* bmap_seq, const char* bmap_dev);

// Parses a map stored as kernel command-line tokens ("bmap_dev=... bmap=... bmap_seq=...", as
// bootmap_format writes it) into out, leaving the process-wide map alone; other tokens are
// ignored, and what the parse drops is named on standard error as for the command line. out
// holds pointers into itself: parse into the object that is used, never copy it. False when a
// value was too long (it then reads as absent).
bool bootmap_parse(std::string_view text, BootMap& out);

// The device path of the copy that map selects as active for the region name: 0, or -1 (out
// untouched) when the map has no active copy of that region or out is too small.
[[nodiscard]] int bootmap_active_device(const BootMap& map, const char* name, std::span<char> out);

// Lookups by region name (exact match, first active-copy entry wins). Each returns its "none"
// value (null, 0 or -1 as noted) for an absent name, a region without an active-copy entry, or
// a count out of range.
[[nodiscard]] const BootSeqEntry* bootmap_find(const char* name);                   // null
[[nodiscard]] int bootmap_region_count();                                           // -1
[[nodiscard]] const char* bootmap_region_name(int i);                               // null
[[nodiscard]] int bootmap_copy_count(const char* name);                             // 0
[[nodiscard]] int bootmap_active_index(const char* name);                           // -1
[[nodiscard]] int bootmap_copy_number(const char* name, int i);                     // -1
[[nodiscard]] const char* bootmap_copy_fs(const char* name, int i);                 // null
[[nodiscard]] const BootPartition* bootmap_copy_after(const char* name, int step);  // null
[[nodiscard]] int bootmap_next_number(const char* name);                            // -1
[[nodiscard]] const char* bootmap_next_fs(const char* name);                        // null
[[nodiscard]] int bootmap_active_number(const char* name);                          // -1
[[nodiscard]] const char* bootmap_active_fs(const char* name);                      // null
// Device path writers: 0, or -1 (out untouched) when the copy does not exist or out is empty.
[[nodiscard]] int bootmap_copy_device(const char* name, std::span<char> out, int i);
[[nodiscard]] int bootmap_next_device(const char* name, std::span<char> out);
[[nodiscard]] int bootmap_active_device(const char* name, std::span<char> out);
// The region of the matching active-copy entry and its position; null for none or "".
[[nodiscard]] const BootRegion* bootmap_find_by_name(const char* name, int* position);

}  // namespace vorn::bootmap
