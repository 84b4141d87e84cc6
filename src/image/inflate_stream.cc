#include "image/inflate_stream.h"

#include <cstring>

namespace vorn::image {

int inflate_begin(z_stream* stream) {
  if (stream == nullptr) return -1;
  // Zero allocation functions make zlib use malloc and free.
  std::memset(static_cast<void*>(stream), 0, sizeof(*stream));
  return inflateInit_(stream, INFLATE_ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
}

int inflate_step(z_stream* stream, uint8_t* out, uint32_t* out_len, const uint8_t* in,
                 uint32_t* in_len) {
  if (stream == nullptr || out == nullptr || in == nullptr || out_len == nullptr ||
      in_len == nullptr) {
    return -1;
  }
  const uint32_t space = *out_len;
  const uint32_t given = *in_len;
  stream->next_in = in;
  stream->avail_in = given;
  stream->next_out = out;
  stream->avail_out = space;
  int result = Z_OK;
  for (;;) {
    const uInt in_before = stream->avail_in;
    const uInt out_before = stream->avail_out;
    result = ::inflate(stream, Z_NO_FLUSH);
    const bool progress = stream->avail_in != in_before || stream->avail_out != out_before;
    if (result < 0 || result == Z_STREAM_END || result == Z_NEED_DICT || !progress ||
        stream->avail_out == 0 || stream->avail_in == 0) {
      break;
    }
  }
  *out_len = space - stream->avail_out;
  *in_len = given - stream->avail_in;
  if (result == Z_STREAM_END) return Z_OK;
  // zlib's "no progress possible" on a later round of a step that did progress is no failure.
  if (result == Z_BUF_ERROR && (*out_len != 0 || *in_len != 0)) return Z_OK;
  return result;
}

int inflate_finish(z_stream* stream) {
  if (stream == nullptr) return -1;
  ::inflateEnd(stream);
  return 0;
}

}  // namespace vorn::image
