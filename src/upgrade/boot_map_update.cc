#include "upgrade/boot_map_update.h"

#include <array>

#include "bootmap/boot_map_format.h"
#include "core/output.h"
#include "settings/boot_env.h"
#include "upgrade/trial_boot.h"

namespace vorn::upgrade {

int bootmap_update(const char* changes) {
  if (changes == nullptr) return BOOTMAP_UPDATE_ABSENT;
  std::array<char, bootmap::BOOTMAP_TEXT_SIZE> text{};
  if (bootmap::bootmap_format(changes, text) != 0) {
    core::info_printf("[Error] bmap config too long(\"%s\")!\n", changes);
    return BOOTMAP_UPDATE_FORMAT;
  }
  if (trial_store_switch(text.data()) != settings::BOOTENV_OK) {
    core::info_printf("[Error] bmap config not stored(\"%s\")!\n", changes);
    return BOOTMAP_UPDATE_STORE;
  }
  core::info_printf("Updated 'bmap config'(\"%s\") is \"%s\"\n", changes, text.data());
  core::info_printf("[Caution] bmap conifig change is defered before reboot!\n");
  return 0;
}

}  // namespace vorn::upgrade
