#include "storage/region_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_open.h"
#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "storage/mount_manager.h"
#include "storage/path_io.h"

namespace vorn::storage {

namespace {

// A mount point and a path of up to 127 characters inside it.
constexpr size_t RESOLVED_PATH_SIZE = 256;

// clang-format off
constexpr RegionOps REGION_TABLE[] = {
    {.prefix = "bmap@boot", .access_kinds = ACCESS_RAW | ACCESS_FILE, .read_raw = read_raw,
     .write_raw = write_raw, .read_file = read_file, .write_file = write_file,
     .file_size = file_size, .open_file = open_file, .prefix_len = 9},
    {.prefix = "bmap@system", .access_kinds = ACCESS_FILE, .read_raw = read_raw,
     .write_raw = write_raw, .read_file = read_file, .write_file = write_file,
     .file_size = file_size, .open_file = open_file, .prefix_len = 11},
    {.prefix = "bmap@app", .access_kinds = ACCESS_FILE, .read_raw = read_raw,
     .write_raw = write_raw, .read_file = read_file, .write_file = write_file,
     .file_size = file_size, .open_file = open_file, .prefix_len = 8},
    {.prefix = "bmap@recovery", .access_kinds = ACCESS_RAW, .read_raw = read_raw,
     .write_raw = write_raw, .read_file = nullptr, .write_file = nullptr, .file_size = nullptr,
     .open_file = nullptr, .prefix_len = 13},
    {.prefix = "dev@", .access_kinds = ACCESS_RAW, .read_raw = read_raw, .write_raw = write_raw,
     .read_file = nullptr, .write_file = nullptr, .file_size = nullptr, .open_file = nullptr,
     .prefix_len = 4},
    {.prefix = "file@", .access_kinds = ACCESS_FILE, .read_raw = nullptr, .write_raw = nullptr,
     .read_file = read_file, .write_file = write_file, .file_size = file_size,
     .open_file = open_file, .prefix_len = 5},
};
// clang-format on

consteval bool prefix_lengths_match() {
  for (const RegionOps& row : REGION_TABLE) {
    if (std::string_view(row.prefix).size() != row.prefix_len) return false;
  }
  return true;
}
static_assert(prefix_lengths_match(), "each row compares exactly its prefix");

// Where the file system of a device-file locator is mounted: where it is mounted already, or
// the private mount point after mounting it there. False when the mount fails.
bool mounted_root(const ImageLocator& locator, MountMode mode, std::string& dir) {
  if (const MountedVolume* volume = mounts_find_elsewhere(locator.dev_path.data())) {
    dir = volume->mount_point;
    return true;
  }
  if (mount_locator(&locator, mode) != 0) return false;
  dir = platform::fixed_path(platform::FixedPath::PRIVATE_MOUNT);
  return true;
}

// The path of a file locator's file: the plain path, or the mount point of its device
// followed by fs_path.
bool resolve_file_path(const ImageLocator& locator, std::span<char> out, MountMode mode) {
  if (locator.dev_path[0] == '\0') return platform::copy_text_whole(out, locator.fs_path.data());
  std::string dir;
  return mounted_root(locator, mode, dir) &&
         platform::format_text(out, "%s%s", dir.c_str(), locator.fs_path.data());
}

}  // namespace

const RegionOps* region_ops_find(const char* name) {
  if (name == nullptr) return nullptr;
  const std::string_view text = name;
  for (const RegionOps& row : REGION_TABLE) {
    const std::string_view prefix = row.prefix;
    const bool match = row.prefix_len == 0
                           ? text == prefix
                           : text.substr(0, row.prefix_len) == prefix.substr(0, row.prefix_len);
    if (match) return &row;
  }
  return nullptr;
}

int64_t read_raw(const ImageLocator* locator, std::span<uint8_t> buffer, int64_t offset) {
  if (locator == nullptr || buffer.data() == nullptr) return -1;
  return path_read_at(locator->dev_path.data(), buffer, offset);
}

int64_t write_raw(const ImageLocator* locator, std::span<const uint8_t> data, int64_t offset) {
  if (locator == nullptr || data.data() == nullptr) return -1;
  // Never write underneath a mounted file system.
  // A block device is checked by its exclusive open, which also covers mounts in other mount
  // namespaces; anything else by the mount list.
  struct stat st {};
  const bool block = ::stat(locator->dev_path.data(), &st) == 0 && S_ISBLK(st.st_mode);
  if (!block && device_is_mounted(locator->dev_path.data())) return -1;
  return device_write_at(locator->dev_path.data(), data, offset, /*sync=*/false,
                         /*exclusive=*/true);
}

std::optional<platform::UniqueFd> open_file(const ImageLocator* locator) {
  if (locator == nullptr || locator->is_raw) return std::nullopt;
  if (locator->dev_path[0] == '\0') {
    return platform::open_for_reading(locator->fs_path.data(), platform::OpenKind::REGULAR);
  }
  std::string dir;
  if (!mounted_root(*locator, MountMode::READ_ONLY, dir)) return std::nullopt;
  // Resolved from the mount point, so that nothing of the file system leads out of it.
  return platform::open_beneath(dir.c_str(), locator->fs_path.data());
}

int64_t read_file(const ImageLocator* locator, std::span<uint8_t> buffer, int64_t offset) {
  if (locator == nullptr || buffer.data() == nullptr) return -1;
  const std::optional<platform::UniqueFd> file = open_file(locator);
  if (!file) return -1;
  return fd_read_capped(*file, buffer, offset);
}

int64_t write_file(const ImageLocator* locator, std::span<const uint8_t> data, int64_t offset) {
  if (locator == nullptr || data.data() == nullptr) return -1;
  std::array<char, RESOLVED_PATH_SIZE> path{};
  if (!resolve_file_path(*locator, path, MountMode::READ_WRITE)) return -1;
  return path_write_at(path.data(), data, offset);
}

int64_t file_size(const ImageLocator* locator) {
  const std::optional<platform::UniqueFd> file = open_file(locator);
  if (!file) return -1;
  return fd_size(*file);
}

int64_t locator_size(const char* text) {
  ImageLocator locator;
  if (locator_parse(text, &locator) == nullptr) return -1;
  if (locator.is_raw) return locator_raw_size(&locator);
  return file_size(&locator);
}

namespace {

// Parses a raw locator text; false for anything else.
bool parse_raw(const char* text, ImageLocator& locator) {
  return locator_parse(text, &locator) != nullptr && locator.is_raw == 1;
}

}  // namespace

int64_t locator_device_size(const char* text) {
  ImageLocator locator;
  if (!parse_raw(text, locator)) return -1;
  return path_size(locator.dev_path.data());
}

int locator_sync(const char* text) {
  ImageLocator locator;
  if (!parse_raw(text, locator)) return -1;
  return device_sync(locator.dev_path.data());
}

platform::UniqueFd locator_open(const char* text) {
  ImageLocator locator;
  if (locator_parse(text, &locator) == nullptr) return platform::UniqueFd();
  std::optional<platform::UniqueFd> file = open_file(&locator);
  return file ? std::move(*file) : platform::UniqueFd();
}

platform::UniqueFd locator_hold(const char* text) {
  ImageLocator locator;
  if (!parse_raw(text, locator)) return platform::UniqueFd();
  return platform::UniqueFd(::open(locator.dev_path.data(), O_RDONLY | O_CLOEXEC));
}

int64_t locator_crc32(const char* text, uint32_t* crc) {
  ImageLocator locator;
  if (!parse_raw(text, locator)) return -1;
  return device_crc32(locator.dev_path.data(), static_cast<int64_t>(locator.raw_offset),
                      static_cast<int64_t>(locator.raw_size), crc);
}

namespace {

// Moves bytes between a buffer and what a locator text names: the raw window (which must fit
// the buffer) or length bytes at offset of the file.
template <typename Byte>
int64_t locator_transfer(const char* text, std::span<Byte> buffer, int64_t offset, int64_t length,
                         int64_t (*raw)(const ImageLocator*, std::span<Byte>, int64_t),
                         int64_t (*file)(const ImageLocator*, std::span<Byte>, int64_t)) {
  if (buffer.data() == nullptr) return -1;
  ImageLocator locator;
  if (locator_parse(text, &locator) == nullptr) return -1;
  if (locator.is_raw) {
    if (locator.raw_size > buffer.size()) return -1;
    if (locator.raw_offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    return raw(&locator, buffer.first(static_cast<size_t>(locator.raw_size)),
               static_cast<int64_t>(locator.raw_offset));
  }
  if (length < 0 || static_cast<size_t>(length) > buffer.size()) return -1;
  return file(&locator, buffer.first(static_cast<size_t>(length)), offset);
}

}  // namespace

int64_t locator_read(const char* text, std::span<uint8_t> buffer, int64_t offset, int64_t length) {
  return locator_transfer<uint8_t>(text, buffer, offset, length, read_raw, read_file);
}

int64_t locator_write(const char* text, std::span<const uint8_t> buffer, int64_t offset,
                      int64_t length) {
  return locator_transfer<const uint8_t>(text, buffer, offset, length, write_raw, write_file);
}

}  // namespace vorn::storage
