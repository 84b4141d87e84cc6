#include "image/inflate_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vorn::image {
namespace {

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>((i % 251) ^ (i / 1000));
  return data;
}

std::vector<uint8_t> zlib_compress(const std::vector<uint8_t>& plain) {
  uLongf size = compressBound(plain.size());
  std::vector<uint8_t> packed(size);
  EXPECT_EQ(compress(packed.data(), &size, plain.data(), plain.size()), Z_OK);
  packed.resize(size);
  return packed;
}

// The steps of one stream as the install takes them: chunks of input into a window of output.
struct Steps {
  Steps() { EXPECT_EQ(inflate_begin(&stream), Z_OK); }
  ~Steps() { EXPECT_EQ(inflate_finish(&stream), 0); }
  // One step: its result, with out_len and in_len set to what it produced and consumed.
  int step(const std::vector<uint8_t>& in, size_t from, uint32_t in_size, uint32_t out_size) {
    window.resize(out_size);
    out_len = out_size;
    in_len = in_size;
    return inflate_step(&stream, window.data(), &out_len, in.data() + from, &in_len);
  }
  z_stream stream;
  std::vector<uint8_t> window;
  uint32_t out_len = 0, in_len = 0;
};

// Each step returns once its window is full or its input used up, and the next goes on where it
// stopped; bytes behind the end of the stream are not consumed, and a later step does nothing.
TEST(InflateStream, StepsStopAtAFullWindowOrTheEndOfTheirInput) {
  const std::vector<uint8_t> plain = pattern(200000);
  std::vector<uint8_t> packed = zlib_compress(plain);
  const size_t stream_size = packed.size();
  packed.insert(packed.end(), {'T', 'R', 'A', 'I', 'L'});
  for (const uint32_t chunk : {100u, 1u << 20}) {
    Steps s;
    std::vector<uint8_t> collected;
    size_t consumed = 0;
    while (collected.size() < plain.size()) {
      const uint32_t given =
          static_cast<uint32_t>(std::min<size_t>(chunk, packed.size() - consumed));
      ASSERT_EQ(s.step(packed, consumed, given, 65536), Z_OK);
      ASSERT_TRUE(s.out_len == 65536 || s.in_len == given || consumed + s.in_len == stream_size);
      ASSERT_TRUE(s.out_len != 0 || s.in_len != 0) << "no progress";
      collected.insert(collected.end(), s.window.begin(), s.window.begin() + s.out_len);
      consumed += s.in_len;
    }
    EXPECT_EQ(collected, plain);
    EXPECT_EQ(consumed, stream_size);
    EXPECT_EQ(s.step(packed, stream_size, 5, 100), Z_OK);
    EXPECT_EQ(s.out_len + s.in_len, 0u);
  }
}

// A stream cut short and fed nothing more reports no progress; a gzip member is refused at once
// (compressed contents are one zlib stream, RFC 1950).
TEST(InflateStream, TruncatedStreamsAndGzipMembersAreErrors) {
  const std::vector<uint8_t> packed = zlib_compress(pattern(3000));
  Steps cut;
  EXPECT_EQ(cut.step(packed, 0, static_cast<uint32_t>(packed.size() - 4), 8000), Z_OK);
  EXPECT_EQ(cut.out_len, 3000u);
  EXPECT_EQ(cut.step(packed, packed.size(), 0, 8000), Z_BUF_ERROR);
  EXPECT_EQ(cut.out_len + cut.in_len, 0u);

  vorn::test::TempDir dir;
  const std::string path = dir.write("plain", pattern(5000));
  ASSERT_EQ(std::system(("gzip -c -n '" + path + "' > '" + path + ".gz'").c_str()), 0);
  const std::vector<uint8_t> gz = vorn::test::read_file(path + ".gz");
  Steps gzip;
  EXPECT_EQ(gzip.step(gz, 0, static_cast<uint32_t>(gz.size()), 10000), Z_DATA_ERROR);
  EXPECT_EQ(gzip.out_len, 0u);

  EXPECT_EQ(inflate_begin(nullptr), -1);
  EXPECT_EQ(inflate_finish(nullptr), -1);
  uint8_t buffer[16];
  uint32_t len = 16;
  EXPECT_EQ(inflate_step(nullptr, buffer, &len, buffer, &len), -1);
  EXPECT_EQ(inflate_step(&gzip.stream, nullptr, &len, buffer, &len), -1);
  EXPECT_EQ(inflate_step(&gzip.stream, buffer, &len, nullptr, &len), -1);
  EXPECT_EQ(inflate_step(&gzip.stream, buffer, nullptr, buffer, &len), -1);
}

}  // namespace
}  // namespace vorn::image
