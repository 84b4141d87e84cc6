// The "%vif-info%" text form: every field read, validation, the three checks and the report,
// in buffers of the sizes the readers use and in one the text fills to its last byte.
#include <string>

#include "fuzz_env.h"

using namespace vorn;

// Input: the text, a NUL, a byte that picks the buffer: 2048 bytes, 1024, one more than the
// text, the text's own size.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::span<const uint8_t> rest(data, size);
  std::string text = fuzz::take_text(rest);
  const uint8_t pick = rest.empty() ? 0 : rest[0] & 3;
  const uint32_t capacities[] = {2048, image::HEADER_SIZE, uint32_t(text.size() + 1),
                                 uint32_t(text.size())};
  image::HeaderHandle& handle =
      fuzz::load_header(image::FORM_TEXT, text, capacities[pick], uint32_t(text.size()));
  fuzz::exercise_header(handle);
  return 0;
}
