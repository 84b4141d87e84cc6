#include "storage/header_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string_view>

#include "platform/fixed_text.h"
#include "storage/image_locator.h"
#include "storage/mount_manager.h"
#include "storage/region_io.h"

namespace vorn::storage {

namespace {

constexpr char INFO_FILE[] = "%vif-info%";

// Parses the locator text and releases it (unmounting what a file access mounted) when the
// read is over.
class ParsedSource {
 public:
  explicit ParsedSource(const char* text) : ok_(locator_parse(text, &locator_) != nullptr) {}
  ParsedSource(const ParsedSource&) = delete;
  ParsedSource& operator=(const ParsedSource&) = delete;
  ~ParsedSource() {
    if (ok_) (void)locator_unmount(&locator_);
  }
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] const ImageLocator* get() const { return &locator_; }

 private:
  ImageLocator locator_{};
  bool ok_;
};

bool try_raw(image::HeaderHandle& handle, const RegionOps& row) {
  std::array<char, LOCATOR_TEXT_SIZE> text{};
  if (!platform::format_text(text, "%s,raw@0x0:0x%x", handle.source.data(), image::HEADER_SIZE)) {
    return false;
  }
  ParsedSource source(text.data());
  if (!source.ok() || row.read_raw == nullptr) return false;
  const std::span<uint8_t> header(handle.data, image::HEADER_SIZE);
  if (row.read_raw(source.get(), header, 0) != static_cast<int64_t>(image::HEADER_SIZE)) {
    return false;
  }
  handle.form = image::FORM_BINARY;
  handle.data_len = image::HEADER_SIZE;
  return true;
}

bool try_file(image::HeaderHandle& handle, const RegionOps& row, bool image_file) {
  std::array<char, LOCATOR_TEXT_SIZE> text{};
  const bool whole =
      image_file ? platform::copy_text(text, handle.source.data())
                 : platform::format_text(text, "%s,ext4@/%s", handle.source.data(), INFO_FILE);
  if (!whole) return false;
  ParsedSource source(text.data());
  if (!source.ok() || row.read_file == nullptr || row.file_size == nullptr) return false;
  int64_t size = row.file_size(source.get());
  if (size < 0) return false;
  if (image_file) {
    size = std::min<int64_t>(size, image::HEADER_SIZE);
  } else if (static_cast<uint32_t>(size) >= handle.capacity) {
    return false;  // the text needs room for its terminating NUL
  }
  const std::span<uint8_t> buffer(handle.data, handle.capacity);
  // A failed raw attempt may have left bytes behind; the text must end where it ends.
  std::fill(buffer.begin(), buffer.end(), 0);
  if (row.read_file(source.get(), buffer.first(static_cast<size_t>(size)), 0) != size) {
    return false;
  }
  handle.data_len = static_cast<uint32_t>(size);
  handle.form = image_file ? image::FORM_BINARY : image::FORM_TEXT;
  return true;
}

}  // namespace

image::HeaderHandle* locator_read_header(image::HeaderHandle* handle) {
  if (handle == nullptr || handle->data == nullptr) return nullptr;
  const std::string_view name = handle->source.data();
  const bool image_file = name.starts_with("file@");
  const RegionOps* row = region_ops_find(handle->source.data());
  if (row == nullptr) return nullptr;
  if (handle->capacity < image::HEADER_SIZE) return nullptr;
  if (!image_file && (row->access_kinds & ACCESS_RAW) != 0 && try_raw(*handle, *row)) {
    return handle;
  }
  if ((row->access_kinds & ACCESS_FILE) == 0) return nullptr;
  return try_file(*handle, *row, image_file) ? handle : nullptr;
}

}  // namespace vorn::storage
