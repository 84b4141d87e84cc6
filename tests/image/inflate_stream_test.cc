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

// What the install does: steps over chunks of input into a window of output.
class InflateStream : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(inflate_begin(&stream_), Z_OK); }
  void TearDown() override { EXPECT_EQ(inflate_finish(&stream_), 0); }

  // One step: the result, with out_len and in_len updated to what was produced and consumed.
  int step(std::vector<uint8_t>& out, uint32_t& out_len, const uint8_t* in, uint32_t& in_len) {
    out.resize(out_len);
    return inflate_step(&stream_, out.data(), &out_len, in, &in_len);
  }

  z_stream stream_;
};

// Each step returns once its output window is full or its input is used up, and the next goes
// on where it stopped.
TEST_F(InflateStream, StepsStopAtAFullWindowOrTheEndOfTheirInput) {
  const std::vector<uint8_t> plain = pattern(200000);
  const std::vector<uint8_t> packed = zlib_compress(plain);
  for (const uint32_t chunk : {100u, 1u << 20}) {
    ASSERT_EQ(inflateReset(&stream_), Z_OK);
    std::vector<uint8_t> collected;
    std::vector<uint8_t> window;
    size_t consumed = 0;
    while (collected.size() < plain.size()) {
      uint32_t out_len = 65536;
      uint32_t in_len = static_cast<uint32_t>(std::min<size_t>(chunk, packed.size() - consumed));
      const uint32_t given = in_len;
      ASSERT_EQ(step(window, out_len, packed.data() + consumed, in_len), Z_OK);
      ASSERT_TRUE(out_len == 65536 || in_len == given) << "stopped early";
      ASSERT_TRUE(out_len != 0 || in_len != 0) << "no progress";
      collected.insert(collected.end(), window.begin(), window.begin() + out_len);
      consumed += in_len;
    }
    EXPECT_EQ(collected, plain);
    EXPECT_EQ(consumed, packed.size());
  }
}

TEST_F(InflateStream, BytesBehindTheStreamEndAreNotConsumedNorAStepAfterIt) {
  const std::vector<uint8_t> plain = pattern(3000);
  std::vector<uint8_t> input = zlib_compress(plain);
  const size_t stream_size = input.size();
  input.insert(input.end(), {'T', 'R', 'A', 'I', 'L', 'E', 'R'});
  std::vector<uint8_t> out;
  uint32_t out_len = 8000;
  uint32_t in_len = static_cast<uint32_t>(input.size());
  EXPECT_EQ(step(out, out_len, input.data(), in_len), Z_OK);
  EXPECT_EQ(in_len, stream_size);
  EXPECT_EQ(out_len, plain.size());
  out_len = 100;
  in_len = 7;
  EXPECT_EQ(step(out, out_len, input.data() + stream_size, in_len), Z_OK);
  EXPECT_EQ(out_len + in_len, 0u);
}

TEST_F(InflateStream, ATruncatedStreamFedNothingMoreReportsNoProgress) {
  const std::vector<uint8_t> packed = zlib_compress(pattern(3000));
  std::vector<uint8_t> out;
  uint32_t out_len = 8000;
  uint32_t in_len = static_cast<uint32_t>(packed.size() - 4);  // the trailer is missing
  EXPECT_EQ(step(out, out_len, packed.data(), in_len), Z_OK);
  EXPECT_EQ(out_len, 3000u);
  out_len = 8000;
  in_len = 0;
  EXPECT_EQ(step(out, out_len, packed.data() + packed.size(), in_len), Z_BUF_ERROR);
  EXPECT_EQ(out_len + in_len, 0u);
}

// Compressed contents are one zlib stream (RFC 1950); a gzip member is refused at once.
TEST_F(InflateStream, AGzipMemberIsADataError) {
  vorn::test::TempDir dir;
  const std::string path = dir.write("plain", pattern(5000));
  ASSERT_EQ(std::system(("gzip -c -n '" + path + "' > '" + path + ".gz'").c_str()), 0);
  const std::vector<uint8_t> gz = vorn::test::read_file(path + ".gz");
  std::vector<uint8_t> out;
  uint32_t out_len = 10000;
  uint32_t in_len = static_cast<uint32_t>(gz.size());
  EXPECT_EQ(step(out, out_len, gz.data(), in_len), Z_DATA_ERROR);
  EXPECT_EQ(out_len, 0u);
}

TEST(InflateLayer, NullArgumentsGiveMinusOne) {
  EXPECT_EQ(inflate_begin(nullptr), -1);
  EXPECT_EQ(inflate_finish(nullptr), -1);
  z_stream stream;
  ASSERT_EQ(inflate_begin(&stream), Z_OK);
  uint8_t buffer[16];
  uint32_t len = 16;
  EXPECT_EQ(inflate_step(nullptr, buffer, &len, buffer, &len), -1);
  EXPECT_EQ(inflate_step(&stream, nullptr, &len, buffer, &len), -1);
  EXPECT_EQ(inflate_step(&stream, buffer, &len, nullptr, &len), -1);
  EXPECT_EQ(inflate_step(&stream, buffer, nullptr, buffer, &len), -1);
  EXPECT_EQ(inflate_finish(&stream), 0);
}

}  // namespace
}  // namespace vorn::image
