#include "image/header_handle.h"

#include <cstring>
#include <span>
#include <string_view>

#include "image/field_table.h"
#include "image/text_form.h"
#include "platform/fixed_text.h"
#include "platform/little_endian.h"

namespace vorn::image {

namespace {

// The bytes of a binary header: never beyond what was read, the buffer, or the header itself.
std::span<const uint8_t> binary_data(const HeaderHandle& handle) {
  const uint32_t end = std::min({handle.data_len, handle.capacity, HEADER_SIZE});
  return {handle.data, end};
}

// The text of a text form: up to its first NUL, and never beyond what was read or the buffer.
std::string_view text_data(const HeaderHandle& handle) {
  const size_t bound = std::min(handle.data_len, handle.capacity);
  const char* text = reinterpret_cast<const char*>(handle.data);
  return {text, strnlen(text, bound)};
}

// Binary-form read of one row; false when the value does not fit C or lies outside the data.
bool read_binary_form(const HeaderHandle& handle, const HeaderFieldDesc& row, void* out,
                      uint32_t& len) {
  const std::span<const uint8_t> data = binary_data(handle);
  if (row.offset >= data.size()) return false;
  const std::span<const uint8_t> from = data.subspan(row.offset);
  switch (row.type) {
    case FIELD_UINT32: {
      if (len < UINT32_SIZE || from.size() < UINT32_SIZE) return false;
      const uint32_t value = platform::load_le32(from.first<UINT32_SIZE>());
      std::memcpy(out, &value, sizeof(value));
      len = UINT32_SIZE;
      return true;
    }
    case FIELD_BINARY:
      if (row.size > len || from.size() < row.size) return false;
      std::memcpy(out, from.data(), row.size);
      len = row.size;
      return true;
    case FIELD_STRING: {
      // A slot without its NUL runs on into the following bytes, up to the end of the data.
      const auto* nul = static_cast<const uint8_t*>(std::memchr(from.data(), 0, from.size()));
      const uint32_t length = static_cast<uint32_t>(nul ? nul - from.data() : from.size());
      if (length >= len) return false;
      std::memcpy(out, from.data(), length);
      static_cast<char*>(out)[length] = '\0';
      len = length;
      return true;
    }
  }
  return false;
}

bool read_text_form(const HeaderHandle& handle, const HeaderFieldDesc& row, void* out,
                    uint32_t& len) {
  const std::string_view text = text_data(handle);
  switch (row.type) {
    case FIELD_UINT32:
      if (len < UINT32_SIZE) return false;
      (void)text_find_in(text, row.tag, FIELD_UINT32, out, UINT32_SIZE);
      len = UINT32_SIZE;
      return true;
    case FIELD_BINARY:
      if (row.size > len) return false;
      len = text_find_in(text, row.tag, FIELD_BINARY, out, row.size) == row.size ? row.size : 0;
      return true;
    case FIELD_STRING:
      if (len == 0) return false;  // not even room for the NUL
      len = text_find_in(text, row.tag, FIELD_STRING, out, len);
      return true;
  }
  return false;
}

}  // namespace

HeaderHandle* header_init(HeaderHandle* handle, const char* source, uint8_t* buffer,
                          uint32_t capacity) {
  if (handle == nullptr || source == nullptr || buffer == nullptr || capacity < HEADER_SIZE) {
    return nullptr;
  }
  if (std::strlen(source) >= SOURCE_SIZE) return nullptr;
  std::memset(static_cast<void*>(handle), 0, sizeof(*handle));
  std::memset(buffer, 0, capacity);
  handle->form = FORM_BINARY;
  handle->data = buffer;
  handle->data_len = HEADER_SIZE;
  handle->capacity = capacity;
  handle->version = HEADER_VERSION_MAX;
  platform::copy_text(handle->source, source);
  return handle;
}

uint32_t header_field_type(const HeaderHandle* handle, const char* name) {
  if (handle == nullptr || name == nullptr || *name == '\0') return 0;
  const HeaderFieldDesc* row = field_find(name, handle->version);
  return row == nullptr ? 0u : static_cast<uint32_t>(row->type);
}

int header_get_field(const char* name, const HeaderHandle* handle, uint32_t type, void* out,
                     uint32_t* inout_len) {
  if (name == nullptr || *name == '\0' || handle == nullptr || handle->data == nullptr ||
      out == nullptr || inout_len == nullptr) {
    return -1;
  }
  const HeaderFieldDesc* row = field_find(name, handle->version);
  if (row == nullptr || row->type != type) return 0;
  uint32_t len = *inout_len;
  bool found = false;
  if (handle->form == FORM_BINARY) {
    found = read_binary_form(*handle, *row, out, len);
  } else if (handle->form == FORM_TEXT) {
    found = read_text_form(*handle, *row, out, len);
  }
  if (!found) return 0;
  *inout_len = len;
  return static_cast<int>(type);
}

uint32_t header_get_binary(const HeaderHandle* handle, const char* name, uint8_t* out,
                           uint32_t capacity) {
  if (handle == nullptr || name == nullptr || out == nullptr) return 0;
  uint32_t len = capacity;
  if (header_get_field(name, handle, FIELD_BINARY, out, &len) != FIELD_BINARY) return 0;
  return len;
}

char* header_get_string(const HeaderHandle* handle, const char* name, char* out,
                        uint32_t capacity) {
  if (handle == nullptr || name == nullptr || out == nullptr) return nullptr;
  uint32_t len = capacity;
  if (header_get_field(name, handle, FIELD_STRING, out, &len) != FIELD_STRING) return nullptr;
  return out;
}

uint32_t header_get_u32(const HeaderHandle* handle, const char* name) {
  uint32_t value = 0;
  uint32_t len = sizeof(value);
  if (header_get_field(name, handle, FIELD_UINT32, &value, &len) != FIELD_UINT32) return 0;
  return value;
}

uint32_t header_validate(HeaderHandle* handle) {
  if (handle == nullptr) return 0;
  uint8_t magic[MAGIC_SIZE] = {};
  if (header_get_binary(handle, "magic", magic, sizeof(magic)) != MAGIC_SIZE ||
      std::memcmp(magic, HEADER_MAGIC, MAGIC_SIZE) != 0) {
    return 0;
  }
  const uint32_t type = header_get_u32(handle, "hdr_type");
  if (type != HDR_TYPE_IMAGE && type != HDR_TYPE_PACKAGE) return 0;
  if (header_get_u32(handle, "hdr_size") > HEADER_SIZE) return 0;
  const uint32_t version = header_get_u32(handle, "hdr_version");
  if (version == 0 || version > handle->version) return 0;
  handle->version = version;
  return type;
}

}  // namespace vorn::image
