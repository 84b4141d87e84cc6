#include "image/inflate_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/test_header.h"
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

class InflateStream : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(inflate_begin(&stream_), Z_OK); }
  void TearDown() override { EXPECT_EQ(inflate_finish(&stream_), 0); }

  int step(uint8_t* out, uint32_t& out_len, const std::vector<uint8_t>& in, size_t from,
           uint32_t& in_len) {
    return inflate_step(&stream_, out, &out_len, in.data() + from, &in_len);
  }

  z_stream stream_;
};

TEST_F(InflateStream, AZlibStreamDecodesInOneStepAndAStepAfterTheEndDoesNothing) {
  const std::vector<uint8_t> plain = pattern(200000);
  const std::vector<uint8_t> packed = zlib_compress(plain);
  std::vector<uint8_t> out(plain.size() + 100);
  uint32_t out_len = static_cast<uint32_t>(out.size());
  uint32_t in_len = static_cast<uint32_t>(packed.size());
  EXPECT_EQ(step(out.data(), out_len, packed, 0, in_len), 0);
  EXPECT_EQ(in_len, packed.size());
  ASSERT_EQ(out_len, plain.size());
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));

  const std::vector<uint8_t> more = {1, 2, 3};
  out_len = 100;
  in_len = 3;
  EXPECT_EQ(step(out.data(), out_len, more, 0, in_len), 0);
  EXPECT_EQ(out_len, 0u);
  EXPECT_EQ(in_len, 0u);
}

TEST_F(InflateStream, AGzipMemberIsADataErrorOnTheFirstStep) {
  vorn::test::TempDir dir;
  const std::vector<uint8_t> plain = pattern(5000);
  const std::string path = dir.write("plain", plain);
  ASSERT_EQ(std::system(("gzip -c -n '" + path + "' > '" + path + ".gz'").c_str()), 0);
  const std::vector<uint8_t> gz = vorn::test::read_file(path + ".gz");
  ASSERT_GE(gz.size(), 2u);
  ASSERT_EQ(gz[0], 0x1F);
  ASSERT_EQ(gz[1], 0x8B);
  std::vector<uint8_t> out(10000);
  uint32_t out_len = static_cast<uint32_t>(out.size());
  uint32_t in_len = static_cast<uint32_t>(gz.size());
  EXPECT_EQ(step(out.data(), out_len, gz, 0, in_len), Z_DATA_ERROR);
  EXPECT_EQ(out_len, 0u);
}

TEST_F(InflateStream, StepsStopWhenTheOutputIsFullAndGoOnWhereTheyStopped) {
  const std::vector<uint8_t> plain = pattern(200000);
  const std::vector<uint8_t> packed = zlib_compress(plain);
  std::vector<uint8_t> collected;
  std::vector<uint8_t> window(65536);
  size_t consumed = 0;
  int steps = 0;
  while (collected.size() < plain.size()) {
    uint32_t out_len = static_cast<uint32_t>(window.size());
    uint32_t in_len = static_cast<uint32_t>(packed.size() - consumed);
    ASSERT_EQ(step(window.data(), out_len, packed, consumed, in_len), 0);
    ASSERT_TRUE(out_len != 0 || in_len != 0) << "no progress";
    if (collected.size() + window.size() <= plain.size()) {
      EXPECT_EQ(out_len, window.size());
    }
    collected.insert(collected.end(), window.begin(), window.begin() + out_len);
    consumed += in_len;
    ++steps;
  }
  EXPECT_EQ(steps, 4);  // 3 x 65536 and 3392
  EXPECT_EQ(collected, plain);
  EXPECT_EQ(consumed, packed.size());
}

TEST_F(InflateStream, SmallInputChunksAreAllConsumed) {
  const std::vector<uint8_t> plain = pattern(50000);
  const std::vector<uint8_t> packed = zlib_compress(plain);
  std::vector<uint8_t> out(plain.size());
  size_t produced = 0;
  for (size_t at = 0; at < packed.size(); at += 100) {
    uint32_t in_len = static_cast<uint32_t>(std::min<size_t>(100, packed.size() - at));
    const uint32_t given = in_len;
    uint32_t out_len = static_cast<uint32_t>(out.size() - produced);
    ASSERT_EQ(step(out.data() + produced, out_len, packed, at, in_len), 0);
    EXPECT_EQ(in_len, given);
    produced += out_len;
  }
  EXPECT_EQ(produced, plain.size());
  EXPECT_EQ(out, plain);
}

TEST_F(InflateStream, BytesBehindTheStreamEndAreNotConsumed) {
  const std::vector<uint8_t> plain = pattern(3000);
  std::vector<uint8_t> input = zlib_compress(plain);
  const size_t stream_size = input.size();
  input.insert(input.end(), {'T', 'R', 'A', 'I', 'L', 'E', 'R'});
  std::vector<uint8_t> out(8000);
  uint32_t out_len = static_cast<uint32_t>(out.size());
  uint32_t in_len = static_cast<uint32_t>(input.size());
  EXPECT_EQ(step(out.data(), out_len, input, 0, in_len), 0);
  EXPECT_EQ(in_len, stream_size);
  EXPECT_EQ(out_len, plain.size());
}

TEST_F(InflateStream, ATruncatedStreamFedNothingMoreReportsNoProgress) {
  const std::vector<uint8_t> packed = zlib_compress(pattern(3000));
  std::vector<uint8_t> out(8000);
  uint32_t out_len = static_cast<uint32_t>(out.size());
  uint32_t in_len = static_cast<uint32_t>(packed.size() - 4);  // the trailer is missing
  EXPECT_EQ(step(out.data(), out_len, packed, 0, in_len), 0);
  EXPECT_EQ(out_len, 3000u);
  out_len = static_cast<uint32_t>(out.size());
  in_len = 0;
  EXPECT_EQ(step(out.data(), out_len, packed, packed.size(), in_len), Z_BUF_ERROR);
  EXPECT_EQ(out_len, 0u);
  EXPECT_EQ(in_len, 0u);
}

TEST_F(InflateStream, AStreamThatWantsADictionaryIsPassedBack) {
  const std::vector<uint8_t> plain = pattern(1000);
  z_stream deflater{};
  ASSERT_EQ(deflateInit(&deflater, 9), Z_OK);
  const uint8_t dictionary[] = "some preset dictionary";
  ASSERT_EQ(deflateSetDictionary(&deflater, dictionary, sizeof(dictionary)), Z_OK);
  std::vector<uint8_t> packed(2000);
  deflater.next_in = plain.data();
  deflater.avail_in = static_cast<uInt>(plain.size());
  deflater.next_out = packed.data();
  deflater.avail_out = static_cast<uInt>(packed.size());
  ASSERT_EQ(deflate(&deflater, Z_FINISH), Z_STREAM_END);
  packed.resize(deflater.total_out);
  deflateEnd(&deflater);

  std::vector<uint8_t> out(2000);
  uint32_t out_len = static_cast<uint32_t>(out.size());
  uint32_t in_len = static_cast<uint32_t>(packed.size());
  EXPECT_EQ(step(out.data(), out_len, packed, 0, in_len), Z_NEED_DICT);
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
