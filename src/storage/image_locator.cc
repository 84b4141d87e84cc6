#include "storage/image_locator.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "bootmap/boot_map.h"
#include "platform/fixed_text.h"
#include "platform/number_text.h"
#include "storage/mount_manager.h"
#include "storage/region_id.h"

namespace vorn::storage {

namespace {

using platform::copy_text;
using platform::copy_text_whole;

constexpr std::string_view PLAIN_FILE = "file@!";
constexpr std::string_view DEVICE_FILE = "file@";
constexpr std::string_view REGION = "bmap@";

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "ext4@/path" or "vfat@/path" (vfat only when allowed): sets fs_type and fs_path.
bool parse_fs_proto(std::string_view proto, bool allow_vfat, ImageLocator& locator) {
  for (const char* fs : {"ext4", "vfat"}) {
    const std::string_view type = fs;
    if (type == "vfat" && !allow_vfat) continue;
    if (proto.size() > type.size() && starts_with(proto, type) && proto[type.size()] == '@') {
      copy_text(locator.fs_type, type);
      return copy_text_whole(locator.fs_path, proto.substr(type.size() + 1));
    }
  }
  return false;
}

bool parse_device_file(std::string_view rest, std::string_view proto, ImageLocator& locator) {
  const size_t first = rest.find(':');
  if (first == std::string_view::npos) return false;
  const size_t second = rest.find(':', first + 1);
  if (second == std::string_view::npos) return false;
  if (!copy_text_whole(locator.dev_path, rest.substr(0, first))) return false;
  locator.dev_no = platform::decimal_prefix(rest.substr(first + 1, second - first - 1));
  locator.part_no = platform::decimal_prefix(rest.substr(second + 1));
  return parse_fs_proto(proto, /*allow_vfat=*/true, locator);
}

// Selects the copy named by a region part ("boot", "boot#1", "boot~1") and stores its device
// path and partition number.
bool select_copy(std::string_view region_part, ImageLocator& locator) {
  RegionId id;
  if (!region_id_parse(region_part, id)) return false;
  SelectedCopy copy;
  if (!region_id_select(id, copy)) return false;
  if (!copy_text_whole(locator.dev_path, copy.device.data())) return false;
  locator.part_no = copy.number;
  locator.dev_no = 0;
  return true;
}

// A raw window "raw@<offset>:<size>", both hexadecimal.
bool parse_window(std::string_view window, ImageLocator& locator) {
  const size_t colon = window.find(':');
  if (colon == std::string_view::npos) return false;
  const std::optional<uint64_t> offset = platform::hex_prefix64(window.substr(0, colon));
  const std::optional<uint64_t> size = platform::hex_prefix64(window.substr(colon + 1));
  if (!offset || !size || *offset > INT64_MAX || *size > INT64_MAX) return false;
  locator.raw_offset = *offset;
  locator.raw_size = *size;
  locator.is_raw = 1;
  copy_text(locator.fs_type, "raw");
  return true;
}

bool parse_region(std::string_view region_part, std::string_view proto, ImageLocator& locator) {
  if (!select_copy(region_part, locator)) return false;
  constexpr std::string_view RAW = "raw@";
  if (starts_with(proto, RAW)) return parse_window(proto.substr(RAW.size()), locator);
  return parse_fs_proto(proto, /*allow_vfat=*/false, locator);
}

}  // namespace

ImageLocator* locator_parse(const char* text, ImageLocator* locator) {
  if (text == nullptr || locator == nullptr) return nullptr;
  const std::string_view whole = text;
  if (whole.size() > LOCATOR_TEXT_MAX) return nullptr;
  const size_t comma = whole.find(',');
  if (comma == std::string_view::npos) return nullptr;
  const std::string_view file_id = whole.substr(0, comma);
  const std::string_view proto = whole.substr(comma + 1);
  *locator = ImageLocator{};

  bool ok = false;
  if (starts_with(file_id, PLAIN_FILE)) {
    ok = copy_text_whole(locator->fs_path, proto);
  } else if (starts_with(file_id, DEVICE_FILE)) {
    ok = parse_device_file(file_id.substr(DEVICE_FILE.size()), proto, *locator);
  } else if (starts_with(file_id, REGION)) {
    ok = parse_region(file_id.substr(REGION.size()), proto, *locator);
  }
  if (!ok) {
    *locator = ImageLocator{};
    return nullptr;
  }
  return locator;
}

int64_t locator_raw_size(const ImageLocator* locator) {
  return locator ? static_cast<int64_t>(locator->raw_size) : -1;
}

int locator_release(const char* text) {
  ImageLocator locator;
  if (locator_parse(text, &locator) == nullptr) return -1;
  if (locator.is_raw) return 0;
  return locator_unmount(&locator);
}

}  // namespace vorn::storage
