#include <array>
#include <cstring>
#include <string_view>

#include "bootmap/boot_map.h"
#include "cli/command_table.h"
#include "cli/dispatcher.h"
#include "cli/list_images.h"
#include "core/output.h"
#include "image/header_handle.h"
#include "image/integrity.h"
#include "platform/fixed_text.h"
#include "storage/header_open.h"
#include "storage/header_reader.h"

namespace vorn::cli {

namespace {

constexpr size_t LISTING_HEADER_BUFFER = 2048;  // room for a text-form header
constexpr size_t TEXT_SIZE = 128;
constexpr char NOT_VALID[] = "   -          -           -    ";

std::array<uint8_t, LISTING_HEADER_BUFFER> g_header_buffer;

bool header_is_valid(image::HeaderHandle& handle) {
  return storage::locator_read_header(&handle) != nullptr && storage::header_verified(&handle);
}

void print_string_field(image::HeaderHandle& handle, const char* name, const char* format) {
  std::array<char, TEXT_SIZE> text{};
  // A field that cannot be read shows as a hyphen, like the columns of an invalid copy.
  if (image::header_get_string(&handle, name, text.data(), text.size()) == nullptr) {
    platform::copy_text(text, "-");
  }
  core::info_printf(format, text.data());
}

}  // namespace

void list_image_line(const char* region, int copy_index) {
  std::array<char, TEXT_SIZE> text{};
  platform::format_text(text, "bmap@%s#%d", region, copy_index);
  image::HeaderHandle handle;
  const bool prepared = image::header_init(&handle, text.data(), g_header_buffer.data(),
                                           g_header_buffer.size()) != nullptr;

  text.fill('\0');
  (void)bootmap::bootmap_copy_device(region, text, copy_index);
  core::info_printf("%-22s ", text.data());
  const char* fs = bootmap::bootmap_copy_fs(region, copy_index);
  core::info_printf("%-12s ", fs ? fs : "");

  if (prepared && header_is_valid(handle)) {
    print_string_field(handle, "alias", "%-8s ");
    print_string_field(handle, "version", "%-12s ");
    core::info_printf("<%c %c %c %c>", 'o', 'o', 'o', 'o');
    if (fs != nullptr && std::strcmp(fs, bootmap::FS_ANDROIDBOOT) == 0)
      core::info_printf(" bootable");
  } else {
    core::info_printf("%s", NOT_VALID);
  }
  core::info_printf("\n");
}

int list_images() {
  const int regions = bootmap::bootmap_region_count();
  for (int i = 0; i < regions; ++i) {
    const char* name = bootmap::bootmap_region_name(i);
    if (name == nullptr) continue;
    const int copies = bootmap::bootmap_copy_count(name);
    const int active = bootmap::bootmap_active_index(name);
    for (int c = 0; c < copies; ++c) {
      if (c == 0) {
        core::info_printf("%8s - ", name);
      } else {
        core::info_printf("%7s`+- ", "");
      }
      core::info_printf(c == active ? "[v] " : "[ ] ");
      list_image_line(name, c);
    }
  }
  return 0;
}

// "list images" lists the copies; "list bmaps", a bare "list" or any other word do nothing.
int list_command(int argc, char** argv) {
  const char* what = arg(argc, argv, 2);
  if (what != nullptr && std::string_view(what) == "images") (void)list_images();
  return 0;
}

}  // namespace vorn::cli
