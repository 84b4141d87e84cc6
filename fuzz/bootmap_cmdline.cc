// The kernel command line through the start-up every command runs (boot map keys and hardware
// tag), then every lookup of the boot map, its next copies and device paths.
#include <array>

#include "bootmap/boot_map.h"
#include "cli/common_startup.h"
#include "fuzz_env.h"
#include "platform/fixed_paths.h"

using namespace vorn;
using namespace vorn::bootmap;

static void look_up(const char* name) {
  std::array<char, COPY_DEVICE_PATH_SIZE> path{};
  std::array<char, 12> small{};  // too short for most paths: refused, never cut
  const int count = bootmap_copy_count(name), active = bootmap_active_index(name);
  if (count > int(MAX_COPIES) || (count > 0) != (active >= 0) || active >= count) std::abort();
  for (int i = -1; i <= count; ++i) {
    (void)bootmap_copy_fs(name, i), (void)bootmap_copy_device(name, small, i);
    if (bootmap_copy_device(name, path, i) == 0 && i == (active + 1) % count &&
        bootmap_next_number(name) != bootmap_copy_number(name, i)) {
      std::abort();
    }
  }
  (void)bootmap_next_fs(name), (void)bootmap_active_fs(name), (void)bootmap_active_number(name);
  (void)bootmap_next_device(name, path), (void)bootmap_active_device(name, path);
  (void)bootmap_find_by_name(name, nullptr);
}

// Input: a region name to look up, a NUL, the command line.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setup();
  if (size > 2048) return 0;
  std::span<const uint8_t> rest(data, size);
  const std::string name = fuzz::take_text(rest);
  fuzz::write_file(platform::fixed_path(platform::FixedPath::KERNEL_CMDLINE), rest);
  (void)cli::common_startup();
  for (int i = 0; i < bootmap_region_count(); ++i) look_up(bootmap_region_name(i));
  look_up(name.c_str());
  return 0;
}
