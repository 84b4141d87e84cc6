#include "image/header_open.h"

#include <array>
#include <string_view>

#include "image/header_report.h"
#include "image/integrity.h"
#include "storage/header_reader.h"

namespace vorn::image {

namespace {

constexpr size_t INFOS_BUFFER_SIZE = 2048;  // a text-form header of up to 2047 bytes fits
std::array<uint8_t, INFOS_BUFFER_SIZE> g_infos_buffer;

constexpr int FULL_CHECKS[] = {VERIFY_CHECKSUM, VERIFY_CRC32, VERIFY_SHA1};

}  // namespace

HeaderHandle* header_open_checked(HeaderHandle* handle, int full) {
  if (storage::locator_read_header(handle) == nullptr) return nullptr;
  if (header_check(handle, VERIFY_NONE) == 0) return nullptr;
  if (full == 0) return handle;
  for (int method : FULL_CHECKS) {
    if (header_check(handle, method) == 0) return nullptr;
  }
  if (header_get_u32(handle, "contents_off") < HEADER_SIZE) return nullptr;
  header_print_report(handle);
  return handle;
}

int cmd_infos(const char* source, char* field_list) {
  if (source == nullptr || field_list == nullptr) return INFOS_MISSING_ARGUMENT;
  const std::string_view name = source;
  if (!name.starts_with("bmap@") && !name.starts_with("file@")) return INFOS_UNKNOWN_SOURCE;
  HeaderHandle handle;
  if (header_init(&handle, source, g_infos_buffer.data(), g_infos_buffer.size()) == nullptr ||
      storage::locator_read_header(&handle) == nullptr) {
    return INFOS_UNREADABLE;
  }
  if (header_check(&handle, VERIFY_NONE) == 0) return INFOS_INVALID;
  bool verified = true;
  for (int method : FULL_CHECKS) verified &= header_check(&handle, method) != 0;
  if (!verified) return INFOS_INTEGRITY;
  (void)infos_print_fields(&handle, field_list);
  return 0;
}

}  // namespace vorn::image
