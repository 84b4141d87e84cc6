#include "upgrade/bootable_copies.h"

#include <array>
#include <string_view>

#include "bootmap/boot_map.h"
#include "settings/boot_env.h"

namespace vorn::upgrade {

bool copy_is_bootable(const char* region, const char* device) {
  if (region == nullptr || device == nullptr) return false;
  const std::string_view copy = device;
  std::array<char, bootmap::COPY_DEVICE_PATH_SIZE> path{};
  if (bootmap::bootmap_active_device(region, path) == 0 && copy == path.data()) return true;
  const char* stored = settings::bootenv_get("bmap");
  if (stored == nullptr) return false;
  bootmap::BootMap next;
  (void)bootmap::bootmap_parse(stored, next);
  return bootmap::bootmap_active_device(next, region, path) == 0 && copy == path.data();
}

}  // namespace vorn::upgrade
