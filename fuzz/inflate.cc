// The inflate layer on fuzzed streams, fed in the input chunks and output windows that the
// first two bytes choose; whatever it decodes must equal zlib's own decoding of the stream.
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "fuzz_env.h"
#include "image/inflate_stream.h"

using namespace vorn;

constexpr size_t OUTPUT_LIMIT = 64 * 1024;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t chunk = 1u + data[0] * 37u, window = 1u + data[1] * 257u;
  const std::span<const uint8_t> in(data + 2, size - 2);
  z_stream stream;
  if (image::inflate_begin(&stream) != Z_OK) std::abort();
  std::vector<uint8_t> out, space(window);
  size_t used = 0;
  for (int result = 0; result == 0 && out.size() < OUTPUT_LIMIT;) {
    uint32_t in_len = uint32_t(std::min<size_t>(chunk, in.size() - used)), out_len = window;
    result = image::inflate_step(&stream, space.data(), &out_len, in.data() + used, &in_len);
    if (out_len > window || used + in_len > in.size()) std::abort();
    out.insert(out.end(), space.begin(), space.begin() + out_len);
    used += in_len;
    if (in_len == 0 && out_len == 0) break;  // the stream has ended, or the input has
  }
  (void)image::inflate_finish(&stream);
  std::vector<uint8_t> expected(OUTPUT_LIMIT);
  uLongf length = expected.size();
  uLong consumed = in.size();
  if (::uncompress2(expected.data(), &length, in.data(), &consumed) == Z_OK &&
      (out.size() != length || !std::equal(out.begin(), out.end(), expected.begin()))) {
    std::abort();
  }
  return 0;
}
