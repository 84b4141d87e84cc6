// The kernel command line through the start-up every command runs (boot map keys and hardware
// tag), every lookup of the boot map, its next copies and device paths, and the map formatted
// for the next boot, which must read back as the same map.
#include <array>
#include <cstring>

#include "bootmap/boot_map.h"
#include "bootmap/boot_map_format.h"
#include "cli/common_startup.h"
#include "fuzz_env.h"
#include "platform/fixed_paths.h"

using namespace vorn;
using namespace vorn::bootmap;

static void look_up(const char* name) {
  std::array<char, COPY_DEVICE_PATH_SIZE> path{};
  const int count = bootmap_copy_count(name), active = bootmap_active_index(name);
  if (count > int(MAX_COPIES) || (count > 0) != (active >= 0) || active >= count) std::abort();
  for (int i = -1; i <= count; ++i) {
    (void)bootmap_copy_fs(name, i);
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
  if (size > 2048) return 0;
  std::span<const uint8_t> rest(data, size);
  const std::string name = fuzz::take_text(rest);
  const auto start = [](std::span<const uint8_t> cmdline) {
    fuzz::write_file(platform::fixed_path(platform::FixedPath::KERNEL_CMDLINE), cmdline);
    (void)cli::common_startup();
  };
  start(rest);
  for (int i = 0; i < bootmap_region_count(); ++i) look_up(bootmap_region_name(i));
  look_up(name.c_str());
  std::array<char, BOOTMAP_TEXT_SIZE> first{}, again{};
  std::array<char, 64> small{};
  // Formatted with name moved on, into too little room: refused, never cut.
  if (bootmap_format(name.c_str(), small) != 0 && small[0] != '\0') std::abort();
  if (bootmap_format("", first) != 0) return 0;
  start({reinterpret_cast<const uint8_t*>(first.data()), std::strlen(first.data())});
  if (bootmap_format("", again) != 0 || std::strcmp(first.data(), again.data()) != 0) std::abort();
  return 0;
}
