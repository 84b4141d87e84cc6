#include "bootmap/boot_map_format.h"

#include <array>
#include <cstring>
#include <string_view>

#include "platform/fixed_text.h"

namespace vorn::bootmap {

namespace {

using platform::append_format;
using platform::slot_text;
using Value = std::array<char, BOOTMAP_VALUE_SIZE>;

// Appends one copy reference: "name@number" on a named device, the number alone otherwise.
bool append_copy(Value& value, const BootPartition& copy, const char* separator) {
  if (copy.device != nullptr) {
    return append_format(value, "%s%s@%d", separator, copy.device->name.data(), copy.number);
  }
  return append_format(value, "%s%d", separator, copy.number);
}

bool format_devices(const BootMap& map, Value& value) {
  const uint32_t count = map.device_count <= MAX_DEVICES ? map.device_count : 0;
  bool whole = true;
  for (uint32_t i = 0; i < count; ++i) {
    whole &= append_format(value, "%s%s:%s", i ? "," : "", map.devices[i].name.data(),
                           map.devices[i].path.data());
  }
  return whole;
}

bool format_regions(const BootMap& map, Value& value) {
  const uint32_t count = map.region_count <= MAX_REGIONS ? map.region_count : 0;
  bool whole = true;
  for (uint32_t r = 0; r < count; ++r) {
    const BootRegion& region = map.regions[r];
    whole &= append_format(value, "%s%s:", r ? "," : "", region.name.data());
    const uint32_t copies = region.copy_count <= MAX_COPIES ? region.copy_count : 0;
    for (uint32_t c = 0; c < copies; ++c) {
      const BootPartition& copy = region.copies[c];
      whole &= append_copy(value, copy, c ? ":" : "");
      if (std::strcmp(copy.fs_type.data(), FS_EXT4) != 0) {
        whole &= append_format(value, "%%%s", copy.fs_type.data());
      }
    }
  }
  return whole;
}

// Marks the active-copy entries named in changes.
std::array<bool, MAX_REGIONS> marked_entries(std::span<const BootSeqEntry> active,
                                             std::string_view changes) {
  std::array<bool, MAX_REGIONS> marked{};
  while (!changes.empty()) {
    const size_t comma = changes.find(',');
    const std::string_view item = changes.substr(0, comma);
    if (item.empty()) break;
    for (size_t i = 0; i < active.size(); ++i) {
      if (active[i].region != nullptr && slot_text(active[i].region->name) == item) {
        marked[i] = true;
        break;
      }
    }
    if (comma == std::string_view::npos) break;
    changes.remove_prefix(comma + 1);
  }
  return marked;
}

bool format_active(const BootMap& map, std::string_view changes, Value& value) {
  const std::span<const BootSeqEntry> active(
      map.active.data(), map.active_count <= MAX_REGIONS ? map.active_count : 0);
  const std::array<bool, MAX_REGIONS> marked = marked_entries(active, changes);
  bool whole = true;
  for (size_t i = 0; i < active.size(); ++i) {
    const BootSeqEntry& entry = active[i];
    const BootPartition* copy = entry.copy;
    const uint32_t copies = entry.region ? entry.region->copy_count : 0;
    if (marked[i] && copies > 0 && copies <= MAX_COPIES && entry.index < copies) {
      copy = &entry.region->copies[(entry.index + 1) % copies];
    }
    if (copy == nullptr) return false;
    whole &= append_copy(value, *copy, i ? ":" : "");
  }
  return whole;
}

}  // namespace

int bootmap_format(const BootMap& map, const char* changes, std::span<char> out) {
  if (changes == nullptr || out.empty()) return BOOTMAP_FORMAT_ABSENT;
  out[0] = '\0';
  Value devices{}, regions{}, active{};
  if (!format_devices(map, devices) || !format_regions(map, regions) ||
      !format_active(map, changes, active)) {
    return BOOTMAP_FORMAT_TOO_LONG;
  }
  bool whole = true;
  if (map.device_count != 0) whole &= append_format(out, "bmap_dev=%s ", devices.data());
  if (map.region_count != 0) whole &= append_format(out, "bmap=%s ", regions.data());
  if (map.active_count != 0) whole &= append_format(out, "bmap_seq=%s", active.data());
  if (!whole) {
    out[0] = '\0';
    return BOOTMAP_FORMAT_TOO_LONG;
  }
  return 0;
}

int bootmap_format(const char* changes, std::span<char> out) {
  return bootmap_format(bootmap(), changes, out);
}

}  // namespace vorn::bootmap
