#include "storage/header_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "platform/fixed_text.h"
#include "storage/image_locator.h"
#include "storage/mount_manager.h"
#include "storage/path_io.h"
#include "storage/region_io.h"
#include "storage/url_source.h"

namespace vorn::storage {

namespace {

constexpr char INFO_FILE[] = "%vif-info%";
static_assert(image::SOURCE_SIZE >= URL_TEXT_SIZE, "a handle holds any URL");

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

// Fills the handle from an opened file: an image file's first 1024 bytes (fewer when it is
// shorter), or a whole text form, which must leave room for its terminating NUL.
bool read_opened(image::HeaderHandle& handle, const platform::UniqueFd& file, bool image_file) {
  int64_t size = fd_size(file);
  if (image_file) {
    size = std::min<int64_t>(size, image::HEADER_SIZE);
  } else if (static_cast<uint64_t>(size) >= handle.capacity) {
    return false;
  }
  const std::span<uint8_t> buffer(handle.data, handle.capacity);
  // A failed raw attempt may have left bytes behind; the text must end where it ends.
  std::fill(buffer.begin(), buffer.end(), 0);
  if (fd_read_capped(file, buffer.first(static_cast<size_t>(size)), 0) != size) return false;
  handle.data_len = static_cast<uint32_t>(size);
  handle.form = image_file ? image::FORM_BINARY : image::FORM_TEXT;
  return true;
}

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
  if (!source.ok() || row.open_file == nullptr) return false;
  // Opened once for its size and its bytes. A file that cannot be opened (missing, or not a
  // regular file) reads as empty; the validation then refuses it.
  const std::optional<platform::UniqueFd> file = row.open_file(source.get());
  return file && read_opened(handle, *file, image_file);
}

// An image on an update server: its header as fetched for this command, kept only when the
// file on the server is long enough for the contents the header names (refused before
// anything of it is written).
bool read_url(image::HeaderHandle& handle) {
  UrlHeader header;
  if (url_read_header(handle.source.data(), &header) != URL_OK) return false;
  const std::span<uint8_t> buffer(handle.data, handle.capacity);
  std::fill(buffer.begin(), buffer.end(), 0);
  std::ranges::copy(header.bytes, buffer.begin());
  handle.data_len = static_cast<uint32_t>(header.bytes.size());
  handle.form = image::FORM_BINARY;
  if (image::header_validate(&handle) == 0) return true;  // refused by the checks, as a file
  const int64_t needed = int64_t{image::header_get_u32(&handle, "contents_off")} +
                         image::header_get_u32(&handle, "contents_size");
  if (header.total >= needed) return true;
  std::array<char, 96> why{};
  platform::format_text(why, "another length (%lld bytes, the header needs %lld)",
                        static_cast<long long>(header.total), static_cast<long long>(needed));
  return url_fail(handle.source.data(), URL_OTHER_LENGTH, why.data()) == URL_OK;
}

}  // namespace

image::HeaderHandle* file_read_header(image::HeaderHandle* handle, const platform::UniqueFd& file) {
  if (handle == nullptr || handle->data == nullptr || handle->capacity < image::HEADER_SIZE) {
    return nullptr;
  }
  return read_opened(*handle, file, /*image_file=*/true) ? handle : nullptr;
}

image::HeaderHandle* locator_read_header(image::HeaderHandle* handle) {
  if (handle == nullptr || handle->data == nullptr) return nullptr;
  const std::string_view name = handle->source.data();
  const bool image_file = name.starts_with("file@");
  if (handle->capacity < image::HEADER_SIZE) return nullptr;
  if (is_url(handle->source.data())) return read_url(*handle) ? handle : nullptr;
  const RegionOps* row = region_ops_find(handle->source.data());
  if (row == nullptr) return nullptr;
  if (!image_file && (row->access_kinds & ACCESS_RAW) != 0 && try_raw(*handle, *row)) {
    return handle;
  }
  if ((row->access_kinds & ACCESS_FILE) == 0) return nullptr;
  return try_file(*handle, *row, image_file) ? handle : nullptr;
}

}  // namespace vorn::storage
