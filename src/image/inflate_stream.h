#pragma once

// The thin layer over zlib's inflate that decompresses image contents stored as one zlib stream
// (RFC 1950; a gzip member is rejected as a data error). The caller owns the z_stream.

#include <zlib.h>

#include <cstdint>

namespace vorn::image {

// The zlib version text the stream is set up with; zlib compares its first character only.
inline constexpr char INFLATE_ZLIB_VERSION[] = "1.2.5";

// Zero-fills the stream and sets it up with the default window. zlib's result (Z_OK = 0 on
// success, negative on failure), or -1 for a null stream.
[[nodiscard]] int inflate_begin(z_stream* stream);

// Inflates from in into out until the output space or the input is used up, the stream ends,
// no progress is made, or an error occurs. On entry *out_len / *in_len are the space at out and
// the bytes at in; on return the bytes produced and consumed (also on an error).
// Returns 0 when the step made progress or the stream has ended (a step after the end consumes
// and produces nothing); a negative zlib code on failure (Z_DATA_ERROR, Z_MEM_ERROR,
// Z_BUF_ERROR when nothing could be done, Z_STREAM_ERROR); Z_NEED_DICT (2) for a stream that
// asks for a preset dictionary; -1 for a null stream, out, in, out_len or in_len.
// Input behind the end of the stream is never consumed.
[[nodiscard]] int inflate_step(z_stream* stream, uint8_t* out, uint32_t* out_len, const uint8_t* in,
                               uint32_t* in_len);

// 0 after releasing the stream's state, or -1 for a null stream.
int inflate_finish(z_stream* stream);

}  // namespace vorn::image
