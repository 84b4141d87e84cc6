#pragma once

// Region ids: a region name, optionally followed by "#" and a copy index (the copy at that
// position of the region's list) or "~" and a step (the next copy for any non-zero step, the
// active copy for 0), as in "boot", "system~1", "app#0".

#include <array>
#include <string_view>

#include "bootmap/boot_map.h"

namespace vorn::storage {

enum class CopySelector { ACTIVE, NEXT, INDEX };

struct RegionId {
  std::array<char, bootmap::REGION_NAME_SIZE> name;
  CopySelector selector;
  int index;  // the copy's position for CopySelector::INDEX
};

// Splits a region id; "#" is looked for before "~", so in a text holding both only "#"
// splits. False when the name is longer than a region name can be, or the index or step is not
// a plain decimal number (so that a typo such as "boot#x" never selects a copy).
[[nodiscard]] bool region_id_parse(std::string_view text, RegionId& out);

// The copy a region id selects in the process-wide boot map: its device path, partition
// number and file-system type.
struct SelectedCopy {
  std::array<char, bootmap::COPY_DEVICE_PATH_SIZE> device;
  int number;
  const char* fs_type;
};

// Fills out; false when the region has no active copy or the index lies outside its copies.
[[nodiscard]] bool region_id_select(const RegionId& id, SelectedCopy& out);

}  // namespace vorn::storage
