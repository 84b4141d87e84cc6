// The binary header: every field read, validation, the three checks and the report, over a
// whole fuzzed header or over a valid one with the fuzzed bytes in one field.
#include <cstring>

#include "fuzz_env.h"
#include "image/field_table.h"

using namespace vorn;

// Flags: 1 seal, 2 one field (the second byte picks it), 4 capacity 2048, 8 and 16 the count
// read: all bytes given, the capacity, none, more than the buffer.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 2050) return 0;
  const uint8_t flags = data[0];
  const image::HeaderFieldDesc& row = image::FIELD_TABLE[data[1] % image::FIELD_TABLE.size()];
  std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  if (flags & 2) {
    std::string valid(image::HEADER_SIZE, '\0');
    const auto put = [&](const char* name, std::string_view value) {
      valid.replace(image::field_find(name, 1)->offset, value.size(), value);
    };
    put("magic", image::HEADER_MAGIC), put("hdr_type", "\xA1"), put("hdr_version", "\x01");
    put("hdr_size", {"\0\x04", 2}), put("contents_off", {"\0\x04", 2});
    put("alias", "boot"), put("version", "1.0.0");
    put(row.name, bytes.substr(0, image::field_slot_size(row)));
    bytes = valid;
  }
  const uint32_t capacity = (flags & 4) ? 2048 : image::HEADER_SIZE;
  const uint32_t counts[] = {uint32_t(bytes.size()), capacity, 0, 4096};
  image::HeaderHandle& handle =
      fuzz::load_header(image::FORM_BINARY, bytes, capacity, counts[(flags >> 3) & 3]);
  if (flags & 1) fuzz::seal(handle);
  fuzz::exercise_header(handle);
  return 0;
}
