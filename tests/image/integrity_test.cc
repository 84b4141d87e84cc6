#include "image/integrity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

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

struct HeaderValues {
  uint32_t sum = 0;
  uint32_t crc = 0;
  std::array<uint8_t, 20> sha1{};
  bool operator==(const HeaderValues&) const = default;
};

HeaderValues header_values(HeaderHandle* h) {
  HeaderValues v;
  EXPECT_EQ(header_checksum(h, &v.sum, sizeof(v.sum)), 0);
  EXPECT_EQ(header_crc32(h, &v.crc, sizeof(v.crc)), 0);
  EXPECT_EQ(header_sha1(h, v.sha1.data(), v.sha1.size()), 0);
  return v;
}

// The values over the stream the test builds itself, computed by Python.
std::string oracle(const vorn::test::TempDir& dir, const TestHeader& t) {
  return python_digests(dir.write("stream", test::integrity_stream(t)));
}

std::string formatted(const HeaderValues& v) { return format_digests(v.sum, v.crc, v.sha1.data()); }

// A header whose stored digests are the oracle's.
TestHeader sealed(const vorn::test::TempDir& dir, TestHeader t) {
  const std::string digests = oracle(dir, t);
  unsigned sha1_byte = 0;
  EXPECT_EQ(std::sscanf(digests.c_str(), "%x %x", &t.hdr_checksum, &t.hdr_crc32), 2);
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(std::sscanf(digests.c_str() + 18 + 2 * i, "%2x", &sha1_byte), 1);
    t.hdr_sha1[i] = static_cast<uint8_t>(sha1_byte);
  }
  return t;
}

TEST(ByteSum, AddsUnsignedBytesModulo2To32) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(byte_sum(0, abc, 3), 0x126u);
  const uint8_t high[] = {0xFF, 0x80};
  EXPECT_EQ(byte_sum(0xFFFFFF00u, high, 2), 0x7Fu);
  EXPECT_EQ(byte_sum(5, nullptr, 10), 5u);
}

TEST(HeaderIntegrity, ValuesEqualAnIndependentComputationOverTheDocumentedStream) {
  vorn::test::TempDir dir;
  TestHeader t;
  const std::string expected = oracle(dir, t);
  ASSERT_EQ(expected.size(), 8 + 1 + 8 + 1 + 40u) << "python3 is needed for this test";
  LoadedHeader bin = LoadedHeader::binary(binary_form(t));
  LoadedHeader txt = LoadedHeader::text(text_form(t));
  EXPECT_EQ(formatted(header_values(bin.get())), expected);
  EXPECT_EQ(formatted(header_values(txt.get())), expected);
}

TEST(HeaderIntegrity, ReservedBytesTrailingSlotBytesAndDigestsPlayNoPart) {
  TestHeader t;
  const HeaderValues base = header_values(LoadedHeader::binary(binary_form(t)).get());

  std::vector<uint8_t> noisy = binary_form(t);
  for (size_t at : {0x034u, 0x03Fu, 0x058u, 0x073u, 0x22Cu, 0x3FFu}) noisy[at] = 0x5A;
  noisy[0x040 + 5] = 'x';   // behind the NUL of "boot"
  noisy[0x200 + 14] = 'y';  // behind the NUL of the version
  EXPECT_EQ(header_values(LoadedHeader::binary(noisy).get()), base);

  TestHeader other = t;
  other.hdr_checksum = 1;
  other.hdr_crc32 = 2;
  other.hdr_sha1.fill(3);
  other.contents_checksum = 4;
  other.contents_crc32 = 5;
  other.contents_sha1.fill(6);
  EXPECT_EQ(header_values(LoadedHeader::binary(binary_form(other)).get()), base);
  EXPECT_EQ(header_values(LoadedHeader::text(text_form(other)).get()), base);
}

TEST(HeaderIntegrity, AMissingTextEntryCountsAsAnEmptyString) {
  TestHeader t;
  t.req_sw[3] = "";
  std::string text = text_form(t);
  const size_t at = text.find(".$req_sw3$=");
  text.erase(at, text.find('\n', at) + 1 - at);
  EXPECT_EQ(header_values(LoadedHeader::text(text).get()),
            header_values(LoadedHeader::binary(binary_form(t)).get()));
}

TEST(HeaderIntegrity, SwappedBytesOfANumberKeepTheSumOnly) {
  TestHeader t;
  t.contents_size = 0x00001234;
  TestHeader swapped = t;
  swapped.contents_size = 0x00003412;
  const HeaderValues a = header_values(LoadedHeader::binary(binary_form(t)).get());
  const HeaderValues b = header_values(LoadedHeader::binary(binary_form(swapped)).get());
  EXPECT_EQ(a.sum, b.sum);
  EXPECT_NE(a.crc, b.crc);
  EXPECT_NE(a.sha1, b.sha1);
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
}

TEST(HeaderVerify, EachMethodComparesItsOwnStoredValue) {
  vorn::test::TempDir dir;
  const TestHeader good = sealed(dir, TestHeader{});
  for (const bool text : {false, true}) {
    auto load = [&](const TestHeader& t) {
      return text ? LoadedHeader::text(text_form(t)) : LoadedHeader::binary(binary_form(t));
    };
    LoadedHeader h = load(good);
    for (int method : {VERIFY_CHECKSUM, VERIFY_CRC32, VERIFY_SHA1}) {
      EXPECT_EQ(header_verify(h.get(), method), 1) << method << " text " << text;
      EXPECT_EQ(header_check(h.get(), method), 0xA1u);
    }
    EXPECT_EQ(header_check(h.get(), VERIFY_NONE), 0xA1u);
    EXPECT_EQ(header_verify(h.get(), 0), 0);
    EXPECT_EQ(header_verify(h.get(), 4), 0);
    EXPECT_EQ(header_check(h.get(), 4), 0u);

    TestHeader bad_crc = good;
    bad_crc.hdr_crc32 ^= 1;
    LoadedHeader b = load(bad_crc);
    EXPECT_EQ(header_check(b.get(), VERIFY_CHECKSUM), 0xA1u);
    EXPECT_EQ(header_check(b.get(), VERIFY_CRC32), 0u);
    EXPECT_EQ(header_check(b.get(), VERIFY_SHA1), 0xA1u);

    TestHeader changed = good;
    changed.req_sw[4] = "app>=2";
    LoadedHeader c = load(changed);
    EXPECT_EQ(header_check(c.get(), VERIFY_CHECKSUM), 0u);
    EXPECT_EQ(header_check(c.get(), VERIFY_SHA1), 0u);

    TestHeader invalid = good;
    invalid.hdr_version = 2;  // validation runs first
    EXPECT_EQ(header_check(load(invalid).get(), VERIFY_NONE), 0u);
  }
  EXPECT_EQ(header_verify(nullptr, VERIFY_CRC32), 0);
  EXPECT_EQ(header_check(nullptr, VERIFY_NONE), 0u);
}

TEST(HeaderVerify, Sha1EntryWithAnotherCountFails) {
  vorn::test::TempDir dir;
  std::string text = text_form(sealed(dir, TestHeader{}));
  ASSERT_EQ(header_verify(LoadedHeader::text(text).get(), VERIFY_SHA1), 1);
  text.replace(text.find(".$hdr_sha1$=20,"), 15, ".$hdr_sha1$=21,");
  EXPECT_EQ(header_verify(LoadedHeader::text(text).get(), VERIFY_SHA1), 0);
}

class ContentsDigest : public ::testing::Test {
 protected:
  // A file of a 1024-byte stand-in header followed by n bytes of a fixed pattern.
  std::string image_file(size_t n) {
    std::vector<uint8_t> bytes(1024 + n);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    std::vector<uint8_t> contents(bytes.begin() + 1024, bytes.end());
    contents_path_ = dir_.write("contents", contents);
    return dir_.write("image.vif", bytes);
  }
  vorn::test::TempDir dir_;
  std::string contents_path_;
};

TEST_F(ContentsDigest, CoversTheFileFromTheOffsetToItsEnd) {
  for (size_t n : {size_t{1000}, size_t{128 * 1024}, size_t{300 * 1024 + 17}}) {
    const std::string path = image_file(n);
    uint32_t sum = 0;
    uint32_t crc = 0;
    uint8_t sha1[20] = {};
    ASSERT_EQ(contents_digest(path.c_str(), &sum, &crc, sha1, 1024), n);
    EXPECT_EQ(format_digests(sum, crc, sha1), python_digests(contents_path_)) << n;
    const std::string sha1sum = test::shell_output("sha1sum '" + contents_path_ + "'");
    EXPECT_EQ(format_digests(sum, crc, sha1).substr(18), sha1sum.substr(0, 40)) << n;
  }
}

TEST_F(ContentsDigest, ComputesOnlyWhatIsAskedAndLeavesTheRestAlone) {
  const std::string path = image_file(1000);
  uint32_t crc = 0;
  uint32_t all_crc = 0;
  uint32_t sum = 0;
  EXPECT_EQ(contents_digest(path.c_str(), nullptr, &crc, nullptr, 1024), 1000u);
  uint8_t sha1[20];
  EXPECT_EQ(contents_digest(path.c_str(), &sum, &all_crc, sha1, 1024), 1000u);
  EXPECT_EQ(crc, all_crc);
  uint32_t untouched = 0xDEADBEEF;
  EXPECT_EQ(contents_digest(path.c_str(), &untouched, nullptr, nullptr, 0), 2024u);
  EXPECT_NE(untouched, 0xDEADBEEF);
  EXPECT_EQ(contents_digest(path.c_str(), nullptr, nullptr, nullptr, 1024), 1000u);
}

TEST_F(ContentsDigest, EmptyRangeUnreadableFileAndBadOffset) {
  const std::string path = image_file(0);
  uint32_t sum = 7;
  uint32_t crc = 7;
  uint8_t sha1[20] = {};
  EXPECT_EQ(contents_digest(path.c_str(), &sum, &crc, sha1, 1024), 0u);
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(crc, 0u);
  // The SHA-1 of nothing.
  EXPECT_EQ(format_digests(0, 0, sha1).substr(18), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

  sum = 7;
  EXPECT_EQ(contents_digest(path.c_str(), &sum, nullptr, nullptr, 5000), 0u);  // behind the end
  EXPECT_EQ(contents_digest(dir_.file("missing").c_str(), &sum, nullptr, nullptr, 0), 0u);
  EXPECT_EQ(contents_digest(nullptr, &sum, nullptr, nullptr, 0), 0u);
  EXPECT_EQ(contents_digest(dir_.path().c_str(), &sum, nullptr, nullptr, 0), 0u);  // a directory
}

}  // namespace
}  // namespace vorn::image
