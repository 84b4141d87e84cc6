#include "image/header_report.h"

#include <time.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>

#include "core/output.h"
#include "image/field_table.h"
#include "platform/fixed_text.h"

namespace vorn::image {

namespace {

// One buffer for every value the report reads.
constexpr uint32_t REPORT_VALUE_SIZE = 1024;

const char* type_label(uint32_t type) {
  if (type == HDR_TYPE_IMAGE) return ".VIF";
  if (type == HDR_TYPE_PACKAGE) return ".PKG";
  return "other";
}

const char* contents_label(uint32_t type) {
  if (type == CONTENTS_ANDROIDBOOT) return "androidboot";
  if (type == CONTENTS_EXT4) return "ext4";
  return "raw";
}

void report_u32(const HeaderHandle& handle, const char* name) {
  const uint32_t value = header_get_u32(&handle, name);
  if (value != 0) core::info_printf(" `+<%s>=0x%x\n", name, value);
}

void report_string(const HeaderHandle& handle, const char* name,
                   std::array<uint8_t, REPORT_VALUE_SIZE>& scratch) {
  char* text = reinterpret_cast<char*>(scratch.data());
  if (header_get_string(&handle, name, text, REPORT_VALUE_SIZE) != nullptr) {
    core::info_printf(" `+<%s>=%s\n", name, text);
  }
}

void report_binary(const HeaderHandle& handle, const char* name,
                   std::array<uint8_t, REPORT_VALUE_SIZE>& scratch) {
  const uint32_t length = header_get_binary(&handle, name, scratch.data(), REPORT_VALUE_SIZE);
  if (length == 0) return;
  core::info_printf(" `+<%s>=", name);
  print_hex(length, scratch.data());
  core::info_printf("\n");
}

}  // namespace

int header_print_report(const HeaderHandle* handle) {
  if (handle == nullptr || handle->version != 1) return 0;
  const HeaderHandle& h = *handle;
  std::array<uint8_t, REPORT_VALUE_SIZE> scratch{};
  core::info_printf("[VIF Header(v1) Infos]\n");
  report_binary(h, "magic", scratch);
  report_u32(h, "hdr_version");
  if (const uint32_t type = header_get_u32(&h, "hdr_type"); type != 0) {
    core::info_printf(" `+<hdr_type>=0x%x(%s)\n", type, type_label(type));
  }
  if (const uint32_t cap = header_get_u32(&h, "hdr_cap"); cap != 0) {
    core::info_printf(" `+<hdr_cap>=0x%x(%s)\n", cap,
                      (cap & HDR_CAP_COMPRESSED) != 0 ? "GZipped" : "Normal");
  }
  report_u32(h, "hdr_size");
  report_u32(h, "hdr_checksum");
  report_u32(h, "hdr_crc32");
  report_binary(h, "hdr_sha1", scratch);
  report_string(h, "alias", scratch);
  if (const uint32_t stamp = header_get_u32(&h, "timestamp"); stamp != 0) {
    std::array<char, TIMESTAMP_TEXT_SIZE> when{};
    format_timestamp(&stamp, when.data(), when.size(), REPORT_TIME_ZONE_HOURS);
    core::info_printf(" `+<timestamp>=0x%x(%s)\n", stamp, when.data());
  }
  report_string(h, "version", scratch);
  for (const char* name : {"req_hw", "req_sw0", "req_sw1", "req_sw2", "req_sw3", "req_sw4"}) {
    report_string(h, name, scratch);
  }
  report_u32(h, "tag_setup");
  report_u32(h, "contents_off");
  report_u32(h, "contents_size");
  if (const uint32_t type = header_get_u32(&h, "contents_type"); type != 0) {
    core::info_printf(" `+<contents_type>=0x%x(%s)\n", type, contents_label(type));
  }
  core::info_printf(" `+<contents_checksum>=0x%x\n", header_get_u32(&h, "contents_checksum"));
  core::info_printf(" `+<contents_crc32>=0x%x\n", header_get_u32(&h, "contents_crc32"));
  report_binary(h, "contents_sha1", scratch);
  return 0;
}

char* format_timestamp(const uint32_t* time, char* out, size_t out_size, int hours) {
  if (time == nullptr || out == nullptr || out_size == 0) return nullptr;
  // 64-bit arithmetic: no wrap for late times or large offsets.
  const time_t when =
      static_cast<time_t>(static_cast<int64_t>(*time) + static_cast<int64_t>(hours) * 3600);
  struct tm parts {};
  std::array<char, 32> text{};
  if (gmtime_r(&when, &parts) == nullptr ||
      std::strftime(text.data(), text.size(), "%F %H:%M:%S", &parts) == 0) {
    text[0] = '\0';
  }
  platform::format_text(std::span<char>(out, out_size), "%s(GMT%+d)", text.data(), hours);
  return out;
}

void print_hex(size_t length, const uint8_t* bytes) {
  if (bytes == nullptr) return;
  for (size_t i = 0; i < length; ++i) core::info_printf("%02x", bytes[i]);
}

}  // namespace vorn::image
