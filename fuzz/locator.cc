// Locators and region ids against two boot maps: as typed, as the header reader extends them,
// and the region table lookup.
#include <array>

#include "bootmap/boot_map.h"
#include "fuzz_env.h"
#include "platform/fixed_text.h"
#include "storage/image_locator.h"
#include "storage/region_id.h"
#include "storage/region_io.h"

using namespace vorn;

// bmap, bmap_seq, bmap_dev: named devices; a device path too long for a locator.
constexpr std::array<std::array<const char*, 3>, 2> MAPS = {{
    {"boot:1%androidboot:2,system:3:4,app:5:sd@6,recovery:7%raw", "1:3:sd@6:7",
     "sd:/dev/block/mmcblk1"},
    {"boot:long@1:2,system:3:4:5:6:7", "long@1:7", "long:/dev/block/platform/soc/by-name/x"},
}};

static void parse(const std::string& text) {
  storage::ImageLocator locator;
  if (storage::locator_parse(text.c_str(), &locator) == nullptr) return;
  const auto ends = [](std::span<const char> s) {
    return platform::slot_text(s).size() < s.size();
  };
  if (!ends(locator.dev_path) || !ends(locator.fs_type) || !ends(locator.fs_path) ||
      (locator.is_raw != 0) != (platform::slot_text(locator.fs_type) == "raw")) {
    std::abort();
  }
}

// Input: the locator text, a NUL, a byte that picks the map.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 512) return 0;
  std::span<const uint8_t> rest(data, size);
  const std::string text = fuzz::take_text(rest);
  const auto& map = MAPS[rest.empty() ? 0 : rest[0] % MAPS.size()];
  (void)bootmap::bootmap_set_values(map[0], map[1], map[2]);
  (void)storage::region_ops_find(text.c_str());
  storage::RegionId id;
  storage::SelectedCopy copy;
  if (storage::region_id_parse(text, id)) (void)storage::region_id_select(id, copy);
  for (const char* tail : {"", ",raw@0x0:0x400", ",ext4@/%vif-info%"}) parse(text + tail);
  return 0;
}
