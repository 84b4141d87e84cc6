#include "storage/header_open.h"

#include "image/header_report.h"
#include "image/integrity.h"
#include "storage/header_reader.h"

namespace vorn::storage {

namespace {

constexpr int FULL_CHECKS[] = {image::VERIFY_CHECKSUM, image::VERIFY_CRC32, image::VERIFY_SHA1};

bool integrity_verified(image::HeaderHandle* handle) {
  for (int method : FULL_CHECKS) {
    if (image::header_check(handle, method) == 0) return false;
  }
  return true;
}

// The checks of header_open_checked on a header read already.
image::HeaderHandle* header_checked(image::HeaderHandle* handle, int full) {
  if (image::header_check(handle, image::VERIFY_NONE) == 0) return nullptr;
  if (full == 0) return handle;
  if (!integrity_verified(handle)) return nullptr;
  if (image::header_get_u32(handle, "contents_off") < image::HEADER_SIZE) return nullptr;
  image::header_print_report(handle);
  return handle;
}

}  // namespace

image::HeaderHandle* header_open_checked(image::HeaderHandle* handle, int full) {
  if (locator_read_header(handle) == nullptr) return nullptr;
  return header_checked(handle, full);
}

image::HeaderHandle* header_open_checked(image::HeaderHandle* handle, int full,
                                         const platform::UniqueFd& file) {
  if (file_read_header(handle, file) == nullptr) return nullptr;
  return header_checked(handle, full);
}

bool header_verified(image::HeaderHandle* handle) {
  return image::header_check(handle, image::VERIFY_NONE) != 0 && integrity_verified(handle);
}

}  // namespace vorn::storage
