#include "image/integrity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image/test_header.h"
#include "support/temp_dir.h"

namespace vorn::image {
namespace {

using test::binary_form;
using test::format_digests;
using test::LoadedHeader;
using test::python_digests;
using test::TestHeader;
using test::text_form;

// "sum crc sha1" of a header as the library computes them.
std::string values(HeaderHandle* h) {
  uint32_t sum = 0;
  uint32_t crc = 0;
  uint8_t sha1[20] = {};
  EXPECT_EQ(header_checksum(h, &sum, sizeof(sum)), 0);
  EXPECT_EQ(header_crc32(h, &crc, sizeof(crc)), 0);
  EXPECT_EQ(header_sha1(h, sha1, sizeof(sha1)), 0);
  return format_digests(sum, crc, sha1);
}

// The values over the stream the test builds itself from the documented field order,
// computed by Python's zlib and hashlib.
std::string oracle(const TestHeader& t) {
  vorn::test::TempDir dir;
  return python_digests(dir.write("stream", test::integrity_stream(t)));
}

// A header whose stored values are the oracle's.
TestHeader sealed(TestHeader t) {
  const std::string digests = oracle(t);
  EXPECT_EQ(std::sscanf(digests.c_str(), "%x %x", &t.hdr_checksum, &t.hdr_crc32), 2);
  for (size_t i = 0; i < 20; ++i) {
    unsigned byte = 0;
    EXPECT_EQ(std::sscanf(digests.c_str() + 18 + 2 * i, "%2x", &byte), 1);
    t.hdr_sha1[i] = static_cast<uint8_t>(byte);
  }
  return t;
}

TEST(HeaderIntegrity, ValuesEqualAnIndependentComputationOverTheDocumentedStream) {
  TestHeader t;
  const std::string expected = oracle(t);
  ASSERT_EQ(expected.size(), 8 + 1 + 8 + 1 + 40u) << "python3 is needed for this test";
  EXPECT_EQ(values(LoadedHeader::binary(binary_form(t)).get()), expected);
  EXPECT_EQ(values(LoadedHeader::text(text_form(t)).get()), expected);
  // A missing text entry counts as an empty string.
  t.req_sw[3] = "";
  std::string text = text_form(t);
  const size_t at = text.find(".$req_sw3$=");
  text.erase(at, text.find('\n', at) + 1 - at);
  EXPECT_EQ(values(LoadedHeader::text(text).get()), oracle(t));
}

TEST(HeaderIntegrity, ReservedBytesTrailingSlotBytesAndStoredDigestsPlayNoPart) {
  TestHeader t;
  const std::string base = values(LoadedHeader::binary(binary_form(t)).get());
  std::vector<uint8_t> noisy = binary_form(t);
  for (size_t at : {0x034u, 0x03Fu, 0x058u, 0x073u, 0x22Cu, 0x3FFu}) noisy[at] = 0x5A;
  noisy[0x040 + 5] = 'x';   // behind the NUL of "boot"
  noisy[0x200 + 14] = 'y';  // behind the NUL of the version
  EXPECT_EQ(values(LoadedHeader::binary(noisy).get()), base);
  t.hdr_checksum = 1;
  t.hdr_crc32 = 2;
  t.hdr_sha1.fill(3);
  t.contents_checksum = 4;
  t.contents_crc32 = 5;
  t.contents_sha1.fill(6);
  EXPECT_EQ(values(LoadedHeader::binary(binary_form(t)).get()), base);
  EXPECT_EQ(values(LoadedHeader::text(text_form(t)).get()), base);
}

TEST(HeaderIntegrity, BadArgumentsGiveMinusOne) {
  LoadedHeader h = LoadedHeader::binary(binary_form({}));
  uint32_t value = 0;
  uint8_t sha1[20];
  EXPECT_EQ(header_checksum(nullptr, &value, 4), -1);
  EXPECT_EQ(header_checksum(h.get(), nullptr, 4), -1);
  EXPECT_EQ(header_checksum(h.get(), &value, 3), -1);
  EXPECT_EQ(header_crc32(h.get(), &value, 3), -1);
  EXPECT_EQ(header_sha1(h.get(), sha1, 19), -1);
  EXPECT_EQ(header_sha1(nullptr, sha1, 20), -1);
  EXPECT_EQ(byte_sum(5, nullptr, 10), 5u);
}

TEST(HeaderVerify, EachMethodComparesItsOwnStoredValue) {
  const TestHeader good = sealed(TestHeader{});
  TestHeader bad_crc = good;
  bad_crc.hdr_crc32 ^= 1;
  TestHeader changed = good;
  changed.req_sw[4] = "app,2.0.0,+";
  TestHeader invalid = good;
  invalid.hdr_version = 2;  // validation runs first
  const struct {
    const TestHeader& header;
    uint32_t none, checksum, crc32, sha1;
  } cases[] = {{good, 0xA1, 0xA1, 0xA1, 0xA1},
               {bad_crc, 0xA1, 0xA1, 0, 0xA1},
               {changed, 0xA1, 0, 0, 0},
               {invalid, 0, 0, 0, 0}};
  for (const bool text : {false, true}) {
    for (const auto& c : cases) {
      LoadedHeader h = text ? LoadedHeader::text(text_form(c.header))
                            : LoadedHeader::binary(binary_form(c.header));
      EXPECT_EQ(header_check(h.get(), VERIFY_NONE), c.none);
      EXPECT_EQ(header_check(h.get(), VERIFY_CHECKSUM), c.checksum);
      EXPECT_EQ(header_check(h.get(), VERIFY_CRC32), c.crc32);
      EXPECT_EQ(header_check(h.get(), VERIFY_SHA1), c.sha1);
      EXPECT_EQ(header_check(h.get(), 4), 0u);
    }
  }
  std::string text = text_form(good);
  text.replace(text.find(".$hdr_sha1$=20,"), 15, ".$hdr_sha1$=21,");
  EXPECT_EQ(header_verify(LoadedHeader::text(text).get(), VERIFY_SHA1), 0);
  EXPECT_EQ(header_verify(nullptr, VERIFY_CRC32), 0);
  EXPECT_EQ(header_check(nullptr, VERIFY_NONE), 0u);
}

class ContentsDigest : public ::testing::Test {
 protected:
  // A file of a 1024-byte stand-in header followed by n bytes of a fixed pattern.
  std::string image_file(size_t n) {
    std::vector<uint8_t> bytes(1024 + n);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    contents_path_ =
        dir_.write("contents", std::vector<uint8_t>(bytes.begin() + 1024, bytes.end()));
    return dir_.write("image.vif", bytes);
  }
  vorn::test::TempDir dir_;
  std::string contents_path_;
};

// Sizes around the read size of the digest loop, and nothing at all.
TEST_F(ContentsDigest, CoversTheFileFromTheOffsetToItsEnd) {
  for (size_t n : {size_t{0}, size_t{1000}, size_t{128 * 1024}, size_t{300 * 1024 + 17}}) {
    const std::string path = image_file(n);
    uint32_t sum = 7;
    uint32_t crc = 7;
    uint8_t sha1[20] = {};
    ASSERT_EQ(contents_digest(path.c_str(), &sum, &crc, sha1, 1024), n);
    EXPECT_EQ(format_digests(sum, crc, sha1), python_digests(contents_path_)) << n;
  }
}

TEST_F(ContentsDigest, ComputesOnlyWhatIsAskedAndReadsOnlyWhatIsThere) {
  const std::string path = image_file(1000);
  uint32_t crc = 0;
  uint32_t all_crc = 0;
  uint32_t sum = 0;
  uint8_t sha1[20];
  EXPECT_EQ(contents_digest(path.c_str(), nullptr, &crc, nullptr, 1024), 1000u);
  EXPECT_EQ(contents_digest(path.c_str(), &sum, &all_crc, sha1, 1024), 1000u);
  EXPECT_EQ(crc, all_crc);
  EXPECT_EQ(contents_digest(path.c_str(), nullptr, nullptr, nullptr, 0), 2024u);
  EXPECT_EQ(contents_digest(path.c_str(), &sum, nullptr, nullptr, 5000), 0u);  // behind the end
  EXPECT_EQ(contents_digest(dir_.file("missing").c_str(), &sum, nullptr, nullptr, 0), 0u);
  EXPECT_EQ(contents_digest(nullptr, &sum, nullptr, nullptr, 0), 0u);
  EXPECT_EQ(contents_digest(dir_.path().c_str(), &sum, nullptr, nullptr, 0), 0u);  // a directory
}

}  // namespace
}  // namespace vorn::image
